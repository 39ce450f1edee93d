#!/usr/bin/env python3
"""Figures for the Wine-run host: prefix creation, process start to first answer, and
"hello" round trips per second through one process (each request sent after the
previous answer arrived, as the browser does).

    python3 bench/wine_roundtrip.py [--round-trips N] [--starts N] [--host LABEL=PATH ...]

Needs the Windows build (bash scripts/build)."""

import argparse
import statistics
import sys
import time
from pathlib import Path


from rig.figures import parse_with_hosts, print_side_by_side
from rig.wine import WinePrefix


def rotated(items: list, turn: int) -> list:
    """The items, starting at a different one each turn: no host always goes first."""
    turn %= len(items)
    return items[turn:] + items[:turn]


def measure(prefix: WinePrefix, hosts: list[tuple[str, Path]], args) -> dict[str, dict]:
    """Every host in turn at each step, starting with another each time, so that a busy spell
    of the machine, or being first after another host's request, weighs on all of them alike."""
    starts = {label: [] for label, _ in hosts}
    for i in range(args.starts):
        for label, executable in rotated(hosts, i):
            t0 = time.monotonic()
            with prefix.start_host(executable=executable) as host:
                host.request("hello", "start")
                starts[label].append(time.monotonic() - t0)
                host.finish()
    times = {label: [] for label, _ in hosts}
    running = {label: prefix.start_host(executable=executable) for label, executable in hosts}
    try:
        for host in running.values():
            host.request("hello", "warm-up")
        for i in range(args.round_trips):
            for label, host in rotated(list(running.items()), i):
                t0 = time.monotonic()
                host.request("hello", f"r{i}")
                times[label].append(time.monotonic() - t0)
        for label, host in running.items():
            result = host.finish()
            if result.returncode != 0:
                sys.exit(f"{label} exited with {result.returncode}: {result.stderr_text}")
    finally:
        for host in running.values():
            host.close()
    figures = {}
    for label, _ in hosts:
        ordered = sorted(times[label])
        figures[label] = {
            "start to first hello answer, median ms":
                f"{statistics.median(starts[label]) * 1000:.1f}",
            "  min / max ms":
                f"{min(starts[label]) * 1000:.1f} / {max(starts[label]) * 1000:.1f}",
            "hello round trips per second": f"{len(ordered) / sum(ordered):.1f}",
            "hello round trip, median ms": f"{statistics.median(ordered) * 1000:.2f}",
            "hello round trip, p95 ms": f"{ordered[int(len(ordered) * 0.95) - 1] * 1000:.2f}",
        }
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--round-trips", type=int, default=500)
    parser.add_argument("--starts", type=int, default=10)
    args, hosts = parse_with_hosts(parser)

    started = time.monotonic()
    prefix = WinePrefix()
    print(f"prefix creation (wineboot -i, helper started): {time.monotonic() - started:6.2f} s")
    try:
        figures = measure(prefix, hosts, args)
    finally:
        prefix.close()
    print_side_by_side(figures, f"n = {args.starts} starts, {args.round_trips} round trips")


if __name__ == "__main__":
    main()
