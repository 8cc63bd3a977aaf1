"""The key ledger's account: every fault a bridge could make (a key lost, two
swapped, a message delivered twice or republished, an event of no terminal)
counted as what it is, and latencies taken against the right send time."""

import threading

from key_ledger import KeyLedger
from latency_stats import latency_summary, percentile

SITE, OTHER = "soak-1", "soak-2"
T1, T2 = "02:00:00:01:00:00", "02:00:00:01:00:01"


def feed(ledger, site, terminal, numbers, boot=1, first_seq=1, at=lambda n: 1000 + n):
    for offset, number in enumerate(numbers):
        ledger.add(site, terminal, number % 256, boot, first_seq + offset, at(number))


def test_keys_in_order_past_the_code_wrap_are_all_matched_with_their_latency():
    ledger = KeyLedger()
    feed(ledger, SITE, T1, range(600), at=lambda n: 10_000 + 3 * n)
    counts = ledger.settle({(SITE, T1): [10_000 + 2 * n for n in range(600)]})
    assert (counts.sent, counts.received, counts.matched, counts.missing) == (600, 600, 600, 0)
    assert (counts.duplicated, counts.out_of_order, counts.unknown) == (0, 0, 0)
    assert counts.latencies_ns == sorted(n for n in range(600))  # 3n - 2n
    assert counts.site_latencies_ns[SITE] == counts.latencies_ns


def test_a_lost_key_is_missing_and_nothing_else():
    ledger = KeyLedger()
    feed(ledger, SITE, T1, [0, 1, 2, 4, 5])
    counts = ledger.settle({(SITE, T1): [0] * 6})
    assert (counts.matched, counts.missing, counts.out_of_order, counts.duplicated) == (5, 1, 0, 0)
    # The last keys not arriving at all are missing too.
    counts = ledger.settle({(SITE, T1): [0] * 9})
    assert counts.missing == 4


def test_swapped_keys_are_out_of_order_not_missing():
    ledger = KeyLedger()
    assert [ledger.add(SITE, T1, key, 1, seq, 0) for seq, key in enumerate([0, 2, 1, 3], 1)] == \
        ["next", "ahead", "late", "next"]
    counts = ledger.settle({(SITE, T1): [0] * 4})
    assert (counts.matched, counts.missing, counts.out_of_order) == (4, 0, 1)
    # Across the code wrap: key 256 (code 0) before key 255.
    ledger = KeyLedger()
    feed(ledger, SITE, T1, list(range(255)) + [256, 255, 257])
    counts = ledger.settle({(SITE, T1): [0] * 258})
    assert (counts.matched, counts.missing, counts.out_of_order) == (258, 0, 1)


def test_duplicates_by_delivery_and_by_republication():
    ledger = KeyLedger()
    ledger.add(SITE, T1, 0, 7, 1, 100)
    assert ledger.add(SITE, T1, 0, 7, 1, 900) == "duplicate"   # the broker's second delivery
    ledger.add(SITE, T1, 1, 7, 2, 200)
    assert ledger.add(SITE, T1, 0, 7, 3, 950) == "duplicate"   # the bridge published key 0 again
    counts = ledger.settle({(SITE, T1): [50, 60]})
    assert (counts.received, counts.matched, counts.duplicated, counts.missing) == (4, 2, 2, 0)
    assert counts.latencies_ns == [50, 140]  # the first arrivals only
    # The same boot and sequence from another site is another message.
    ledger = KeyLedger()
    ledger.add(SITE, T1, 0, 7, 1, 0)
    assert ledger.add(OTHER, T1, 0, 7, 1, 0) == "next"


def test_events_of_no_terminal_or_of_keys_never_sent_are_unknown():
    ledger = KeyLedger()
    feed(ledger, SITE, T1, range(3))
    feed(ledger, SITE, T2, range(2), first_seq=10)
    counts = ledger.settle({(SITE, T1): [0, 0]})  # T1 sent two keys, T2 none
    assert (counts.sent, counts.matched, counts.unknown, counts.missing) == (2, 2, 3, 0)
    # A code far behind anything expected, and never jumped over.
    ledger = KeyLedger()
    assert ledger.add(SITE, T1, 200, 1, 1, 0) == "unknown"


def test_terminals_filled_from_many_threads_keep_their_own_accounts():
    ledger = KeyLedger()
    terminals = [f"02:00:00:01:00:{n:02X}" for n in range(8)]

    def run(index):
        for number in range(500):
            ledger.add(SITE, terminals[index], number % 256, 1, index * 1000 + number, 5)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert ledger.arrived_count() == 4000
    counts = ledger.settle({(SITE, t): [0] * 500 for t in terminals})
    assert (counts.matched, counts.missing, counts.out_of_order, counts.duplicated) == (4000, 0, 0, 0)


def test_percentiles_are_measured_values_by_nearest_rank():
    values = list(range(1, 101))
    assert [percentile(values, f) for f in (0.5, 0.9, 0.99, 1.0)] == [50, 90, 99, 100]
    assert percentile([7], 0.5) == 7 and percentile([], 0.5) is None
    summary = latency_summary([3_000_000, 1_000_000, 2_000_000])
    assert summary == {"count": 3, "p50_ms": 2.0, "p90_ms": 3.0, "p99_ms": 3.0, "max_ms": 3.0}
    assert latency_summary([])["p50_ms"] is None
