"""The protocol's gRPC service: GRPCInferenceService over the server's service."""

from __future__ import annotations

import asyncio
import functools
import logging
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any, TypeVar

import grpc  # type: ignore[import]

from google.protobuf.message import DecodeError  # type: ignore[import]
from kiv_serve_protocol import inference_pb2 as pb  # type: ignore[import]

from .errors import ServeError, Status, invalid
from .grpc_messages import (
    infer_request,
    infer_response,
    model_metadata_response,
    parameter_values,
    statistics_response,
)
from .service import InferenceService

log = logging.getLogger("kiv.serve")

# Requests of one stream under way or answered and not yet sent.
STREAM_WINDOW = 256

Handler = TypeVar("Handler", bound=Callable[..., Awaitable[Any]])


async def abort(context: Any, error: ServeError) -> None:
    """Ends the call with the error's status; a busy server adds gRPC's retry hint."""
    trailing: tuple[tuple[str, str], ...] = ()
    if error.retry_after is not None:
        trailing = (("grpc-retry-pushback-ms", str(int(error.retry_after * 1000))),)
    await context.abort(getattr(grpc.StatusCode, error.status.grpc_code_name), error.message, trailing)


def answering(method: Handler) -> Handler:
    """A unary handler whose ServeError ends the call with its status, and
    whose unexpected errors end it as INTERNAL (and are logged)."""

    @functools.wraps(method)
    async def handler(self: Servicer, request: Any, context: Any) -> Any:
        try:
            if request is None:
                raise invalid("the request is not a valid %sRequest message" % method.__name__)
            return await method(self, request, context)
        except ServeError as error:
            await abort(context, error)
        except Exception as error:  # a fault of the server's: said, logged, and the server goes on
            log.exception("%s failed", method.__name__)
            await abort(context, ServeError(Status.INTERNAL, "%s: %s" % (type(error).__name__, error)))

    return handler  # type: ignore[return-value]


class Servicer:
    """The handler of each method of the service."""

    def __init__(self, service: InferenceService) -> None:
        self._service = service

    @answering
    async def ServerLive(self, request: Any, context: Any) -> Any:
        return pb.ServerLiveResponse(live=True)

    @answering
    async def ServerReady(self, request: Any, context: Any) -> Any:
        return pb.ServerReadyResponse(ready=self._service.ready())

    @answering
    async def ModelReady(self, request: Any, context: Any) -> Any:
        return pb.ModelReadyResponse(ready=self._service.model_ready(request.name, request.version))

    @answering
    async def ServerMetadata(self, request: Any, context: Any) -> Any:
        return pb.ServerMetadataResponse(**self._service.server_metadata())

    @answering
    async def ModelMetadata(self, request: Any, context: Any) -> Any:
        return model_metadata_response(self._service.model_metadata(request.name, request.version))

    @answering
    async def ModelInfer(self, request: Any, context: Any) -> Any:
        return infer_response(await self._service.infer(infer_request(request)))

    async def ModelStreamInfer(self, requests: AsyncIterator[Any], context: Any) -> AsyncIterator[Any]:
        """Answers each request of the stream as its job ends (a failed one
        in-band, with error_message), and ends the stream once the client
        has closed its side and every answer is out. At most STREAM_WINDOW
        requests of a stream are under way or unread: past them the server
        reads no further, and gRPC's flow control holds the client back."""
        answers: asyncio.Queue[Any] = asyncio.Queue(STREAM_WINDOW)
        reader = asyncio.create_task(self._read_stream(requests, answers))
        try:
            while (answer := await answers.get()) is not None:
                yield answer
        finally:
            reader.cancel()

    async def _read_stream(self, requests: AsyncIterator[Any], answers: asyncio.Queue[Any]) -> None:
        pending: set[asyncio.Task[None]] = set()
        try:
            async for request in requests:
                task = asyncio.create_task(self._answer_in_stream(request, answers))
                pending.add(task)
                task.add_done_callback(pending.discard)
                if len(pending) >= STREAM_WINDOW:
                    await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
            if pending:
                await asyncio.wait(pending)
            await answers.put(None)
        finally:
            for task in pending:
                task.cancel()

    async def _answer_in_stream(self, request: Any, answers: asyncio.Queue[Any]) -> None:
        if request is None:
            await answers.put(pb.ModelStreamInferResponse(error_message="the request is not a ModelInferRequest "
                                                                        "message"))
            return
        try:
            response = pb.ModelStreamInferResponse(infer_response=infer_response(
                await self._service.infer(infer_request(request))))
        except ServeError as error:
            response = _stream_error(request, error.message)
        except Exception as error:  # a fault of the server's: said in-band, logged, and the stream goes on
            log.exception("a request of a stream failed")
            response = _stream_error(request, "%s: %s" % (type(error).__name__, error))
        await answers.put(response)

    @answering
    async def ModelStatistics(self, request: Any, context: Any) -> Any:
        return statistics_response(self._service.statistics(request.name, request.version))

    @answering
    async def RepositoryIndex(self, request: Any, context: Any) -> Any:
        response = pb.RepositoryIndexResponse()
        for entry in self._service.index(request.ready):
            response.models.add(**entry)
        return response

    @answering
    async def RepositoryModelLoad(self, request: Any, context: Any) -> Any:
        await self._service.load(request.model_name, parameter_values(request.parameters))
        return pb.RepositoryModelLoadResponse()

    @answering
    async def RepositoryModelUnload(self, request: Any, context: Any) -> Any:
        self._service.unload(request.model_name, parameter_values(request.parameters))
        return pb.RepositoryModelUnloadResponse()

    @answering
    async def SystemSharedMemoryStatus(self, request: Any, context: Any) -> Any:
        response = pb.SystemSharedMemoryStatusResponse()
        for region in self._service.regions.status(request.name):
            response.regions[region.name].CopyFrom(pb.SystemSharedMemoryStatusResponse.RegionStatus(
                name=region.name, key=region.key, offset=region.offset, byte_size=region.byte_size))
        return response

    @answering
    async def SystemSharedMemoryRegister(self, request: Any, context: Any) -> Any:
        self._service.regions.register(request.name, request.key, request.offset, request.byte_size)
        return pb.SystemSharedMemoryRegisterResponse()

    @answering
    async def SystemSharedMemoryUnregister(self, request: Any, context: Any) -> Any:
        self._service.regions.unregister(request.name)
        return pb.SystemSharedMemoryUnregisterResponse()


