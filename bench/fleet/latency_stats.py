"""Percentiles of latencies, by nearest rank: every figure is one that was
measured, never an interpolation between two."""

from __future__ import annotations

import math
from typing import Optional, Sequence


def percentile(sorted_values: Sequence[int], fraction: float) -> Optional[int]:
    """The smallest value with at least `fraction` of the values at or below it."""
    if not 0 < fraction <= 1:
        raise ValueError("a percentile's fraction is above 0 and at most 1")
    if not sorted_values:
        return None
    rank = math.ceil(fraction * len(sorted_values))
    return sorted_values[rank - 1]


def latency_summary(latencies_ns: Sequence[int]) -> dict:
    """count, p50, p90, p99 and max in milliseconds (None for no values)."""
    ordered = sorted(latencies_ns)

    def ms(value: Optional[int]) -> Optional[float]:
        return None if value is None else round(value / 1e6, 3)

    return {
        "count": len(ordered),
        "p50_ms": ms(percentile(ordered, 0.50)),
        "p90_ms": ms(percentile(ordered, 0.90)),
        "p99_ms": ms(percentile(ordered, 0.99)),
        "max_ms": ms(ordered[-1] if ordered else None),
    }
