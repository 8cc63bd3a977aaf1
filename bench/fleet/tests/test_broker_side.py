"""The soak's two MQTT ends on a real broker: the subscriber that reads the
bridges' topics, and the broker-alone baseline."""

import json

import pytest

from baseline_publisher import baseline_payload
from broker_baseline import run_baseline
from conftest import WAIT
from fleet_subscriber import FleetSubscriber
from key_ledger import KeyLedger
from mqtt_link import MqttLink

SITE, TERMINAL = "soak-1", "02:00:00:01:00:AB"


def key_event(key, seq, boot=1000, site=SITE, terminal=TERMINAL, **changes):
    event = {"seq": seq, "time": 1, "kind": "key", "terminal": 3, "key": key, "char": None, "site": site,
             "id": terminal, "boot": boot}
    event.update(changes)
    return json.dumps(event)


def test_subscriber_takes_states_flags_and_key_events_and_refuses_inconsistent_ones(broker):
    ledger = KeyLedger()
    listener = FleetSubscriber("127.0.0.1", broker.port, ledger)
    publisher = MqttLink("127.0.0.1", broker.port, "test-publisher")
    listener.start()
    publisher.connect()
    try:
        topic = f"ks318/{SITE}/terminals/{TERMINAL}"
        publisher.client.publish(f"ks318/{SITE}/online", "true", qos=1, retain=True)
        publisher.client.publish(topic, json.dumps({"site": SITE, "id": TERMINAL, "connected": True}), qos=1)
        good = [key_event(0, 1), key_event(1, 2), key_event(1, 2), key_event(2, 3)]  # one delivered twice
        bad = ["{not json", key_event(3, 4, site="elsewhere"), key_event("3", 4),
               key_event(300, 4), key_event(3, 4, kind="card"), json.dumps({"key": 3})]
        for payload in good + bad:
            publisher.client.publish(f"{topic}/events/key", payload, qos=1)
        publisher.client.publish(f"ks318/{SITE}/terminals/{TERMINAL.lower()}/events/key", key_event(3, 4), qos=1)
        assert listener.wait_for(lambda: listener.key_events + listener.malformed_count == 11, WAIT)
        assert listener.wait_for(lambda: listener.connected.get((SITE, TERMINAL)) and listener.online.get(SITE), WAIT)
        assert listener.malformed_count == 7  # the lower-case id disagrees with its topic's id as well
        assert listener.mean_key_payload() == round(sum(map(len, good)) / 4)
        counts = ledger.settle({(SITE, TERMINAL): [0, 0, 0]})
        assert (counts.received, counts.matched, counts.duplicated, counts.missing) == (4, 3, 1, 0)
        publisher.client.publish(topic, json.dumps({"site": SITE, "id": TERMINAL, "connected": False}), qos=1)
        assert listener.wait_for(lambda: listener.connected.get((SITE, TERMINAL)) is False, WAIT)
    finally:
        publisher.close()
        listener.stop()


def test_baseline_round_trip_counts_every_message(broker, tmp_path):
    assert baseline_payload(42, 20) == b"0000000042----------"
    assert len(baseline_payload(7, 3)) == 10  # never shorter than its number
    figures = run_baseline("127.0.0.1", broker.port, rate=200, seconds=1.0, payload_size=150, topic="soak/test",
                           folder=tmp_path)
    assert (figures["sent"], figures["received"], figures["missing"]) == (200, 200, 0)
    assert (figures["duplicated"], figures["out_of_order"], figures["malformed"]) == (0, 0, 0)
    latency = figures["latency"]
    assert latency["count"] == 200
    assert 0 < latency["p50_ms"] <= latency["p90_ms"] <= latency["p99_ms"] <= latency["max_ms"]


def test_baseline_without_a_broker_fails_at_once(broker, tmp_path):
    broker.stop()
    with pytest.raises(ConnectionRefusedError):
        run_baseline("127.0.0.1", broker.port, rate=10, seconds=1.0, payload_size=10, topic="soak/test",
                     folder=tmp_path)
