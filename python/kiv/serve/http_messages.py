"""Bodies of the protocol's HTTP/REST form: JSON documents, with the tensors'
raw bytes after the JSON part (the binary tensor data extension), and gzip
or deflate (zlib) compression either way."""

from __future__ import annotations

import json
import zlib
from collections.abc import Mapping
from typing import Any

import numpy as np

from .errors import ServeError, Status, invalid
from .metadata import tensor_metadata
from .requests import (
    InferenceRequest,
    InferenceResult,
    InputData,
    InputTensor,
    OutputRequest,
    SharedMemoryRef,
    output_is_binary,
)

# Where the JSON part of a body with binary data ends.
HEADER_LENGTH = "Inference-Header-Content-Length"
# The compressions a body may come in and an answer be given in, with zlib's
# window bits for each: gzip's wrapper, and deflate as HTTP means it (zlib's).
_WBITS = {"gzip": 16 + zlib.MAX_WBITS, "deflate": zlib.MAX_WBITS}


def too_large(size: int, limit: int) -> ServeError:
    return ServeError(Status.REQUEST_TOO_LARGE, "the request body of %d bytes is larger than the server takes, %d "
                                                "bytes" % (size, limit))


def decompressed(body: bytes, encoding: str, limit: int) -> bytes:
    """The body as sent before its Content-Encoding, at most `limit` bytes.

    :raises ServeError: an encoding other than gzip or deflate, a body that
        is not what it says, or one that grows beyond the limit.
    """
    encoding = encoding.strip().lower()
    if encoding in ("", "identity"):
        return body
    if encoding not in _WBITS:
        raise invalid("Content-Encoding %r is not taken; gzip and deflate are" % encoding)
    inflater = zlib.decompressobj(_WBITS[encoding])
    try:
        data = inflater.decompress(body, limit + 1)
    except zlib.error as err:
        raise invalid("the body is not %s data: %s" % (encoding, err)) from None
    if len(data) > limit:
        raise too_large(len(data), limit)
    if not inflater.eof:
        raise invalid("the %s body ends before its data does" % encoding)
    return data


def compressed(body: bytes, accept_encoding: str) -> tuple[bytes, str | None]:
    """The answer compressed as the client accepts (the first of gzip and
    deflate it names without q=0), and the encoding; else as it is."""
    for item in accept_encoding.split(","):
        name, _, quality = item.partition(";")
        name = name.strip().lower()
        if name in _WBITS and quality.replace(" ", "") not in ("q=0", "q=0.0", "q=0.00", "q=0.000"):
            deflater = zlib.compressobj(6, zlib.DEFLATED, _WBITS[name])
            return deflater.compress(body) + deflater.flush(), name
    return body, None


def json_document(data: bytes | memoryview, what: str = "the request body") -> Any:
    try:
        return json.loads(bytes(data))
    except (UnicodeDecodeError, ValueError) as err:
        raise invalid("%s is not valid JSON: %s" % (what, err)) from None


def split_body(body: bytes, header_length: str | None) -> tuple[Any, memoryview]:
    """The JSON document of an inference body and the binary data after it.

    :raises ServeError: a header length that does not fit the body, or JSON
        that is not an object.
    """
    view = memoryview(body)
    end = len(body)
    if header_length is not None:
        try:
            end = int(header_length)
        except ValueError:
            end = -1
        if not 0 <= end <= len(body):
            raise invalid("%s %r does not fit a body of %d bytes" % (HEADER_LENGTH, header_length, len(body)))
    document = json_document(view[:end])
    if not isinstance(document, dict):
        raise invalid("the request body must be a JSON object")
    return document, view[end:]


def _object(where: str, value: object) -> Mapping[str, Any]:
    if not isinstance(value, dict):
        raise invalid("%s must be a JSON object" % where)
    return value


def _list(where: str, value: object) -> list[Any]:
    if not isinstance(value, list):
        raise invalid("%s must be a JSON array" % where)
    return value


