"""The server: the runtime, the models, gRPC and HTTP in one asyncio event
loop, until SIGINT or SIGTERM; then it drains (no new requests, those under
way finish) and exits."""

from __future__ import annotations

import asyncio
import dataclasses
import hmac
import logging
import os
import signal
import sys
from collections.abc import Callable, Iterable
from typing import Any, TextIO

import grpc  # type: ignore[import]
from aiohttp import web

from ..device import device_cores
from ..runtime import Runtime
from .errors import ServeError
from .grpc_service import TokenCheck, add_service
from .http_app import application
from .listeners import ListenError, clear_stale_socket, grpc_address, http_socket, socket_mode
from .metrics import Metrics
from .repository import Repository, list_models
from .service import InferenceService
from .settings import ModelSettings
from .shared_memory import SharedMemoryRegions

log = logging.getLogger("kiv.serve")

# How long calls still open after the drain (a gRPC stream a client keeps
# open, say) get before they are cancelled.
GRACE_SECONDS = 1.0


@dataclasses.dataclass(frozen=True)
class ServerSettings:
    sources: list[str]
    driver: str | None
    # in_flight 0: twice the NPU's cores.
    models: ModelSettings
    host: str = "127.0.0.1"
    # None: that transport is off.
    http_port: int | None = 8000
    grpc_port: int | None = 8001
    grpc_socket: str | None = None
    socket_mode: int = 0o660
    token: str | None = None
    max_request_bytes: int = 64 << 20
    drain_timeout: float = 30.0


def token_acceptor(token: str | None) -> Callable[[str | None], bool] | None:
    """Whether an Authorization value carries the token (compared in constant time)."""
    if token is None:
        return None
    expected = ("Bearer " + token).encode()

    def accepts(given: str | None) -> bool:
        return given is not None and hmac.compare_digest(given.encode(), expected)

    return accepts


