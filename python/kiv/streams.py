"""Streams of jobs: input sets submitted ahead of the consumer, with a bound
on the jobs in flight, and their outputs handed back in order (Model.map and
Model.map_async)."""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
from collections.abc import AsyncIterable, AsyncIterator, Callable, Iterable, Iterator
from typing import TYPE_CHECKING

from .errors import JobTimeout

if TYPE_CHECKING:
    from .inputs import InputSet, Outputs

# Submits one input set: the future of its outputs, or one that holds why it
# could not be submitted.
Submit = Callable[["InputSet"], "concurrent.futures.Future[Outputs]"]


def stream(submit: Submit, items: Iterator[InputSet], depth: int, limit: float | None) -> Iterator[Outputs]:
    """The outputs of `items`, in order, with at most `depth` jobs started
    ahead of the consumer; each waited for `limit` seconds at most. An error
    of `items` itself comes after the outputs before it."""
    pending: collections.deque[concurrent.futures.Future[Outputs]] = collections.deque()
    failure: Exception | None = None
    while True:
        try:
            item = next(items)
        except StopIteration:
            break
        except Exception as err:
            failure = err
            break
        pending.append(submit(item))
        if len(pending) == depth:
            yield _result(pending.popleft(), limit)
    while pending:
        yield _result(pending.popleft(), limit)
    if failure is not None:
        raise failure


async def stream_async(
    submit: Submit, inputs: Iterable[InputSet] | AsyncIterable[InputSet], depth: int, limit: float | None
) -> AsyncIterator[Outputs]:
    """stream() for asyncio, over an iterable or an async iterable."""
    items = _async_items(inputs)
    pending: collections.deque[concurrent.futures.Future[Outputs]] = collections.deque()
    failure: Exception | None = None
    while True:
        try:
            item = await anext(items)
        except StopAsyncIteration:
            break
        except Exception as err:
            failure = err
            break
        pending.append(submit(item))
        if len(pending) == depth:
            yield await _result_async(pending.popleft(), limit)
    while pending:
        yield await _result_async(pending.popleft(), limit)
    if failure is not None:
        raise failure


def _result(future: concurrent.futures.Future[Outputs], limit: float | None) -> Outputs:
    """The outputs of a stream's job, waited for `limit` seconds at most."""
    try:
        return future.result(limit)
    except concurrent.futures.TimeoutError:
        if future.done():
            raise  # the job's own error
        assert limit is not None  # only a wait with a limit ends before the job
        raise JobTimeout("Model.map", limit, getattr(future, "job_id", 0)) from None


async def _result_async(future: concurrent.futures.Future[Outputs], limit: float | None) -> Outputs:
    """The outputs of a stream's job, awaited `limit` seconds at most."""
    waiting = asyncio.wrap_future(future)
    try:
        return await asyncio.wait_for(waiting, limit)
    except asyncio.TimeoutError:
        if future.done():
            raise  # the job's own error
        assert limit is not None  # only a wait with a limit ends before the job
        raise JobTimeout("Model.map_async", limit, getattr(future, "job_id", 0)) from None


async def _async_items(inputs: Iterable[InputSet] | AsyncIterable[InputSet]) -> AsyncIterator[InputSet]:
    if isinstance(inputs, AsyncIterable):
        async for item in inputs:
            yield item
    else:
        for item in inputs:
            yield item