def _whole(where: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise invalid("%s must be a whole number, got %s" % (where, json.dumps(value)))
    return value


def _shared_memory(where: str, parameters: Mapping[str, Any]) -> SharedMemoryRef | None:
    region = parameters.get("shared_memory_region")
    if region is None:
        return None
    if not isinstance(region, str) or not region:
        raise invalid("%s: shared_memory_region must name a region" % where)
    if "shared_memory_byte_size" not in parameters:
        raise invalid("%s: shared memory region '%s' without shared_memory_byte_size" % (where, region))
    return SharedMemoryRef(region, _whole(where + ": shared_memory_offset", parameters.get("shared_memory_offset", 0)),
                           _whole(where + ": shared_memory_byte_size", parameters["shared_memory_byte_size"]))


def _large_unsigned(data: object) -> np.ndarray[Any, Any] | None:
    """Whole numbers beyond int64's range (UINT64 data), which numpy would
    otherwise turn into floats; None when they are not all such numbers."""
    objects = np.asarray(data, dtype=object)
    values = objects.ravel().tolist()
    if values and all(type(v) is int for v in values) and min(values) >= 0 and max(values) < 1 << 64:
        return objects.astype(np.uint64)
    return None


def _elements(where: str, data: object) -> np.ndarray[Any, Any]:
    try:
        array = np.asarray(data)
        if array.dtype.kind in "fO":
            large = _large_unsigned(data)
            if large is not None:
                return large
    except (ValueError, TypeError):
        raise invalid("%s: the data must be a flat or evenly nested list of numbers" % where) from None
    return array


def _input(model: str, entry: object, binary: memoryview, offset: int) -> tuple[InputTensor, int]:
    """One input of the request, and where the next input's binary data starts."""
    entry = _object("model '%s': each input" % model, entry)
    name = entry.get("name")
    if not isinstance(name, str):
        raise invalid("model '%s': an input without a name" % model)
    where = "model '%s': input '%s'" % (model, name)
    datatype = entry.get("datatype", "")
    shape = [_whole(where + ": shape", d) for d in _list(where + ": shape", entry.get("shape"))]
    parameters = _object(where + ": parameters", entry.get("parameters", {}))
    place = _shared_memory(where, parameters)
    data: InputData
    if place is not None:
        data = place
    elif "binary_data_size" in parameters:
        size = _whole(where + ": binary_data_size", parameters["binary_data_size"])
        if size < 0 or offset + size > len(binary):
            raise invalid("%s: binary_data_size %d reaches beyond the %d bytes of binary data after the JSON"
                          % (where, size, len(binary)))
        data, offset = binary[offset:offset + size], offset + size
    elif "data" in entry:
        data = _elements(where, entry["data"])
    else:
        raise invalid("%s has no data: no data, binary_data_size or shared memory region" % where)
    return InputTensor(name, datatype if isinstance(datatype, str) else "", shape, data), offset


def _output(model: str, entry: object) -> OutputRequest:
    entry = _object("model '%s': each output" % model, entry)
    name = entry.get("name")
    if not isinstance(name, str):
        raise invalid("model '%s': an output without a name" % model)
    where = "model '%s': output '%s'" % (model, name)
    parameters = _object(where + ": parameters", entry.get("parameters", {}))
    binary = parameters.get("binary_data")
    if binary is not None and not isinstance(binary, bool):
        raise invalid("%s: binary_data must be true or false" % where)
    return OutputRequest(name, binary, _shared_memory(where, parameters))


def infer_request(model: str, version: str, document: Mapping[str, Any], binary: memoryview) -> InferenceRequest:
    """The inference request of a JSON document and the binary data after it.

    :raises ServeError: anything malformed, named.
    """
    request_id = document.get("id", "")
    if not isinstance(request_id, str):
        raise invalid("model '%s': the request's id must be a string" % model)
    parameters = _object("the request's parameters", document.get("parameters", {}))
    binary_outputs = parameters.get("binary_data_output", False)
    if not isinstance(binary_outputs, bool):
        raise invalid("the request's binary_data_output must be true or false")
    inputs = []
    offset = 0
    for entry in _list("model '%s': inputs" % model, document.get("inputs")):
        tensor, offset = _input(model, entry, binary, offset)
        inputs.append(tensor)
    if offset != len(binary):
        raise invalid("model '%s': the body has %d bytes of binary data after the JSON; the inputs take %d"
                      % (model, len(binary), offset))
    outputs = [_output(model, entry) for entry in _list("model '%s': outputs" % model, document.get("outputs", []))]
    return InferenceRequest(model, version, request_id, inputs, outputs or None, binary_outputs)


def infer_response(request: InferenceRequest, result: InferenceResult) -> tuple[bytes, list[memoryview]]:
    """The JSON part of the answer, and the binary data that follows it (none
    when every output is in the JSON or in shared memory)."""
    outputs = []
    binary: list[memoryview] = []
    for output in result.outputs:
        entry = tensor_metadata(output.info)
        entry.pop("parameters", None)
        if output.array is None:
            pass  # written into the client's shared memory
        elif output_is_binary(request, output):
            entry["parameters"] = {"binary_data_size": output.array.nbytes}
            binary.append(output.array.data.cast("B"))
        else:
            entry["data"] = output.array.ravel().tolist()
        outputs.append(entry)
    document: dict[str, Any] = {"model_name": result.model, "model_version": result.version}
    if result.id:
        document["id"] = result.id
    document["outputs"] = outputs
    return json.dumps(document, separators=(",", ":")).encode(), binary