class Server:
    """One running server; start(), then wait(), then stop()."""

    def __init__(self, settings: ServerSettings, out: TextIO = sys.stdout) -> None:
        self.settings = settings
        self._out = out
        self._runtime: Runtime | None = None
        self._grpc: Any = None
        self._http: web.AppRunner | None = None
        self._socket: str | None = None  # the Unix socket this server made
        self._stopping = asyncio.Event()
        self.regions = SharedMemoryRegions()
        self.metrics = Metrics(self._load_snapshot)
        self.repository: Repository | None = None
        self.service: InferenceService | None = None

    def _load_snapshot(self) -> Iterable[tuple[str, str, int, int]]:
        served = self.repository.served if self.repository is not None else []
        return [(m.name, m.version, m.dispatcher.in_flight, m.dispatcher.waiting) for m in served]

    async def start(self) -> None:
        """Opens the runtime, loads every model of the repository (one that
        fails stays unavailable, with its reason in the index) and listens.

        :raises KivError: the runtime cannot be opened.
        :raises ListenError: an address or socket cannot be listened on.
        :raises RepositoryError: the models cannot be served as given.
        """
        settings = self.settings
        # The server logs each failure once, in its own words.
        self._runtime = Runtime(driver=settings.driver, error_lines=False)
        models = settings.models
        if models.in_flight == 0:  # as kiv's streams do: twice the cores keeps every core busy
            models = dataclasses.replace(models, in_flight=2 * device_cores(self._runtime.npu) or 8)
        self.repository = Repository(self._runtime, settings.sources, models, self.metrics)
        self.service = InferenceService(self.repository, self.regions)
        for name in list_models(settings.sources):
            try:
                await self.repository.load(name)
            except ServeError as error:
                log.error("%s", error.message)
        accepts = token_acceptor(settings.token)
        listening = []
        if settings.grpc_port is not None or settings.grpc_socket is not None:
            listening += await self._start_grpc(accepts)
        if settings.http_port is not None:
            listening.append(await self._start_http(accepts))
        for where in listening:
            print("kiv serve: listening on %s" % where, file=self._out, flush=True)
        loaded = [m.name for m in self.repository.served]
        print("kiv serve: serving %d model(s)%s" % (len(loaded), ": " + ", ".join(loaded) if loaded else ""),
              file=self._out, flush=True)

    async def _start_grpc(self, accepts: Callable[[str | None], bool] | None) -> list[str]:
        settings = self.settings
        assert self.service is not None
        options = [("grpc.max_receive_message_length", settings.max_request_bytes),
                   ("grpc.max_send_message_length", -1), ("grpc.so_reuseport", 0)]
        interceptors = [TokenCheck(accepts)] if accepts is not None else []
        self._grpc = grpc.aio.server(options=options, interceptors=interceptors)
        add_service(self._grpc, self.service)
        listening = []
        if settings.grpc_port is not None:
            address = grpc_address(settings.host, settings.grpc_port)
            port = self._grpc_port(address)
            listening.append("grpc://%s (gRPC)" % grpc_address(settings.host, port))
        if settings.grpc_socket is not None:
            clear_stale_socket(settings.grpc_socket)
            with socket_mode(settings.socket_mode):
                self._grpc_port("unix:" + settings.grpc_socket)
            self._socket = settings.grpc_socket
            os.chmod(settings.grpc_socket, settings.socket_mode)
            listening.append("unix:%s (gRPC)" % settings.grpc_socket)
        await self._grpc.start()
        return listening

    def _grpc_port(self, address: str) -> int:
        try:
            port = int(self._grpc.add_insecure_port(address))
        except RuntimeError:
            port = 0
        if port == 0 and not address.startswith("unix:"):
            raise ListenError("gRPC on %s: cannot listen there (in use, or not an address of this machine)"
                              % address)
        return port

    async def _start_http(self, accepts: Callable[[str | None], bool] | None) -> str:
        settings = self.settings
        assert self.service is not None and settings.http_port is not None
        sock = http_socket(settings.host, settings.http_port)
        app = application(self.service, self.metrics, settings.max_request_bytes, accepts)
        # Bodies are uncompressed by the server's own code, within its size limit.
        self._http = web.AppRunner(app, handle_signals=False, access_log=None, auto_decompress=False)
        await self._http.setup()
        await web.SockSite(self._http, sock, shutdown_timeout=GRACE_SECONDS).start()
        return "http://%s (HTTP/REST, metrics on /metrics)" % grpc_address(settings.host, sock.getsockname()[1])

    def request_stop(self) -> None:
        """Starts the shutdown (SIGINT, SIGTERM)."""
        self._stopping.set()

    async def wait(self) -> None:
        await self._stopping.wait()

    async def stop(self) -> bool:
        """Drains: refuses new requests and lets those under way end (for
        drain_timeout seconds at most); then stops listening and closes the
        models and the runtime. Whether every request under way ended."""
        drained = True
        if self.service is not None:
            log.info("draining: %d request(s) under way", self.service.active)
            drained = await self.service.drain(self.settings.drain_timeout)
            if not drained:
                log.warning("%d request(s) still under way after %gs; they are cancelled",
                            self.service.active, self.settings.drain_timeout)
        if self._grpc is not None:
            await self._grpc.stop(GRACE_SECONDS)
        if self._http is not None:
            await self._http.cleanup()
        if self._socket is not None and os.path.exists(self._socket):
            os.unlink(self._socket)
        if self.repository is not None:
            self.repository.close()
        self.regions.close()
        if self._runtime is not None:
            self._runtime.close()
        return drained


async def serve(settings: ServerSettings) -> int:
    """Runs a server until SIGINT or SIGTERM; the exit status."""
    server = Server(settings)
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, server.request_stop)
    try:
        await server.start()
        await server.wait()
        log.info("stopping")
    finally:
        await server.stop()
    return 0
