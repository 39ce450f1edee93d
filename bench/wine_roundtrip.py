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

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))  # the rig package

from rig.figures import parse_with_hosts, print_side_by_side  # noqa: E402
from rig.wine import WinePrefix  # noqa: E402


def measure(prefix: WinePrefix, executable: Path, args) -> dict[str, str]:
    starts = []
    for _ in range(args.starts):
        t0 = time.monotonic()
        with prefix.start_host(executable=executable) as host:
            host.request("hello", "start")
            starts.append(time.monotonic() - t0)
            host.finish()
    with prefix.start_host(executable=executable) as host:
        host.request("hello", "warm-up")
        times = []
        t_all = time.monotonic()
        for i in range(args.round_trips):
            t0 = time.monotonic()
            host.request("hello", f"r{i}")
            times.append(time.monotonic() - t0)
        elapsed = time.monotonic() - t_all
        result = host.finish()
    if result.returncode != 0:
        sys.exit(f"host exited with {result.returncode}: {result.stderr_text}")
    times.sort()
    return {
        "start to first hello answer, median ms": f"{statistics.median(starts) * 1000:.1f}",
        "  min / max ms": f"{min(starts) * 1000:.1f} / {max(starts) * 1000:.1f}",
        "hello round trips per second": f"{args.round_trips / elapsed:.1f}",
        "hello round trip, median ms": f"{statistics.median(times) * 1000:.2f}",
        "hello round trip, p95 ms": f"{times[int(len(times) * 0.95) - 1] * 1000:.2f}",
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--round-trips", type=int, default=500)
    parser.add_argument("--starts", type=int, default=10)
    args, hosts = parse_with_hosts(parser)

    started = time.monotonic()
    prefix = WinePrefix()
    print(f"prefix creation (wineboot -i, helper started): {time.monotonic() - started:6.2f} s")
    try:
        figures = {label: measure(prefix, path, args) for label, path in hosts}
    finally:
        prefix.close()
    print_side_by_side(figures, f"n = {args.starts} starts, {args.round_trips} round trips")


if __name__ == "__main__":
    main()
