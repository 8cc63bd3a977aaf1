"""Terminals come and go while others type, and the host answers every key on
the terminal that pressed it with ``server.send_text(event.terminal, ...)``.

Terminal numbers close up when a terminal leaves, so a number taken from an
event may name another terminal by the time the answer goes out. Each
simulated terminal types only its own letter and the host echoes the letter,
so every text a terminal receives tells who it was meant for: checked on the
terminals' side, in ks318-term's log of the frames each one received."""

from __future__ import annotations

import re
import threading
from dataclasses import dataclass, field
from typing import Callable, Dict, List

import pytest

from conftest import WAIT, Events, Term, connected

import ks318

TERMINALS = 12
LEAVERS = 10  # T1 ... T10 leave one at a time; T11 and T12 stay
ROUNDS = 12  # after each of the first LEAVERS rounds one terminal leaves
KEYS_PER_ROUND = 84  # the stayers alone get 2 x 12 x 84 = 2016 echoes
LETTERS = "abcdefghijkl"  # T(k) presses only LETTERS[k - 1]
ECHO = re.compile(r'"echo (\w)"')

Address = Callable[[ks318.KeyEvent], object]  # what the echo is addressed to


@dataclass
class Echoes:
    """What the host did: keys seen per letter, echoes that failed per letter
    (the terminal had gone, or its connection ended as it left)."""

    lock: threading.Lock = field(default_factory=threading.Lock)
    keys: Dict[str, int] = field(default_factory=dict)
    failed: Dict[str, int] = field(default_factory=dict)
    other_errors: List[BaseException] = field(default_factory=list)
    disconnects: int = 0
    changed: threading.Condition = field(init=False)

    def __post_init__(self) -> None:
        self.changed = threading.Condition(self.lock)

    def echo(self, server: ks318.Server, event: ks318.KeyEvent, address: Address) -> None:
        letter = chr(event.key)
        try:
            server.send_text(address(event), f"echo {letter}", 8, 8)
        except (ks318.NoTerminal, ks318.SendFailed):
            with self.lock:
                self.failed[letter] = self.failed.get(letter, 0) + 1
        except ks318.KS318Error as error:
            with self.lock:
                self.other_errors.append(error)
        with self.changed:
            self.keys[letter] = self.keys.get(letter, 0) + 1
            self.changed.notify_all()

    def left(self) -> None:
        with self.changed:
            self.disconnects += 1
            self.changed.notify_all()

    def wait_done(self, stayer_keys: int) -> None:
        """Until every leaver's disconnect and every stayer's key has been handled
        (a leaver's keys come before its disconnect on its connection)."""

        def done() -> bool:
            return self.disconnects >= LEAVERS and all(
                self.keys.get(letter, 0) >= stayer_keys for letter in LETTERS[LEAVERS:TERMINALS])

        with self.changed:
            if not self.changed.wait_for(done, timeout=3 * WAIT):
                raise AssertionError(f"the host did not finish: {self.disconnects} disconnects, keys {self.keys}")


@dataclass
class Outcome:
    texts: int  # echoes the terminals received
    misdirected: List[str]  # "T3 got c"
    received: Dict[int, int]  # texts per simulated terminal
    echoes: Echoes


def type_and_leave(term: Term) -> None:
    """Every connected terminal types a round of its letter; after each of the
    first rounds the next leaver disconnects, while the others type on."""
    present = list(range(1, TERMINALS + 1))
    for round_ in range(ROUNDS):
        for k in present:
            term.send(f"@{k} keys {LETTERS[k - 1] * KEYS_PER_ROUND}")
        if round_ < LEAVERS:
            term.send(f"@{round_ + 1} disconnect")
            present.remove(round_ + 1)
        term.send("sleep 15")


