"""Who may do what on the broker: the ACL of docs/FLEET.md, taken from the page
itself, on a broker that enforces it; and the reply prefix, the only place a
bridge answers."""

from __future__ import annotations

import os
import re
from pathlib import Path

import pytest

from conftest import Fleet, terminal_state, wait_states
from test_bridge_setup import password_line

REPOSITORY = Path(__file__).resolve().parent.parent.parent
UIDS = (0x0C, 0, 0, 0, 0, 0x01)
USERS = {"bridge-north": "north pass", "dashboard": "dash pass", "stock": "stock pass"}


def documented_acl() -> str:
    found = re.search(r"```acl\n(.*?)```", (REPOSITORY / "docs" / "FLEET.md").read_text(), re.S)
    assert found, "docs/FLEET.md has no ```acl block"
    return found.group(1)


@pytest.fixture
def guarded(tmp_path: Path):
    """A broker with the documented ACL; the tests' own clients are the dashboard."""
    secrets = tmp_path / "secrets"
    secrets.mkdir()
    (secrets / "passwords").write_text("".join(password_line(user, word) for user, word in USERS.items()))
    (secrets / "acl").write_text(documented_acl())
    for user, word in USERS.items():
        (secrets / user).write_text(f"{user}\n{word}\n")
        os.chmod(secrets / user, 0o600)
    config = f"allow_anonymous false\npassword_file {secrets / 'passwords'}\nacl_file {secrets / 'acl'}\n"
    fleet = Fleet(tmp_path, broker_config=config, credentials=("dashboard", USERS["dashboard"]))
    fleet.secrets = secrets  # type: ignore[attr-defined]
    yield fleet
    fleet.close()


def test_the_documented_acl_lets_the_bridge_answer_and_correct_what_it_left(guarded):
    credentials = ("--credentials", str(guarded.secrets / "bridge-north"))
    watcher = guarded.watcher()
    bridge = guarded.bridge("north", *credentials, folder="north")
    term = guarded.term(bridge, 2, "320", UIDS, folder="terms-before")
    ids = term.ids()
    wait_states(watcher, "north", [terminal_state("north", id, n, 320, n) for n, id in enumerate(ids, 1)],
                "both terminals connected")
    answer = guarded.commander().send("ks318/north/all/commands/fill", {"index": 5})
    assert [result["status"] for result in answer["results"]] == ["sent", "sent"], answer

    # Killed, it leaves its terminals connected at the broker; its restart reads
    # those states (the ACL lets it) and corrects them.
    bridge.kill()
    watcher.wait_latest("ks318/north/online", b"false", timeout=30)
    term.close()
    guarded.bridge("north", *credentials, folder="north")
    watcher.wait_latest("ks318/north/online", b"true")
    wait_states(watcher, "north", [terminal_state("north", id, n, 320, n, connected=False)
                                   for n, id in enumerate(ids, 1)], "both states corrected")


def test_answers_go_only_under_the_reply_prefix(fleet):
    watcher = fleet.watcher()
    bridge = fleet.bridge("south")
    term = fleet.term(bridge, 1, "320", UIDS)
    (id,) = term.ids()
    watcher.wait_latest("ks318/south/online", b"true")
    commander = fleet.commander()
    elsewhere = ["ks318/south/online", f"ks318/south/terminals/{id}/events/key", "ks318/east/terminals/x"]
    for topic in elsewhere:
        commander.send_with("ks318/south/all/commands/fill", {"index": 7}, response_topic=topic)
    bridge.wait_for(lambda: sum("not under ks318-reply/" in line for line in bridge.lines) == len(elsewhere),
                    "a refusal of each")
    # Site-wide commands keep their order: had the refused ones run, their fills would come first.
    answer = commander.send("ks318/south/all/commands/fill", {"index": 8})
    assert [result["status"] for result in answer["results"]] == ["sent"], answer
    frames = term.wait_frames(1, 33)
    assert [detail.split()[:2] for _, _, detail in frames] == [["index", "8"]], frames
    assert [m.payload for m in watcher.on("ks318/south/online")] == [b"true"]
    assert watcher.on(elsewhere[1]) == [] and watcher.on(elsewhere[2]) == []
