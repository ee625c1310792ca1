"""The protocol's HTTP/REST endpoints, and /metrics, as an aiohttp application."""

from __future__ import annotations

import json
import logging
import math
from collections.abc import Awaitable, Callable
from typing import Any

from aiohttp import web
from prometheus_client import CONTENT_TYPE_LATEST

from .errors import ServeError, Status, invalid
from .http_messages import (
    HEADER_LENGTH,
    compressed,
    decompressed,
    infer_request,
    infer_response,
    json_document,
    split_body,
    too_large,
)
from .metrics import Metrics
from .service import InferenceService

log = logging.getLogger("kiv.serve")

# Paths that need no token: load balancers and orchestrators probe them.
OPEN_PATHS = frozenset({"/v2/health/live", "/v2/health/ready"})

Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


def error_response(status: int, message: str, retry_after: float | None = None) -> web.Response:
    """A failure as the protocol gives it: the status and {"error": message}."""
    headers = {"Retry-After": str(max(1, math.ceil(retry_after)))} if retry_after is not None else None
    return web.json_response({"error": message}, status=status, headers=headers)


@web.middleware
async def errors_as_json(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Every failure as JSON: the server's own errors, aiohttp's (no such
    path, a method the path does not take, a body too large), and
    unexpected ones (logged; the server goes on)."""
    try:
        return await handler(request)
    except ServeError as error:
        return error_response(error.status.http_status, error.message, error.retry_after)
    except web.HTTPException as error:
        if error.status < 400:
            raise
        return error_response(error.status, error.reason if error.text is None else error.text)
    except Exception as error:  # a fault of the server's
        log.exception("%s %s failed", request.method, request.path)
        return error_response(500, "%s: %s" % (type(error).__name__, error))


def token_check(accepts: Callable[[str | None], bool]) -> Any:
    @web.middleware
    async def check(request: web.Request, handler: Handler) -> web.StreamResponse:
        if request.path in OPEN_PATHS or accepts(request.headers.get("Authorization")):
            return await handler(request)
        response = error_response(401, "a bearer token is needed: header 'Authorization: Bearer TOKEN'")
        response.headers["WWW-Authenticate"] = "Bearer"
        return response

    return check


def _whole_field(document: dict[str, Any], field: str) -> int:
    value = document.get(field, 0 if field == "offset" else None)
    if isinstance(value, bool) or not isinstance(value, int):
        raise invalid("registering a shared memory region: %s must be a whole number, got %s"
                      % (field, json.dumps(value)))
    return value


class Routes:
    """The handlers, over the server's service."""

    def __init__(self, service: InferenceService, metrics: Metrics, max_body: int) -> None:
        self._service = service
        self._metrics = metrics
        self._max_body = max_body

    async def _body(self, request: web.Request) -> bytes:
        """The request's body, uncompressed; one that says it is larger than
        the limit is refused before a byte of it is read."""
        if request.content_length is not None and request.content_length > self._max_body:
            raise too_large(request.content_length, self._max_body)
        try:
            body = await request.read()
        except web.HTTPRequestEntityTooLarge:
            raise too_large(self._max_body + 1, self._max_body) from None
        return decompressed(body, request.headers.get("Content-Encoding", ""), self._max_body)

    async def _document(self, request: web.Request) -> dict[str, Any]:
        """A small JSON object body; an empty body is an empty object."""
        body = await self._body(request)
        if not body.strip():
            return {}
        document = json_document(body)
        if not isinstance(document, dict):
            raise invalid("the request body must be a JSON object")
        return document

    async def live(self, request: web.Request) -> web.Response:
        return web.Response()

    async def ready(self, request: web.Request) -> web.Response:
        if not self._service.ready():
            raise ServeError(Status.UNAVAILABLE, "the server is shutting down")
        return web.Response()

    async def server_metadata(self, request: web.Request) -> web.Response:
        return web.json_response(self._service.server_metadata())

    @staticmethod
    def _model(request: web.Request) -> tuple[str, str]:
        return request.match_info["model"], request.match_info.get("version", "")

    async def model_metadata(self, request: web.Request) -> web.Response:
        return web.json_response(self._service.model_metadata(*self._model(request)))

    async def model_ready(self, request: web.Request) -> web.Response:
        name, version = self._model(request)
        if not self._service.model_ready(name, version):
            if self._service.draining:
                raise ServeError(Status.UNAVAILABLE, "the server is shutting down")
            self._service.repository.get(name, version)  # says why it is not ready
        return web.Response()

    async def infer(self, request: web.Request) -> web.Response:
        body = await self._body(request)
        document, binary = split_body(body, request.headers.get(HEADER_LENGTH))
        inference = infer_request(*self._model(request), document, binary)
        result = await self._service.infer(inference)
        head, tensors = infer_response(inference, result)
        headers = {}
        if tensors:
            headers[HEADER_LENGTH] = str(len(head))
            content = b"".join([head, *tensors])
            content_type = "application/octet-stream"
        else:
            content, content_type = head, "application/json"
        content, encoding = compressed(content, request.headers.get("Accept-Encoding", ""))
        if encoding is not None:
            headers["Content-Encoding"] = encoding
        return web.Response(body=content, content_type=content_type, headers=headers)

    async def statistics(self, request: web.Request) -> web.Response:
        name, version = request.match_info.get("model", ""), request.match_info.get("version", "")
        return web.json_response({"model_stats": self._service.statistics(name, version)})

    async def repository_index(self, request: web.Request) -> web.Response:
        document = await self._document(request)
        ready = document.get("ready", False)
        if not isinstance(ready, bool):
            raise invalid("ready must be true or false")
        return web.json_response(self._service.index(ready))

    async def _parameters(self, request: web.Request) -> dict[str, Any]:
        parameters = (await self._document(request)).get("parameters", {})
        if not isinstance(parameters, dict):
            raise invalid("parameters must be a JSON object")
        return parameters

    async def load(self, request: web.Request) -> web.Response:
        await self._service.load(request.match_info["model"], await self._parameters(request))
        return web.Response()

    async def unload(self, request: web.Request) -> web.Response:
        self._service.unload(request.match_info["model"], await self._parameters(request))
        return web.Response()

    async def shm_status(self, request: web.Request) -> web.Response:
        regions = self._service.regions.status(request.match_info.get("region", ""))
        return web.json_response([{"name": r.name, "key": r.key, "offset": r.offset, "byte_size": r.byte_size}
                                  for r in regions])

    async def shm_register(self, request: web.Request) -> web.Response:
        document = await self._document(request)
        key = document.get("key")
        if not isinstance(key, str):
            raise invalid("registering a shared memory region needs its key, a string")
        offset, size = (_whole_field(document, field) for field in ("offset", "byte_size"))
        self._service.regions.register(request.match_info["region"], key, offset, size)
        return web.Response()

    async def shm_unregister(self, request: web.Request) -> web.Response:
        await self._body(request)
        self._service.regions.unregister(request.match_info.get("region", ""))
        return web.Response()

    async def metrics(self, request: web.Request) -> web.Response:
        return web.Response(body=self._metrics.text(), headers={"Content-Type": CONTENT_TYPE_LATEST})


def application(service: InferenceService, metrics: Metrics, max_body: int,
                accepts: Callable[[str | None], bool] | None) -> web.Application:
    """The HTTP application; with `accepts`, every path but the health
    probes needs the bearer token it accepts."""
    middlewares = [errors_as_json] + ([token_check(accepts)] if accepts is not None else [])
    # aiohttp's own limit stops a body without a declared length.
    app = web.Application(middlewares=middlewares, client_max_size=max_body)
    routes = Routes(service, metrics, max_body)
    model = "/v2/models/{model}"
    versioned = model + "/versions/{version}"
    app.router.add_get("/v2/health/live", routes.live)
    app.router.add_get("/v2/health/ready", routes.ready)
    app.router.add_get("/v2", routes.server_metadata)
    app.router.add_get("/v2/models/stats", routes.statistics)
    for base in (model, versioned):
        app.router.add_get(base, routes.model_metadata)
        app.router.add_get(base + "/ready", routes.model_ready)
        app.router.add_post(base + "/infer", routes.infer)
        app.router.add_get(base + "/stats", routes.statistics)
    app.router.add_post("/v2/repository/index", routes.repository_index)
    app.router.add_post("/v2/repository/models/{model}/load", routes.load)
    app.router.add_post("/v2/repository/models/{model}/unload", routes.unload)
    app.router.add_get("/v2/systemsharedmemory/status", routes.shm_status)
    app.router.add_get("/v2/systemsharedmemory/region/{region}/status", routes.shm_status)
    app.router.add_post("/v2/systemsharedmemory/region/{region}/register", routes.shm_register)
    app.router.add_post("/v2/systemsharedmemory/unregister", routes.shm_unregister)
    app.router.add_post("/v2/systemsharedmemory/region/{region}/unregister", routes.shm_unregister)
    app.router.add_get("/metrics", routes.metrics)
    return app
