#!/usr/bin/python3
"""The fleet soak: one Mosquitto broker, a ks318-bridge per site, a crowd of
simulated terminals per site sending keys at a steady total rate, and a
subscriber on every site's key events. It reports every key sent, received,
missing, duplicated and out of order, the keys' latency from the terminal's
socket to the subscriber, each bridge's resident memory over the run, and, as
the baseline, the same broker's plain publish-subscribe round trip at the same
rate and message size, measured in the same run.

    /usr/bin/python3 bench/fleet/fleet_soak.py --bridge build/default/tools/bridge/ks318-bridge
        [--seconds 300] [--rate 200] [--terminals 128] [--sites 2] [--json fleet-soak.json]

Exit status: 0 when every key arrived, in order, and every bridge ran to the end
and stopped cleanly; 1 when not; 2 when the soak could not be set up. Timings
are reported, never judged.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parent.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from broker_baseline import run_baseline  # noqa: E402
from fleet_processes import BridgeProcess, CrowdProcess  # noqa: E402
from fleet_subscriber import FleetSubscriber  # noqa: E402
from key_ledger import KeyLedger  # noqa: E402
from latency_stats import latency_summary  # noqa: E402
from mqtt_broker import MqttBroker  # noqa: E402
from soak_report import format_report  # noqa: E402
from terminal_wire import uid_plus, uid_text  # noqa: E402

READY_WAIT = 60.0    # seconds: every terminal identified and published as connected
STATE_WAIT = 30.0    # seconds: the bridges' first online flag


def site_name(index: int) -> str:
    return f"soak-{index + 1}"


def site_uid_base(index: int) -> bytes:
    """Locally administered identifiers, a block of 65,536 per site."""
    return bytes([0x02, 0x00, 0x00, index + 1, 0x00, 0x00])


def machine_load() -> str:
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "load averages " + " ".join(f"{value:.2f}" for value in os.getloadavg())


class MemoryLog:
    """Each bridge's VmRSS: at the start, every `every` seconds, at the end."""

    def __init__(self, bridges: List[BridgeProcess], every: float) -> None:
        self.bridges, self.every = bridges, every
        self.samples: Dict[str, List[dict]] = {bridge.site: [] for bridge in bridges}
        self.start = 0.0
        self.next_due = 0.0

    def take(self, label: str) -> None:
        now = time.monotonic()
        if label == "start":
            self.start = now
            self.next_due = now + self.every
        for bridge in self.bridges:
            kib = bridge.resident_kib()
            if kib is not None:
                self.samples[bridge.site].append({"at_s": round(now - self.start, 1), "label": label, "kib": kib})

    def take_if_due(self) -> None:
        if time.monotonic() >= self.next_due:
            self.next_due += self.every
            self.take("periodic")

    def figures(self) -> Dict[str, dict]:
        """Per site: the first and last reading, the growth per minute between
        them, and the growth from the first periodic reading on (the bridge's
        first events fill its history of the last 1,000, which is no leak)."""

        def per_minute(first: Optional[dict], last: Optional[dict]) -> Optional[float]:
            if not first or not last or last["at_s"] <= first["at_s"]:
                return None
            return round((last["kib"] - first["kib"]) / ((last["at_s"] - first["at_s"]) / 60.0), 1)

        figures = {}
        for site, samples in self.samples.items():
            first = samples[0] if samples else None
            last = samples[-1] if len(samples) > 1 and samples[-1]["label"] == "end" else None
            periodic = next((sample for sample in samples if sample["label"] == "periodic"), None)
            figures[site] = {"start_kib": first["kib"] if first else None, "end_kib": last["kib"] if last else None,
                             "growth_kib_per_minute": per_minute(first, last),
                             "settled_from_s": periodic["at_s"] if periodic else None,
                             "settled_growth_kib_per_minute": per_minute(periodic, last),
                             "samples": samples}
        return figures


