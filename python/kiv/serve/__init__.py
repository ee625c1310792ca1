"""kiv serve: one process owns the NPU and serves its models to every client
on the board and on the network, over the open inference protocol (gRPC and
HTTP/REST, with the binary tensor data, system shared memory, model
repository and statistics extensions).

The server runs one asyncio event loop for both transports; each model's
requests become jobs submitted through kiv with a bounded number in flight.
Start it with the `kiv serve` command (kiv.commands.serve); docs/serving.md
describes it.
"""
