"""What /metrics reports, in the Prometheus text format (``prometheus_client``).

Each app has a registry of its own (several apps in one process do not mix their figures):

- ``tarvo_requests_total{endpoint, status}`` and ``tarvo_request_seconds{endpoint}`` (a
  histogram of the time from the request to the reply, body read included);
- ``tarvo_prequential{metric}``: the prequential metrics of the task over the labelled
  predictions, each scored when its label arrives, and ``tarvo_scored_predictions_total``;
- ``tarvo_rows_learnt_total`` (every acknowledged row since the state directory was created),
  ``tarvo_rows_predicted_total`` (since the process started), ``tarvo_pending_predictions``;
- ``tarvo_snapshot_age_seconds``, ``tarvo_snapshot_bytes``, ``tarvo_log_generation``;
- ``tarvo_learn_chunk_longest_seconds``: the longest learning held the model's lock at a time.
"""

from __future__ import annotations

import time
from collections.abc import Iterator
from typing import Any

from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

from tarvo.serve.served import ServedModel

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
#: Latency buckets in seconds: a fraction of a millisecond to ten seconds.
BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)


class _ModelCollector(Collector):
    """Figures read from the served model at each scrape."""

    def __init__(self, served: ServedModel) -> None:
        self.served = served

    def collect(self) -> Iterator[Metric]:
        served, stats = self.served, self.served.stats
        if served.model is None:
            return
        preq = GaugeMetricFamily("tarvo_prequential", "Prequential metric over the labelled predictions "
                                 "(each scored when its label arrives)", labels=["metric"])
        for name, value in served.prequential().items():
            preq.add_metric([name], value)
        yield preq
        yield CounterMetricFamily("tarvo_scored_predictions", "Labelled predictions scored", value=stats.scored)
        yield CounterMetricFamily("tarvo_rows_learnt", "Rows learnt and acknowledged since the state "
                                  "directory was created", value=stats.rows_learnt)
        yield CounterMetricFamily("tarvo_rows_predicted", "Rows predicted since the server started",
                                  value=stats.rows_predicted)
        yield GaugeMetricFamily("tarvo_pending_predictions", "Predictions waiting for their label",
                                value=len(served.pending))
        yield GaugeMetricFamily("tarvo_snapshot_age_seconds", "Seconds since the last snapshot",
                                value=max(0.0, time.time() - stats.last_snapshot))
        yield GaugeMetricFamily("tarvo_snapshot_bytes", "Size of the last snapshot written by this process",
                                value=stats.snapshot_bytes)
        yield GaugeMetricFamily("tarvo_log_generation", "Generation of the current log", value=served.generation)
        yield GaugeMetricFamily("tarvo_learn_chunk_longest_seconds", "The longest learning held the model's lock "
                                "at a time since the server started (what a prediction may wait for)",
                                value=stats.longest_chunk)


class ServerMetrics:
    """The registry of one app: request counters and latencies, and the model's figures."""

    def __init__(self, served: ServedModel) -> None:
        self.registry = CollectorRegistry()
        self.requests = Counter("tarvo_requests", "Requests answered", ["endpoint", "status"],
                                registry=self.registry)
        self.latency = Histogram("tarvo_request_seconds", "Time from request to reply", ["endpoint"],
                                 buckets=BUCKETS, registry=self.registry)
        self.registry.register(_ModelCollector(served))

    def observe(self, endpoint: str, status: int, seconds: float) -> None:
        self.requests.labels(endpoint, str(status)).inc()
        self.latency.labels(endpoint).observe(seconds)

    def render(self) -> bytes:
        return generate_latest(self.registry)


def parse(text: str) -> dict[str, Any]:
    """``{name{labels}: value}`` of a /metrics text (for tests and the benchmark)."""
    from prometheus_client.parser import text_string_to_metric_families

    out: dict[str, Any] = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
            out[f"{sample.name}{{{labels}}}" if labels else sample.name] = sample.value
    return out
