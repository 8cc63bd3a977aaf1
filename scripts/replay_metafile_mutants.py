#!/usr/bin/env python3
"""Replays damaged metafiles through a build's converter and counts crashes and hangs.

The mutants come from tests/metafile_mutants (the built-in test set and the files
named, mutated record by record); each is converted in turn by a process that is
restarted past any mutant that killed it or kept it busy longer than --timeout.

  replay_metafile_mutants.py --program BUILD/tests/metafile_mutants[.exe]
      [--wine] [--count 5000] [--seed 1] [--timeout 30] [--answers FILE] [FILE...]
  replay_metafile_mutants.py --compare ANSWERS_A ANSWERS_B

Prints "N mutants: C crashed, H hung, T taken, R refused" and the mutants that
crashed or hung; exits 1 if any did. --answers writes "I taken|refused|crashed|hung"
a line, which --compare reads to count how often two builds answered alike.
"""
import argparse
import os
import select
import signal
import subprocess
import sys
import tempfile
import time


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def replay(args):
    answers = {}
    work = tempfile.mkdtemp(prefix="ks318-mutants-")
    env = dict(os.environ)
    if args.wine:
        env.update(WINEARCH="win32", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
    files = [windows_path(f) if args.wine else f for f in args.files]
    first, end = 0, args.count
    started = time.monotonic()
    while first < end:
        command = [args.program, "--first", str(first), "--count", str(end - first), "--seed", str(args.seed),
                   "--work", windows_path(work) if args.wine else work] + files
        if args.wine:
            command = ["wine"] + command
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                                   start_new_session=True)
        current, buffer, last = None, b"", time.monotonic()
        stalled = False
        while True:
            ready, _, _ = select.select([process.stdout], [], [], 1.0)
            if ready:
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    break
                buffer += chunk
                last = time.monotonic()
                *lines, buffer = buffer.split(b"\n")
                for line in lines:
                    words = line.decode(errors="replace").strip().split()
                    if len(words) >= 2 and words[0] == "mutant":
                        current = int(words[1])
                    elif len(words) == 2 and words[0].isdigit() and words[1] in ("taken", "refused"):
                        answers[int(words[0])] = words[1]
                        current = None
            elif current is not None and time.monotonic() - last > args.timeout:
                stalled = True
                os.killpg(process.pid, signal.SIGKILL)
                break
        process.wait()
        if current is None:
            break  # the run ended on its own after its last mutant
        answers[current] = "hung" if stalled else "crashed"
        print(f"mutant {current}: {answers[current]}", flush=True)
        first = current + 1
    elapsed = time.monotonic() - started
    counts = {kind: sum(1 for a in answers.values() if a == kind) for kind in ("crashed", "hung", "taken", "refused")}
    print(f"{len(answers)} mutants: {counts['crashed']} crashed, {counts['hung']} hung, "
          f"{counts['taken']} taken, {counts['refused']} refused ({elapsed:.0f} s)")
    if args.answers:
        with open(args.answers, "w") as out:
            for i in sorted(answers):
                out.write(f"{i} {answers[i]}\n")
    missing = args.count - len(answers)
    if missing:
        print(f"{missing} mutants without an answer")
    return 1 if counts["crashed"] or counts["hung"] or missing else 0


def compare(a_path, b_path):
    def read(path):
        with open(path) as f:
            return dict(line.split() for line in f if line.strip())
    a, b = read(a_path), read(b_path)
    both = sorted(set(a) & set(b), key=int)
    differ = [i for i in both if a[i] != b[i]]
    print(f"{len(both)} mutants answered by both: {len(both) - len(differ)} alike, {len(differ)} differ")
    for i in differ[:40]:
        print(f"  mutant {i}: {a[i]} / {b[i]}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--count", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=30)
    parser.add_argument("--answers")
    parser.add_argument("--compare", nargs=2)
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    if args.compare:
        return compare(*args.compare)
    if not args.program:
        parser.error("--program is needed")
    return replay(args)


if __name__ == "__main__":
    sys.exit(main())