class FleetSoak:
    def __init__(self, options: argparse.Namespace, work: Path) -> None:
        self.options = options
        self.work = work
        self.broker = MqttBroker(work / "broker")
        self.ledger = KeyLedger()
        self.subscriber: Optional[FleetSubscriber] = None
        self.bridges: List[BridgeProcess] = []
        self.crowds: List[CrowdProcess] = []
        self.expected: Dict[tuple, None] = {}
        self.failures: List[str] = []
        self.dead_sites: set = set()

    # ---- the run ----------------------------------------------------------------------------

    def run(self) -> dict:
        options = self.options
        results: dict = {"sites": options.sites, "terminals_per_site": options.terminals, "rate": options.rate,
                         "seconds": options.seconds, "load_at_start": machine_load()}
        self.broker.start()
        results["broker"] = self.broker.url
        self.subscriber = FleetSubscriber("127.0.0.1", self.broker.port, self.ledger)
        self.subscriber.start()
        self._start_bridges()
        self._start_crowds()
        memory = MemoryLog(self.bridges, options.memory_every)
        memory.take("start")
        for crowd in self.crowds:
            crowd.tell("go")
        crowd_reports = self._run_schedule(memory)
        sent = self._read_send_logs()
        total_sent = sum(len(times) for times in sent.values())
        drained = self._drain(total_sent)
        memory.take("end")
        results["drain_seconds"] = drained
        results["crowds"] = crowd_reports
        self._stop_fleet(results)
        results["memory"] = memory.figures()
        counts = self.ledger.settle(sent)
        results["events"] = counts.figures()
        results["events"]["malformed"] = self.subscriber.malformed_count
        results["malformed_examples"] = self.subscriber.malformed
        results["latency"] = latency_summary(counts.latencies_ns)
        results["latency_by_site"] = {site: latency_summary(values)
                                      for site, values in sorted(counts.site_latencies_ns.items())}
        payload_size = self.subscriber.mean_key_payload() or 160
        self.subscriber.stop()
        self.subscriber = None
        results["baseline"] = run_baseline("127.0.0.1", self.broker.port, options.rate, options.baseline_seconds,
                                           payload_size, f"ks318-soak-baseline/{os.getpid()}/key", self.work)
        self.broker.stop()
        results["load_at_end"] = machine_load()
        self._judge(results)
        return results

    def _start_bridges(self) -> None:
        for index in range(self.options.sites):
            bridge = BridgeProcess(self.options.bridge, self.broker.url, site_name(index), self.work / site_name(index))
            self.bridges.append(bridge)
            bridge.start()
        sites = [bridge.site for bridge in self.bridges]
        if not self.subscriber.wait_for(lambda: all(self.subscriber.online.get(site) for site in sites), STATE_WAIT):
            raise RuntimeError(f"not every bridge said it is online within {STATE_WAIT} s: {self.subscriber.online}")

    def _start_crowds(self) -> None:
        options = self.options
        site_rate = options.rate / options.sites
        for index, bridge in enumerate(self.bridges):
            base = site_uid_base(index)
            for number in range(options.terminals):
                self.expected[(bridge.site, uid_text(uid_plus(base, number)))] = None
            crowd = CrowdProcess(bridge.port, options.terminals, uid_text(base), f"SOAK {index + 1}", site_rate,
                                 options.seconds, self.work / bridge.site / "sent.json")
            self.crowds.append(crowd)
            crowd.start()
        for crowd in self.crowds:
            crowd.wait_line("identified", READY_WAIT)
        subscriber = self.subscriber
        if not subscriber.wait_for(lambda: all(subscriber.connected.get(t) for t in self.expected), READY_WAIT):
            published = sum(1 for t in self.expected if subscriber.connected.get(t))
            raise RuntimeError(f"{published} of {len(self.expected)} terminals published as connected "
                               f"within {READY_WAIT} s")

    def _run_schedule(self, memory: MemoryLog) -> List[dict]:
        """Until every crowd has sent its keys: memory samples, and each bridge watched."""
        reports: List[Optional[List[str]]] = [None] * len(self.crowds)
        deadline = time.monotonic() + self.options.seconds + READY_WAIT + 60
        while any(report is None for report in reports):
            if time.monotonic() >= deadline:
                raise RuntimeError("the terminal crowds did not finish their schedule in time")
            for index, crowd in enumerate(self.crowds):
                if reports[index] is None:
                    reports[index] = crowd.wait_line("done", 0.25, required=False)
            memory.take_if_due()
            for bridge in self.bridges:
                if not bridge.alive() and bridge.site not in self.dead_sites:
                    self.dead_sites.add(bridge.site)
                    self.failures.append(f"the bridge of {bridge.site} died during the run "
                                         f"(status {bridge.process.returncode})")
        return [{"site": bridge.site, "sent": int(words[0]), "connections_lost": int(words[1]),
                 "max_lag_ms": float(words[2])} for bridge, words in zip(self.bridges, reports)]

    def _read_send_logs(self) -> Dict[tuple, List[int]]:
        sent: Dict[tuple, List[int]] = {}
        for bridge, crowd in zip(self.bridges, self.crowds):
            log = json.loads(crowd.log_path.read_text())
            if log["keys_unsent"]:
                self.failures.append(f"{log['keys_unsent']} keys of {bridge.site} fell due on a lost connection")
            for lost in log["closed"][:5]:
                self.failures.append(f"{bridge.site}: terminal connection lost: {lost}")
            for terminal in log["terminals"]:
                sent[(bridge.site, terminal["uid"])] = terminal["sent_ns"]
        return sent

    def _drain(self, total_sent: int) -> float:
        """Waits for the last keys until all arrived, or until none has come for
        drain_wait seconds; how long it waited."""
        started = time.monotonic()
        last_count, last_progress = -1, started
        while self.ledger.arrived_count() < total_sent:
            count = self.ledger.arrived_count()
            if count != last_count:
                last_count, last_progress = count, time.monotonic()
            elif time.monotonic() - last_progress >= self.options.drain_wait:
                break
            self.subscriber.wait_for(lambda: self.ledger.arrived_count() >= total_sent, 0.5)
        return round(time.monotonic() - started, 2)

    def _stop_fleet(self, results: dict) -> None:
        for bridge, crowd in zip(self.bridges, self.crowds):
            status = crowd.stop()
            if status != 0:
                self.failures.append(f"the terminal crowd of {bridge.site} ended with status {status}")
        statuses = {}
        for bridge in self.bridges:
            died = not bridge.alive()
            status = bridge.stop()
            statuses[bridge.site] = status
            if died and bridge.site not in self.dead_sites:
                self.dead_sites.add(bridge.site)
                self.failures.append(f"the bridge of {bridge.site} died before the end (status {status})")
            elif not died and status != 0:
                self.failures.append(f"the bridge of {bridge.site} ended with status {status} when stopped")
        results["bridge_exit_status"] = statuses

    def _judge(self, results: dict) -> None:
        events = results["events"]
        for name in ("missing", "out_of_order", "unknown", "malformed"):
            if events[name]:
                self.failures.append(f"{events[name]} key events {name.replace('_', ' ')}")
        baseline = results["baseline"]
        if baseline["missing"] or baseline["out_of_order"]:
            self.failures.append(f"the broker alone lost {baseline['missing']} messages and reordered "
                                 f"{baseline['out_of_order']}")
        results["failures"] = self.failures
        results["passed"] = not self.failures

    # ---- leaving ----------------------------------------------------------------------------

    def clean_up(self) -> None:
        """Stops whatever still runs (after a failure half-way)."""
        for crowd in self.crowds:
            crowd.stop()
        for bridge in self.bridges:
            bridge.stop()
        if self.subscriber is not None:
            self.subscriber.stop()
        self.broker.stop()

    def logs(self) -> str:
        return "\n".join(f"--- ks318-bridge {bridge.site} ---\n{bridge.log()}" for bridge in self.bridges)


