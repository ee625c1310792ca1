"""kiv serve: the NPU's models for every process on the board and on the
network, over the open inference protocol (gRPC and HTTP/REST)."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import re
from collections.abc import Callable
from typing import Any

from .usage import UsageError

DEFAULT_HTTP_PORT = 8000
DEFAULT_GRPC_PORT = 8001
DEFAULT_MAX_QUEUE = 256
DEFAULT_JOB_TIMEOUT = 30.0
DEFAULT_DRAIN_TIMEOUT = 30.0
DEFAULT_MAX_REQUEST = "64M"
TOKEN_VARIABLE = "KIV_SERVE_TOKEN"

SERVER_PACKAGE_HINT = ("the server is not installed: install the libkiv-serve package (it brings python3-grpcio, "
                       "python3-aiohttp and python3-prometheus-client)")


def _port(text: str) -> int | None:
    if text == "off":
        return None
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError("a port is a number from 0 (any free port) to 65535, or off")
    return int(text)


def _size(text: str) -> int:
    match = re.fullmatch(r"(\d+)([KMG]?)", text.strip().upper())
    if match is None or int(match.group(1)) == 0:
        raise argparse.ArgumentTypeError("a size is a number of bytes above 0, or of K, M or G (1024 based): 64M")
    return int(match.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[match.group(2)]


def _mode(text: str) -> int:
    if not re.fullmatch(r"[0-7]{3,4}", text):
        raise argparse.ArgumentTypeError("a file mode is octal, such as 660")
    return int(text, 8)


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError("must be a whole number of at least 0")
    return int(text)


def _positive(kind: Callable[[str], float]) -> Callable[[str], Any]:
    def parse(text: str) -> float:
        try:
            value = kind(text)
        except ValueError:
            value = 0
        if not value > 0:
            raise argparse.ArgumentTypeError("must be a number above 0")
        return value

    return parse


def serve_options(serve: argparse.ArgumentParser) -> None:
    """The options of kiv serve."""
    serve.add_argument("sources", nargs="+", metavar="MODEL.zor|DIR",
                       help="model files, each served under its file's stem, or a directory of them (a model "
                            "repository, whose NAME.toml beside NAME.zor holds that model's settings)")
    listen = serve.add_argument_group("where it listens")
    listen.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (default 127.0.0.1: this machine only; 0.0.0.0 or :: for "
                             "every network, with --token-file)")
    listen.add_argument("--http-port", type=_port, default=DEFAULT_HTTP_PORT, metavar="PORT",
                        help="HTTP/REST and /metrics (default %d; 0 any free port; off)" % DEFAULT_HTTP_PORT)
    listen.add_argument("--grpc-port", type=_port, default=DEFAULT_GRPC_PORT, metavar="PORT",
                        help="gRPC (default %d; 0 any free port; off)" % DEFAULT_GRPC_PORT)
    listen.add_argument("--grpc-socket", metavar="PATH",
                        help="gRPC also on this Unix socket, for the processes of this machine")
    listen.add_argument("--socket-mode", type=_mode, default=0o660, metavar="MODE",
                        help="file mode of the socket, which decides who may use it (default 660: the server's "
                             "user and group)")
    limits = serve.add_argument_group("limits and settings (a model's NAME.toml may set its own)")
    limits.add_argument("--in-flight", type=_positive(int), metavar="N",
                        help="jobs of each model on the NPU at once (default: twice the NPU's cores)")
    limits.add_argument("--max-queue", type=_count, default=DEFAULT_MAX_QUEUE, metavar="N",
                        help="requests of each model waiting beyond those; more are refused as busy (HTTP 503, "
                             "gRPC UNAVAILABLE, with a retry hint) (default %d)" % DEFAULT_MAX_QUEUE)
    limits.add_argument("--job-timeout", type=_positive(float), default=DEFAULT_JOB_TIMEOUT, metavar="SECONDS",
                        help="how long a request waits for its job (default %g)" % DEFAULT_JOB_TIMEOUT)
    limits.add_argument("--batch-size", type=_positive(int), default=1, metavar="N",
                        help="dynamic batching: gather up to N concurrent requests of a model into one batch "
                             "queue (default 1: none)")
    limits.add_argument("--batch-delay", type=_positive(float), default=0.5, metavar="MS",
                        help="how long a batch waits to fill, in milliseconds (default 0.5)")
    limits.add_argument("--max-request-size", type=_size, default=_size(DEFAULT_MAX_REQUEST), metavar="SIZE",
                        help="largest request body or message, such as 64M (default %s)" % DEFAULT_MAX_REQUEST)
    limits.add_argument("--drain-timeout", type=_positive(float), default=DEFAULT_DRAIN_TIMEOUT, metavar="SECONDS",
                        help="on SIGINT or SIGTERM, how long requests under way may take to end (default %g)"
                             % DEFAULT_DRAIN_TIMEOUT)
    serve.add_argument("--token-file", metavar="FILE",
                       help="require this bearer token (the file's first line) of every call but the health "
                            "probes; the environment's %s also sets it" % TOKEN_VARIABLE)
    serve.add_argument("--log-level", choices=("DEBUG", "INFO", "WARNING", "ERROR"), default="INFO",
                       help="the server's log on standard error (default INFO)")


def _token(args: argparse.Namespace) -> str | None:
    if args.token_file is None:
        return os.environ.get(TOKEN_VARIABLE) or None
    try:
        with open(args.token_file, encoding="utf-8") as f:
            token = f.readline().strip()
    except OSError as err:
        raise UsageError("--token-file %s: %s" % (args.token_file, err.strerror)) from None
    if not token:
        raise UsageError("--token-file %s holds no token" % args.token_file)
    return token


def command_serve(args: argparse.Namespace) -> int:
    try:
        from ..serve.repository import RepositoryError, check_sources
        from ..serve.server import ServerSettings, serve
        from ..serve.settings import Batching, ModelSettings
    except ImportError as err:
        raise UsageError("%s (%s)" % (SERVER_PACKAGE_HINT, err)) from None
    try:
        check_sources(args.sources)
    except RepositoryError as err:
        raise UsageError(str(err)) from None
    if args.http_port is None and args.grpc_port is None and args.grpc_socket is None:
        raise UsageError("--http-port off and --grpc-port off leave nothing to listen on")
    logging.basicConfig(level=args.log_level, format="kiv serve: %(levelname)s: %(message)s")
    token = _token(args)
    if token is None and args.host not in ("127.0.0.1", "::1", "localhost"):
        logging.getLogger("kiv.serve").warning("listening on %s without a token: anyone who reaches it may use "
                                               "the NPU (see --token-file)", args.host)
    models = ModelSettings(in_flight=args.in_flight or 0, max_queue=args.max_queue, job_timeout=args.job_timeout,
                           batching=Batching(args.batch_size, args.batch_delay / 1000.0))
    settings = ServerSettings(sources=args.sources, driver=args.driver, models=models, host=args.host,
                              http_port=args.http_port, grpc_port=args.grpc_port, grpc_socket=args.grpc_socket,
                              socket_mode=args.socket_mode, token=token, max_request_bytes=args.max_request_size,
                              drain_timeout=args.drain_timeout)
    return asyncio.run(serve(settings))
