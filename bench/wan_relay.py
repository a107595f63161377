#!/usr/bin/env python3
"""A user-space WAN for bench/wan.sh (not a test): two TUN devices and a relay between them that
delays every packet by half the round trip and drops a share of them, each way. The kernel's TCP
sees a real delayed, lossy path (this kernel may lack netem). Needs root.

  wan_relay.py TUN_A TUN_B RTT_MS LOSS      runs until killed; prints "ready" once both are up;
                                           SIGUSR1 makes the link dead (every packet dropped)
"""
import fcntl
import heapq
import os
import random
import select
import signal
import struct
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000


def open_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def main():
    a_name, b_name, rtt_ms, loss = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
    a, b = open_tun(a_name), open_tun(b_name)
    print("ready", flush=True)
    dead = []
    signal.signal(signal.SIGUSR1, lambda *_: dead.append(True))
    one_way = rtt_ms / 2000.0
    other = {a: b, b: a}
    queue = []  # (release time, sequence, fd to write, packet)
    seq = 0
    rng = random.Random(2217)
    while True:
        timeout = max(0.0, queue[0][0] - time.monotonic()) if queue else 1.0
        ready, _, _ = select.select([a, b], [], [], timeout)
        now = time.monotonic()
        for fd in ready:
            packet = os.read(fd, 65536)
            if dead or rng.random() < loss:
                continue
            seq += 1
            heapq.heappush(queue, (now + one_way, seq, other[fd], packet))
        while queue and queue[0][0] <= time.monotonic():
            _, _, fd, packet = heapq.heappop(queue)
            try:
                os.write(fd, packet)
            except OSError:
                pass


if __name__ == "__main__":
    main()
