#!/usr/bin/env python3
"""Turns one run of the benchmark suite into the figures of docs/PERFORMANCE.md
(the table between its result markers) and docs/performance.dat (for the plot).
Usage: report.py RESULTS_DIR DOCS_DIR [REPETITIONS]"""
import json
import statistics
import sys
from pathlib import Path

results, docs = Path(sys.argv[1]), Path(sys.argv[2])
BIN = "build/default/bench"
REPS = int(sys.argv[3]) if len(sys.argv) > 3 else 5
COMMON = f"--benchmark_repetitions={REPS} --benchmark_enable_random_interleaving=true"


def medians(name):
    """Median aggregates of a Google Benchmark JSON file, by benchmark name."""
    found = {}
    for entry in json.loads((results / name).read_text())["benchmarks"]:
        if entry.get("aggregate_name") == "median" and not entry.get("error_occurred"):
            found[entry["run_name"].split("/")[0]] = entry
    return found


def seconds(entry):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry["time_unit"]]
    return entry["real_time"] * scale


send, inbound, convert = medians("send.json"), medians("inbound.json"), medians("convert.json")
load = json.loads((results / "load.json").read_text())

rows = []  # (id, what, figure text, value, target text, met, command, plot label, score)


def ratio_row(pid, what, value, target, at_least, unit, command, label, digits=2):
    met = value >= target if at_least else value <= target
    score = value / target if at_least else target / value
    rows.append((pid, what, f"{value:.{digits}f}{unit}", f"{'≥' if at_least else '≤'} {target}{unit}",
                 "yes" if met else "no", command, label, score))


# P1: throughput ratio = baseline time / library time for the same bytes.
if "P1_SendImage_Library" in send and "P1_SendImage_PlainLoop" in send:
    ratio_row("P1", "kq_sendimage, 131,335 bytes to one reading terminal, vs a plain send loop",
              seconds(send["P1_SendImage_PlainLoop"]) / seconds(send["P1_SendImage_Library"]), 0.9, True, " ×",
              f"{BIN}/send_bench --benchmark_filter=P1_ {COMMON}", "P1 image")
# P2: throughput ratio over rounds.
ratio_row("P2", "an image to each of 1,024 terminals from 2 host threads, vs 2 plain writers",
          statistics.median(load["P2_plain_ms"]) / statistics.median(load["P2_library_ms"]), 0.8, True, " ×",
          f"{BIN}/load_driver {REPS}", "P2 1,024 images")
# P3: time ratios.
for kind, label in (("Jpeg", "1920 × 1080 JPEG"), ("Bmp", "640 × 480 BMP")):
    lib, floor, magick = (convert.get(f"P3_{kind}_{side}") for side in ("Library", "Floor", "ImageMagick"))
    if lib and floor:
        ratio_row("P3", f"kq_sendimgfromfile of a {label}, vs the codec floor (time)",
                  seconds(lib) / seconds(floor), 1.2, False, " ×",
                  f"{BIN}/convert_bench --benchmark_filter=P3_{kind} {COMMON}", f"P3 {kind.upper()} vs floor")
    if lib and magick:
        ratio_row("P3", f"kq_sendimgfromfile of a {label}, vs ImageMagick convert (time)",
                  seconds(lib) / seconds(magick), 1.0, False, " ×",
                  f"{BIN}/convert_bench --benchmark_filter=P3_{kind} {COMMON}", f"P3 {kind.upper()} vs convert")
# P4: time ratio and memory.
ratio_row("P4", "1,024 terminals connect and are identified, vs a plain accept loop (time)",
          statistics.median(load["P4_library_ms"]) / statistics.median(load["P4_plain_ms"]), 2.0, False, " ×",
          f"{BIN}/load_driver {REPS}", "P4 handshakes")
ratio_row("P4", "resident memory per connected terminal", load["P4_rss_per_terminal_kib"], 64, False, " KiB",
          f"{BIN}/load_driver {REPS}", "P4 memory")
# P5: throughput ratio.
if "P5_InboundSerial_Library" in inbound and "P5_InboundSerial_PlainReader" in inbound:
    ratio_row("P5", "inbound serial frames (83, 64 data bytes), vs a plain socket reader (frames/s)",
              seconds(inbound["P5_InboundSerial_PlainReader"]) / seconds(inbound["P5_InboundSerial_Library"]),
              0.7, True, " ×", f"{BIN}/inbound_bench {COMMON}", "P5 inbound frames")

