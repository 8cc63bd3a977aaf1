"""The soak's figures as a table for people (the JSON file keeps them all)."""

from __future__ import annotations

from typing import List, Optional


def _number(value: Optional[float], digits: int = 2) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def _ratio(value: Optional[float], base: Optional[float]) -> str:
    return "-" if value is None or not base else f"{value / base:.2f} x"


def _latency_row(name: str, latency: dict) -> str:
    cells = [_number(latency[k]) for k in ("p50_ms", "p90_ms", "p99_ms", "max_ms")]
    return f"  {name:<22}" + "".join(f"{cell:>10}" for cell in cells) + f"{latency['count']:>10}"


def format_report(results: dict) -> str:
    events = results["events"]
    baseline = results["baseline"]
    lines: List[str] = [
        f"fleet soak: {results['sites']} sites x {results['terminals_per_site']} terminals, "
        f"{results['rate']:g} keys/s in all for {results['seconds']:g} s, broker {results['broker']}",
        f"load at start: {results['load_at_start']}",
        f"load at end:   {results['load_at_end']}",
        "",
        "key events    " + "  ".join(f"{name.replace('_', ' ')} {events[name]}" for name in
                                     ("sent", "received", "missing", "duplicated", "out_of_order", "unknown",
                                      "malformed")),
        "terminal crowds  " + "; ".join(
            f"{crowd['site']}: {crowd['sent']} sent, {crowd['connections_lost']} connections lost, "
            f"late by at most {crowd['max_lag_ms']:.1f} ms" for crowd in results["crowds"]),
        f"last keys awaited {results['drain_seconds']:.2f} s after the schedule",
        "",
        "latency (ms)                  p50       p90       p99       max     count",
        _latency_row("terminal to subscriber", results["latency"]),
    ]
    for site, latency in results["latency_by_site"].items():
        lines.append(_latency_row(f"  {site}", latency))
    lines.append(_latency_row("broker alone", baseline["latency"]))
    through, alone = results["latency"], baseline["latency"]
    lines.append(f"  {'ratio':<22}" + "".join(f"{_ratio(through[k], alone[k]):>10}"
                                                for k in ("p50_ms", "p90_ms", "p99_ms", "max_ms")))
    lines.append(f"  (broker alone: {baseline['sent']} messages of {baseline['payload_bytes']} bytes, QoS 1, "
                 f"{baseline['rate']:g}/s for {baseline['seconds']:g} s; missing {baseline['missing']}, "
                 f"duplicated {baseline['duplicated']}, out of order {baseline['out_of_order']})")
    lines += ["", "bridge memory (VmRSS, KiB)"]
    for site, memory in results["memory"].items():
        samples = "  ".join(f"{sample['at_s']:g}s:{sample['kib']}" for sample in memory["samples"])
        growth = memory["growth_kib_per_minute"]
        settled = memory["settled_growth_kib_per_minute"]
        lines.append(f"  {site:<10} start {memory['start_kib']}  end {memory['end_kib']}  "
                     f"growth {_number(growth, 1)} KiB/min, from {_number(memory['settled_from_s'], 0)} s on "
                     f"{_number(settled, 1)} KiB/min")
        lines.append(f"  {'':<10} {samples}")
    lines.append("")
    if results["passed"]:
        lines.append("PASSED: every key arrived, in order; every bridge ran to the end and stopped cleanly")
    else:
        lines.append("FAILED:")
        lines += [f"  - {failure}" for failure in results["failures"]]
    return "\n".join(lines)
