#!/usr/bin/env python3
"""A tester for bench/wan.sh (not a test): holds a pty, prompts once its line is set to 57600,
and takes what arrives into a line that carries 5,760 bytes a second. It records when each byte
would have reached the tester, and writes a summary to OUT once nothing has arrived for QUIET s:

  wan_tester.py OUT [QUIET]    prints the pty's name first; "interrupt T" on stdin (monotonic
                               clock) asks for the bytes that reach the tester after T
Summary: bytes, line start and end (wall clock), longest gap on the line, bytes after the
interrupt.
"""
import os
import select
import sys
import termios
import time
import tty

RATE = 5760.0
PROMPT = b"Ready to receive update file....\r\n"


def main():
    out, quiet = sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0
    master, slave = os.openpty()
    tty.setraw(slave)
    print(os.ttyname(slave), flush=True)
    prompted = False
    total = 0
    first = last_line = None  # line times
    gap = 0.0
    interrupt = None
    line_at_interrupt = None
    times = []  # (line time of the last byte of a read, bytes so far)
    last_arrival = time.time()
    while True:
        ready, _, _ = select.select([master, sys.stdin], [], [], 0.05)
        now = time.time()
        if sys.stdin in ready:
            line = sys.stdin.readline()
            if line.startswith("interrupt"):
                interrupt = float(line.split()[1])
        if not prompted and os.environ.get("NO_PROMPT") is None and termios.tcgetattr(master)[5] == termios.B57600:
            time.sleep(1.0)  # a program that purges after the settings must not lose it
            os.write(master, PROMPT)
            prompted = True
        if master in ready:
            try:
                data = os.read(master, 65536)
            except OSError:
                data = b""
            if data:
                last_arrival = now
                if last_line is None:
                    first = now
                    start = now
                else:
                    start = max(last_line, now)
                    if now > last_line:
                        gap = max(gap, now - last_line)
                last_line = start + len(data) / RATE
                total += len(data)
                times.append((last_line, total))
        if total > 0 and now - last_arrival > quiet and (last_line is None or now > last_line):
            break
    after = ""
    if interrupt is not None:
        carried = 0
        for t, n in times:
            if t <= interrupt:
                carried = n
        # The read that straddles the moment: its bytes before it count as carried.
        after = str(total - carried)
    with open(out, "w") as f:
        f.write(f"{total} {first} {last_line} {gap:.3f} {after}\n")


if __name__ == "__main__":
    main()