# P7: one picture on every terminal: the dashboard's action against one conversion and its broadcast, and
# converting once against a conversion per terminal.
if all(load.get(key) for key in ("P7_convert_once_ms", "P7_dashboard_ms", "P7_per_terminal_ms")):
    once = statistics.median(load["P7_convert_once_ms"])
    ratio_row("P7", "a picture file shown on 1,024 terminals by the dashboard's picture action, vs one "
              "kq_convertimgfromfile + kq_sendimage to each from 2 host threads (time)",
              statistics.median(load["P7_dashboard_ms"]) / once, 1.2, False, " ×",
              f"{BIN}/load_driver {REPS}", "P7 dashboard vs convert once")
    ratio_row("P7", "a picture file shown on 1,024 terminals: kq_convertimgfromfile once + kq_sendimage to each, "
              "vs kq_sendimgfromfile to each (time)",
              once / statistics.median(load["P7_per_terminal_ms"]), 0.1, False, " ×",
              f"{BIN}/load_driver {REPS}", "P7 convert once vs per terminal", digits=4)

# P8: a whole table connecting at the same moment: time ratio against a plain accept loop with the same
# backlog, the library's own time, which a host restart waits for, and (reported) the ratios against a plain
# event loop and a plain thread per terminal, which tell the cost of the library's thread per terminal.
reported = []  # (id, what, figure, command)
if load.get("P8_library_ms") and load.get("P8_plain_ms"):
    library_rush = statistics.median(load["P8_library_ms"])
    ratio_row("P8", "1,024 terminals connect at the same moment until each has received 27, vs a plain accept loop "
              "with the same listen backlog (time)",
              library_rush / statistics.median(load["P8_plain_ms"]), 1.5, False, " ×",
              f"{BIN}/load_driver {REPS} P8", "P8 whole table at once")
    ratio_row("P8", "1,024 terminals connect at the same moment until each has received 27: the library's time",
              library_rush, 2000, False, " ms", f"{BIN}/load_driver {REPS} P8", "P8 time", digits=0)
    for key, side in (("P8_event_loop_ms", "a plain event loop on one thread"),
                      ("P8_thread_per_terminal_ms", "a plain thread per terminal")):
        if load.get(key):
            reported.append(("P8", f"the same, vs {side} (time)",
                             f"{library_rush / statistics.median(load[key]):.2f} ×", f"{BIN}/load_driver {REPS} P8"))

# P6: nanoseconds per call, no target ratio.
per_call = []
if "P6_SendLive" in send:
    per_call.append(("kq_sendlive, into the socket", seconds(send["P6_SendLive"]) * 1e9))
if "P6_GetSerialPop" in send:
    per_call.append(("kq_getserial, popping a 64-byte entry", 1e9 / send["P6_GetSerialPop"]["items_per_second"]))
if "P6_GetSerialEmpty" in send:
    per_call.append(("kq_getserial, empty store", seconds(send["P6_GetSerialEmpty"]) * 1e9))

lines = ["| # | what | figure | target | met | command |", "|---|---|---|---|---|---|"]
for pid, what, figure, target, met, command, _, _ in rows:
    lines.append(f"| {pid} | {what} | {figure} | {target} | {met} | `{command}` |")
for pid, what, figure, command in reported:
    lines.append(f"| {pid} | {what} | {figure} | reported | — | `{command}` |")
for what, ns in per_call:
    lines.append(f"| P6 | {what} | {ns:.0f} ns per call | reported | — | `{BIN}/send_bench --benchmark_filter=P6_ {COMMON}` |")
machine = (results / "machine.txt").read_text().split("\n") if (results / "machine.txt").exists() else ["?", "?"]
lines.append("")
lines.append(f"Run on {machine[0].strip()} cores; load when the run ended: `{machine[1].strip()}`.")
lines.append("Raw medians per side: `build/default/bench-results/*.json` after the run.")
table = "\n".join(lines)

report = docs / "PERFORMANCE.md"
text = report.read_text()
begin, end = "<!-- results:begin -->", "<!-- results:end -->"
head, rest = text.split(begin, 1)
_, tail = rest.split(end, 1)
report.write_text(f"{head}{begin}\n{table}\n{end}{tail}")

with open(docs / "performance.dat", "w") as data:
    data.write("# label\tscore (figure against its target: 1 or more meets it)\n")
    for *_, label, score in rows:
        data.write(f"\"{label}\"\t{score:.3f}\n")