def churn(term_factory: Callable[..., Term], style: str, address: Address) -> Outcome:
    """The whole scenario with the host in one of two styles: reading
    ``server.events()`` on its own thread, or answering in ``on_data`` (as
    examples/host.py does), on each terminal's connection thread."""
    echoes = Echoes()
    finished = threading.Event()

    class Echoing(ks318.Server):
        def on_data(self, event: ks318.DataEvent) -> None:
            if isinstance(event, ks318.KeyEvent):
                echoes.echo(self, event, address)

        def on_disconnect(self, event: ks318.DisconnectEvent) -> None:
            echoes.left()

    server = Echoing(queue_events=True) if style == "handler" else ks318.Server(queue_events=True)
    server.start()
    reader = None
    try:
        events = Events(server)
        term = term_factory(server.port, "--count", str(TERMINALS), "--model", "318")
        connected(events, TERMINALS)
        if style == "events":
            def read() -> None:
                while not finished.is_set():
                    for event in server.events(timeout=0.2):
                        if isinstance(event, ks318.KeyEvent):
                            echoes.echo(server, event, address)
                        elif isinstance(event, ks318.DisconnectEvent):
                            echoes.left()

            reader = threading.Thread(target=read, daemon=True)
            reader.start()
        type_and_leave(term)
        echoes.wait_done(ROUNDS * KEYS_PER_ROUND)
        # Frames to one terminal keep their order: once a stayer shows this fill,
        # every text sent to it before is in the log. Only the stayers are left,
        # numbers 1 and 2.
        for number in (1, 2):
            server.fill(number, 1)
        for k in range(LEAVERS + 1, TERMINALS + 1):
            term.wait_frame(k, 33)
    finally:
        finished.set()
        if reader is not None:
            reader.join(timeout=WAIT)
        server.stop()

    misdirected, received, texts = [], {}, 0
    for frame in term.frames(code=35):
        match = ECHO.search(frame.detail)
        assert match, frame
        texts += 1
        received[frame.terminal] = received.get(frame.terminal, 0) + 1
        if match[1] != LETTERS[frame.terminal - 1]:
            misdirected.append(f"T{frame.terminal} got {match[1]}")
    return Outcome(texts, misdirected, received, echoes)


@pytest.mark.parametrize("style", ["events", "handler"])
def test_echoes_reach_the_terminal_that_pressed_the_key_while_others_leave(term_factory, style: str) -> None:
    outcome = churn(term_factory, style, lambda event: event.terminal)
    assert outcome.misdirected == [], f"{len(outcome.misdirected)} of {outcome.texts} texts on another terminal"
    assert outcome.texts >= 2000
    assert outcome.echoes.other_errors == []
    stayers = {k: ROUNDS * KEYS_PER_ROUND for k in range(LEAVERS + 1, TERMINALS + 1)}
    assert {k: outcome.received.get(k, 0) for k in stayers} == stayers
    # Only echoes for terminals that had left may fail.
    assert set(outcome.echoes.failed) <= set(LETTERS[:LEAVERS])


def test_a_gone_terminal_reaches_nothing_when_another_has_its_number(server: ks318.Server, events: Events,
                                                                     term_factory) -> None:
    first = term_factory(server.port, "--uid-text", "FIRST")
    gone = connected(events, 1)[0].terminal
    assert gone.number == 1 and gone.connected
    first.quit()
    left = events.wait(lambda e: isinstance(e, ks318.DisconnectEvent), "the first terminal's disconnect")
    assert left.terminal is gone and gone.number == 0 and not gone.connected
    second = term_factory(server.port, "--uid-text", "SECOND")
    now = connected(events, 1)[0].terminal
    assert now.number == 1 and now != gone and now.id > gone.id
    # A Terminal is its id: equal to a new object with that id, never to a number.
    assert ks318.Terminal(gone.id) == gone and hash(ks318.Terminal(gone.id)) == hash(gone)
    assert gone != 1 and len({gone, ks318.Terminal(gone.id), now}) == 2

    for command in (lambda: server.send_text(gone, "for the gone one"), lambda: server.fill(gone, 3),
                    lambda: server.live(gone), lambda: server.send_file(gone, "x.txt", b"data"),
                    lambda: server.keyboard(gone, False), lambda: server.ident(gone),
                    lambda: server.address(gone)):
        with pytest.raises(ks318.NoTerminal) as failure:
            command()
        assert failure.value.terminal is gone and f"id {gone.id}" in str(failure.value)
    assert server.connection(gone) is None and server.connection(1) is now

    # The last frame sent to the new terminal: once it is in, nothing else came.
    assert server.send_text(now, "only this") == 177
    second.wait_frame(1, 35)
    assert [frame.code for frame in second.frames(1) if frame.code in (17, 33, 35, 49, 99)] == [35]
    assert '"only this"' in second.frames(1, 35)[0].detail