def parse_options(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    default_bridge = os.environ.get("KS318_BRIDGE") or str(REPOSITORY / "build" / "default" / "tools" / "bridge" /
                                                             "ks318-bridge")
    parser.add_argument("--bridge", default=default_bridge, help="the ks318-bridge program (or $KS318_BRIDGE)")
    parser.add_argument("--sites", type=int, default=2, help="bridges, one site each (at most 200)")
    parser.add_argument("--terminals", type=int, default=128, help="terminals per site")
    parser.add_argument("--rate", type=float, default=200.0, help="keys a second, every terminal together")
    parser.add_argument("--seconds", type=float, default=300.0, help="how long the terminals send keys")
    parser.add_argument("--memory-every", type=float, default=30.0, help="seconds between memory samples")
    parser.add_argument("--baseline-seconds", type=float, default=60.0, help="how long the broker baseline runs")
    parser.add_argument("--drain-wait", type=float, default=30.0,
                        help="after the last key, seconds without a new event before the rest count as missing")
    parser.add_argument("--json", default="fleet-soak.json", help="where the figures are written")
    parser.add_argument("--work-dir", help="folder for logs, queues and send logs (default: a temporary one, "
                                           "removed after a run that passed)")
    options = parser.parse_args(argv)
    if not 1 <= options.sites <= 200 or not 1 <= options.terminals <= 1000:
        parser.error("1 to 200 sites and 1 to 1000 terminals per site")
    if options.rate <= 0 or options.seconds <= 0 or options.baseline_seconds <= 0:
        parser.error("the rate, --seconds and --baseline-seconds must be above 0")
    if options.memory_every <= 0 or options.drain_wait <= 0:
        parser.error("--memory-every and --drain-wait must be above 0")
    if not os.access(options.bridge, os.X_OK):
        parser.error(f"no ks318-bridge program at {options.bridge} (--bridge or $KS318_BRIDGE)")
    return options


def main(argv: Optional[List[str]] = None) -> int:
    options = parse_options(argv)
    work = Path(options.work_dir) if options.work_dir else Path(tempfile.mkdtemp(prefix="ks318-fleet-soak-"))
    work.mkdir(parents=True, exist_ok=True)
    soak = FleetSoak(options, work)
    try:
        results = soak.run()
    except (RuntimeError, OSError, ValueError) as error:
        print(f"fleet soak: could not run: {error}\n{soak.logs()}\n(work folder kept: {work})", file=sys.stderr)
        return 2
    finally:
        soak.clean_up()
    Path(options.json).write_text(json.dumps(results, indent=2) + "\n")
    print(format_report(results))
    print(f"figures written to {options.json}")
    if results["passed"] and not options.work_dir:
        shutil.rmtree(work, ignore_errors=True)
    elif not results["passed"]:
        print(f"work folder kept: {work}\n{soak.logs()}")
    return 0 if results["passed"] else 1


if __name__ == "__main__":
    sys.exit(main())
