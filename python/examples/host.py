#!/usr/bin/env python3
"""A complete KS318 host in Python: starts the server, prints every terminal
that connects and leaves, shows a picture on each new terminal, writes every
key pressed on a terminal back onto that terminal's screen, and stops on
Ctrl-C or SIGTERM.

    host.py [-b ADDRESS] [-p PORT] [PICTURE]

ADDRESS defaults to 127.0.0.1, PORT to 16510 (0: any free port). PICTURE is a
.bmp, .jpg, .ico, .wmf or .emf file; without one the host draws its own.
Try it with simulated terminals:  ks318-term --port PORT --count 2 --model 318,320

Each event names its terminal as a ks318.Terminal: the connection itself, by
the id the library gave it. Commands are given that object, so an answer goes
to the terminal that asked even when others come and go meanwhile (terminal
numbers close up when a terminal leaves; ids never move), and a command for a
terminal that has gone raises NoTerminal instead of reaching another one.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from typing import List, Optional

import ks318


def draw_picture(width: int, height: int) -> bytes:
    """Bands of the colour cube of the common terminal palette."""
    return bytes(
        16 + 36 * (x * 6 // width) + 6 * (y * 6 // height) + 3 for y in range(height) for x in range(width)
    )


def common_palette() -> bytes:
    """The common 256-colour terminal palette: 16 basic colours (0 black, 15
    white), a 6 x 6 x 6 colour cube, 24 greys."""
    basic = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
             (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
             (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    level = [0, 95, 135, 175, 215, 255]
    entries = list(basic)
    entries += [(level[i // 36], level[i // 6 % 6], level[i % 6]) for i in range(216)]
    entries += [(8 + 10 * i,) * 3 for i in range(24)]
    return bytes(channel for entry in entries for channel in entry)


_output = threading.Lock()


def say(line: str) -> None:
    """One whole line: handlers of several terminals print at the same time."""
    with _output:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class Host(ks318.Server):
    """Handlers run on each terminal's own connection thread. Terminals are
    printed by id: their numbers move."""

    def __init__(self, port: int, bind: str, picture: Optional[str]) -> None:
        super().__init__(port=port, bind=bind)
        self.picture = picture
        self.palette = common_palette()
        self.pictures = {318: draw_picture(320, 240), 0: draw_picture(480, 272)}
        self.black_line = bytes(480 * 24)  # palette entry 0

    def on_connect(self, event: ks318.ConnectEvent) -> None:
        terminal = event.terminal
        if event.ident == 0:
            say(f"terminal {terminal.id} connected from {event.address}, not identified")
        else:
            say(f"terminal {terminal.id} connected from {event.address}: model {event.model}, "
                f"terminal version {event.version}, number {event.number}")

    def on_disconnect(self, event: ks318.DisconnectEvent) -> None:
        say(f"terminal {event.terminal.id} ({event.address}) disconnected")

    def on_data(self, event: ks318.DataEvent) -> None:
        if isinstance(event, ks318.UidEvent):
            self.identified(event)
        elif isinstance(event, ks318.KeyEvent):
            self.key(event)

    def identified(self, event: ks318.UidEvent) -> None:
        """The identifier answers the handshake's request, right after connect:
        the terminal is greeted and identified."""
        terminal = event.terminal
        say(f'terminal {terminal.id} identifier {event.uid} "{event.text}"')
        try:
            if self.picture is not None:
                self.send_picture(terminal, self.picture)
            else:
                pixels = self.pictures[318 if terminal.model == 318 else 0]
                self.send_image(terminal, self.palette, pixels)
        except (ks318.KS318Error, ValueError) as error:
            say(f"terminal {terminal.id}: no picture shown: {error}")

    def key(self, event: ks318.KeyEvent) -> None:
        """A cleared bottom line, then the key on it in palette entry 15: on the
        terminal that pressed it, or nowhere if it has left meanwhile."""
        terminal = event.terminal
        width, height = ks318.screen_size(terminal.model)
        key = event.key
        text = f"key '{chr(key)}' ({key})" if 0x20 <= key < 0x7F else f"key {key}"
        say(f"terminal {terminal.id} {text}")
        try:
            self.send_block(terminal, 0, height - 24, width, 24, self.black_line[: width * 24])
            self.send_text(terminal, text, 8, height - 20, colour=15, height=16)
        except ks318.KS318Error as error:  # NoTerminal once it has gone
            say(f"terminal {terminal.id}: key not shown: {error}")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="A KS318 host: echoes keys, shows a picture.")
    parser.add_argument("-b", dest="bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("-p", dest="port", type=int, default=ks318.DEFAULT_PORT, help="port (0: any free)")
    parser.add_argument("picture", nargs="?", help="picture file shown on each new terminal")
    options = parser.parse_args(argv)
    if not 0 <= options.port <= 65535:
        parser.error("the port must be in 0 ... 65535")

    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    host = Host(options.port, options.bind, options.picture)
    try:
        host.start()
    except ks318.KS318Error as error:
        print(f"host: {error}", file=sys.stderr)
        return 1
    say(f"host: listening on {options.bind} port {host.port}")
    while not stop.wait(1.0):  # signals are taken by the main thread between waits
        pass
    host.stop()  # returns once every terminal's disconnect is handled
    say("host: stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
