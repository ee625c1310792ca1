"""The gRPC messages of the protocol to and from the server's own request
and result records."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from kiv_serve_protocol import inference_pb2 as pb  # type: ignore[import]

from .errors import invalid
from .metadata import tensor_metadata
from .requests import InferenceRequest, InferenceResult, InputData, InputTensor, OutputRequest, SharedMemoryRef

# The field of InferTensorContents that carries each datatype's elements, and
# the dtype they come in. FP16 travels only as raw bytes.
_CONTENTS = {
    "BOOL": ("bool_contents", np.bool_),
    "INT8": ("int_contents", np.int32),
    "INT16": ("int_contents", np.int32),
    "INT32": ("int_contents", np.int32),
    "INT64": ("int64_contents", np.int64),
    "UINT8": ("uint_contents", np.uint32),
    "UINT16": ("uint_contents", np.uint32),
    "UINT32": ("uint_contents", np.uint32),
    "UINT64": ("uint64_contents", np.uint64),
    "FP32": ("fp32_contents", np.float32),
    "FP64": ("fp64_contents", np.float64),
}


def parameter_values(parameters: Mapping[str, Any]) -> dict[str, object]:
    """A parameters map (InferParameter or ModelRepositoryParameter) as plain values."""
    values = {}
    for key, parameter in parameters.items():
        choice = parameter.WhichOneof("parameter_choice")
        values[key] = None if choice is None else getattr(parameter, choice)
    return values


def _number(where: str, name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise invalid("%s: parameter %s must be a whole number, got %r" % (where, name, value))
    return value


def shared_memory_ref(where: str, parameters: Mapping[str, object]) -> SharedMemoryRef | None:
    """The place in shared memory that a tensor's parameters name, if they name one.

    :raises ServeError: a region without a byte size, or parameters of the wrong type.
    """
    region = parameters.get("shared_memory_region")
    if region is None:
        return None
    if not isinstance(region, str) or not region:
        raise invalid("%s: parameter shared_memory_region must name a region, got %r" % (where, region))
    if "shared_memory_byte_size" not in parameters:
        raise invalid("%s: shared memory region '%s' without shared_memory_byte_size" % (where, region))
    size = _number(where, "shared_memory_byte_size", parameters["shared_memory_byte_size"])
    offset = _number(where, "shared_memory_offset", parameters.get("shared_memory_offset", 0))
    return SharedMemoryRef(region, offset, size)


def _contents_array(where: str, datatype: str, contents: Any) -> np.ndarray[Any, Any]:
    field = _CONTENTS.get(datatype)
    if field is None:
        raise invalid("%s: %s data travels only in raw_input_contents" % (where, datatype or "data of no datatype"))
    name, dtype = field
    return np.array(getattr(contents, name), dtype=dtype)


def infer_request(message: Any) -> InferenceRequest:
    """The request a ModelInferRequest makes. Raw contents belong, in order,
    to the inputs that are neither in shared memory nor given as contents.

    :raises ServeError: data missing, given twice, or of the wrong kind.
    """
    model = message.model_name
    raw = list(message.raw_input_contents)
    inputs = []
    for tensor in message.inputs:
        where = "model '%s': input '%s'" % (model, tensor.name)
        place = shared_memory_ref(where, parameter_values(tensor.parameters))
        data: InputData
        if place is not None:
            data = place
        elif tensor.HasField("contents"):
            data = _contents_array(where, tensor.datatype, tensor.contents)
        elif raw:
            data = raw.pop(0)
        else:
            raise invalid("%s has no data: no contents, raw_input_contents or shared memory" % where)
        inputs.append(InputTensor(tensor.name, tensor.datatype, list(tensor.shape), data))
    if raw:
        raise invalid("model '%s': the request gives %d raw_input_contents more than inputs that take them"
                      % (model, len(raw)))
    outputs = [
        OutputRequest(output.name, None,
                      shared_memory_ref("model '%s': output '%s'" % (model, output.name),
                                        parameter_values(output.parameters)))
        for output in message.outputs
    ]
    return InferenceRequest(model, message.model_version, message.id, inputs, outputs or None)


def infer_response(result: InferenceResult) -> Any:
    """The ModelInferResponse of a result: every output as raw bytes, in
    order; an output written into shared memory has empty bytes."""
    response = pb.ModelInferResponse(model_name=result.model, model_version=result.version, id=result.id)
    for output in result.outputs:
        tensor = response.outputs.add()
        metadata = tensor_metadata(output.info)
        tensor.name = metadata["name"]
        tensor.datatype = metadata["datatype"]
        tensor.shape.extend(metadata["shape"])
        place = output.request.shared_memory if output.request is not None else None
        if place is not None:
            tensor.parameters["shared_memory_region"].string_param = place.region
            tensor.parameters["shared_memory_byte_size"].int64_param = output.info.size
        response.raw_output_contents.append(b"" if output.array is None else output.array.tobytes())
    return response


def _set_parameter(target: Any, value: object) -> None:
    if isinstance(value, bool):
        target.bool_param = value
    elif isinstance(value, int):
        target.int64_param = value
    elif isinstance(value, float):
        target.double_param = value
    else:
        target.string_param = str(value)


def model_metadata_response(metadata: Mapping[str, Any]) -> Any:
    response = pb.ModelMetadataResponse(name=metadata["name"], versions=metadata["versions"],
                                        platform=metadata["platform"])
    for kind in ("inputs", "outputs"):
        for entry in metadata[kind]:
            tensor = getattr(response, kind).add(name=entry["name"], datatype=entry["datatype"], shape=entry["shape"])
            for key, value in entry.get("parameters", {}).items():
                _set_parameter(tensor.parameters[key], value)
    return response


def statistics_response(models: list[dict[str, Any]]) -> Any:
    response = pb.ModelStatisticsResponse()
    for stats in models:
        entry = response.model_stats.add(name=stats["name"], version=stats["version"],
                                         last_inference=stats["last_inference"],
                                         inference_count=stats["inference_count"],
                                         execution_count=stats["execution_count"])
        for step, duration in stats["inference_stats"].items():
            getattr(entry.inference_stats, step).CopyFrom(pb.StatisticDuration(**duration))
        for batch in stats["batch_stats"]:
            entry.batch_stats.add(batch_size=batch["batch_size"],
                                  **{key: pb.StatisticDuration(**value) for key, value in batch.items()
                                     if key != "batch_size"})
    return response
