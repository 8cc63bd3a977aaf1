"""The account of the keys the terminals sent against the key events a
subscriber received: which key each event is, which were lost, which came twice
or out of order, and how long each took.

Terminal T's keys are numbered 0, 1, 2 ... and key n carries the code n % 256.
Events of one terminal are taken in the order they arrived: a code that is the
next one expected, or up to 127 further on, is that key (the ones jumped over are
awaited still); a code up to 128 behind is an earlier key: one awaited arrives
out of order, one already had arrives again (published twice). A message
delivered twice by the broker carries the bridge's same boot and sequence and is
a duplicate before anything else. (A run of 128 or more consecutive keys of one
terminal lost at once would be misread; any loss at all fails the soak anyway.)

add() runs as events arrive and needs only codes; settle() takes each terminal's
send log afterwards and gives the counts and the latencies.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from typing import Dict, List, Set, Tuple

TerminalKey = Tuple[str, str]  # (site, terminal id)


@dataclass
class _TerminalAccount:
    next_number: int = 0
    awaited: Set[int] = field(default_factory=set)        # jumped over, not arrived yet
    arrived: Dict[int, int] = field(default_factory=dict)  # key number -> first arrival (ns)


@dataclass
class KeyCounts:
    sent: int = 0
    received: int = 0        # every key event, duplicates included
    matched: int = 0         # keys sent that arrived (once counted)
    missing: int = 0
    duplicated: int = 0
    out_of_order: int = 0
    unknown: int = 0         # events of no terminal of the soak, or of keys never sent
    latencies_ns: List[int] = field(default_factory=list)
    site_latencies_ns: Dict[str, List[int]] = field(default_factory=dict)

    def figures(self) -> dict:
        return {name: getattr(self, name) for name in
                ("sent", "received", "matched", "missing", "duplicated", "out_of_order", "unknown")}


class KeyLedger:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._accounts: Dict[TerminalKey, _TerminalAccount] = {}
        self._deliveries: Set[Tuple[str, int, int]] = set()  # (site, boot, seq)
        self.received = 0
        self.duplicated = 0
        self.out_of_order = 0
        self.unknown = 0
        self.arrived = 0

    def add(self, site: str, terminal_id: str, key: int, boot: int, seq: int, received_ns: int) -> str:
        """Takes one key event; says what it was: "next", "ahead", "late", "duplicate" or "unknown"."""
        with self._lock:
            self.received += 1
            delivery = (site, boot, seq)
            if delivery in self._deliveries:
                self.duplicated += 1
                return "duplicate"
            self._deliveries.add(delivery)
            account = self._accounts.setdefault((site, terminal_id), _TerminalAccount())
            step = (key - account.next_number) % 256
            if step < 128:
                number = account.next_number + step
                account.awaited.update(range(account.next_number, number))
                account.arrived[number] = received_ns
                account.next_number = number + 1
                self.arrived += 1
                return "next" if step == 0 else "ahead"
            number = account.next_number - (256 - step)
            if number in account.awaited:
                account.awaited.discard(number)
                account.arrived[number] = received_ns
                self.out_of_order += 1
                self.arrived += 1
                return "late"
            if number in account.arrived:
                self.duplicated += 1
                return "duplicate"
            self.unknown += 1
            return "unknown"

    def arrived_count(self) -> int:
        """Distinct keys arrived so far (before any check against the send logs)."""
        with self._lock:
            return self.arrived

    def settle(self, sent: Dict[TerminalKey, List[int]]) -> KeyCounts:
        """The counts and latencies, given each terminal's send times (key number -> ns)."""
        with self._lock:
            counts = KeyCounts(sent=sum(len(times) for times in sent.values()), received=self.received,
                               duplicated=self.duplicated, out_of_order=self.out_of_order, unknown=self.unknown)
            for terminal, account in self._accounts.items():
                times = sent.get(terminal, [])
                for number, arrived_ns in account.arrived.items():
                    if number < len(times):
                        counts.matched += 1
                        counts.latencies_ns.append(arrived_ns - times[number])
                        counts.site_latencies_ns.setdefault(terminal[0], []).append(arrived_ns - times[number])
                    else:
                        counts.unknown += 1
            counts.missing = counts.sent - counts.matched
            counts.latencies_ns.sort()
            return counts
