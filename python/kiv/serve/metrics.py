"""Prometheus metrics of the server, served as text on /metrics: requests and
failures, request, queue and device durations, batch sizes, and the jobs in
flight and requests waiting, per model and version."""

from __future__ import annotations

from collections.abc import Callable, Iterable

from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client.core import GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

# Durations from tens of microseconds (a tiny model) to seconds.
_SECONDS = (0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5,
            5.0, 10.0)
_BATCH_SIZES = (1, 2, 4, 8, 16, 32, 64, 128)

# (model, version, jobs in flight, requests waiting) of every loaded model.
LoadSnapshot = Callable[[], Iterable[tuple[str, str, int, int]]]


class _LoadCollector(Collector):
    """The jobs in flight and requests waiting, read when scraped: nothing
    to keep up to date on each request."""

    def __init__(self, snapshot: LoadSnapshot) -> None:
        self._snapshot = snapshot

    def collect(self) -> Iterable[Metric]:
        in_flight = GaugeMetricFamily("kiv_serve_jobs_in_flight", "Jobs of the model on the NPU",
                                      labels=["model", "version"])
        waiting = GaugeMetricFamily("kiv_serve_requests_waiting",
                                    "Requests waiting for a place among the model's jobs in flight",
                                    labels=["model", "version"])
        for model, version, jobs, queued in self._snapshot():
            in_flight.add_metric([model, version], jobs)
            waiting.add_metric([model, version], queued)
        return [in_flight, waiting]


class ModelMetrics:
    """The metrics of one model, their labels bound once at load."""

    def __init__(self, metrics: Metrics, model: str, version: str) -> None:
        self._requests = metrics.requests.labels(model, version)
        self._failures = metrics.failures
        self._labels = (model, version)
        self._request_seconds = metrics.request_seconds.labels(model, version)
        self._queue_seconds = metrics.queue_seconds.labels(model, version)
        self._device_seconds = metrics.device_seconds.labels(model, version)
        self._batch_size = metrics.batch_size.labels(model, version)

    def succeeded(self, total_ns: int, queue_ns: int, device_ns: int) -> None:
        self._requests.inc()
        self._request_seconds.observe(total_ns * 1e-9)
        self._queue_seconds.observe(queue_ns * 1e-9)
        self._device_seconds.observe(device_ns * 1e-9)

    def failed(self, reason: str, total_ns: int) -> None:
        self._requests.inc()
        self._failures.labels(*self._labels, reason).inc()
        self._request_seconds.observe(total_ns * 1e-9)

    def batch(self, size: int) -> None:
        self._batch_size.observe(size)


class Metrics:
    """The server's metrics, in a registry of their own."""

    def __init__(self, snapshot: LoadSnapshot) -> None:
        self.registry = CollectorRegistry()
        labels = ["model", "version"]
        self.requests = Counter("kiv_serve_requests", "Inference requests answered", labels, registry=self.registry)
        self.failures = Counter("kiv_serve_request_failures", "Inference requests that failed, by status",
                                labels + ["reason"], registry=self.registry)
        self.request_seconds = Histogram("kiv_serve_request_duration_seconds",
                                         "Time from a request's arrival to its answer", labels, buckets=_SECONDS,
                                         registry=self.registry)
        self.queue_seconds = Histogram("kiv_serve_queue_duration_seconds",
                                       "Time a request waited for a place among the jobs in flight", labels,
                                       buckets=_SECONDS, registry=self.registry)
        self.device_seconds = Histogram("kiv_serve_device_duration_seconds",
                                        "Time from a job's submission to its end, outputs read", labels,
                                        buckets=_SECONDS, registry=self.registry)
        self.batch_size = Histogram("kiv_serve_batch_size", "Requests per job (dynamic batching gathers several)",
                                    labels, buckets=_BATCH_SIZES, registry=self.registry)
        self.registry.register(_LoadCollector(snapshot))

    def for_model(self, model: str, version: str) -> ModelMetrics:
        return ModelMetrics(self, model, version)

    def text(self) -> bytes:
        """The metrics in Prometheus's text format."""
        return generate_latest(self.registry)