def _stream_error(request: Any, message: str) -> Any:
    """A stream's answer to a failed request: the error, and the request's model and id."""
    return pb.ModelStreamInferResponse(error_message=message, infer_response=pb.ModelInferResponse(
        model_name=request.model_name, model_version=request.model_version, id=request.id))


# Calls that need no token: load balancers and orchestrators probe them.
OPEN_METHODS = frozenset({"/inference.GRPCInferenceService/ServerLive", "/inference.GRPCInferenceService/ServerReady"})


class TokenCheck(grpc.aio.ServerInterceptor):  # type: ignore[misc]
    """Refuses every call without the bearer token (metadata authorization:
    Bearer TOKEN) but the health probes."""

    def __init__(self, accepts: Callable[[str | None], bool]) -> None:
        self._accepts = accepts

    async def intercept_service(self, continuation: Callable[[Any], Awaitable[Any]], details: Any) -> Any:
        handler = await continuation(details)
        if handler is None or details.method in OPEN_METHODS:
            return handler
        given = dict(details.invocation_metadata or ()).get("authorization")
        if self._accepts(given):
            return handler
        return _refusal(handler)


def _refusal(handler: Any) -> Any:
    async def refuse(request: Any, context: Any) -> None:
        await context.abort(grpc.StatusCode.UNAUTHENTICATED, "a bearer token is needed: metadata 'authorization: "
                                                             "Bearer TOKEN'")

    if handler.request_streaming or handler.response_streaming:
        return grpc.stream_stream_rpc_method_handler(refuse, handler.request_deserializer, handler.response_serializer)
    return grpc.unary_unary_rpc_method_handler(refuse, handler.request_deserializer, handler.response_serializer)


def _lenient(message_class: Any) -> Callable[[bytes], Any]:
    """A deserializer that gives None for bytes that are no such message, so
    that the handler answers INVALID_ARGUMENT (gRPC's own answer is UNKNOWN)."""
    def parse(data: bytes) -> Any:
        try:
            return message_class.FromString(data)
        except DecodeError:
            return None

    return parse


def add_service(server: Any, service: InferenceService) -> None:
    """Serves every method of the service that inference.proto declares."""
    servicer = Servicer(service)
    declared = pb.DESCRIPTOR.services_by_name["GRPCInferenceService"]
    handlers = {}
    for method in declared.methods:
        kind = grpc.stream_stream_rpc_method_handler if method.client_streaming else \
            grpc.unary_unary_rpc_method_handler
        handlers[method.name] = kind(getattr(servicer, method.name),
                                     request_deserializer=_lenient(getattr(pb, method.input_type.name)),
                                     response_serializer=getattr(pb, method.output_type.name).SerializeToString)
    server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(declared.full_name, handlers),))
