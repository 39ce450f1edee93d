#!/usr/bin/env python3
"""Figures for the Wine-run host: prefix creation, process start to first answer, and
"hello" round trips per second through one process (each request sent after the
previous answer arrived, as the browser does).

    python3 bench/wine_roundtrip.py [--round-trips N] [--starts N]

Needs the Winelib build (bash scripts/build)."""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--round-trips", type=int, default=500)
    parser.add_argument("--starts", type=int, default=10)
    args = parser.parse_args()

    missing = harness.missing_prerequisites()
    if missing:
        sys.exit("missing: " + ", ".join(missing))

    started = time.monotonic()
    prefix = harness.WinePrefix()
    print(f"prefix creation (wineboot -i, helper started): {time.monotonic() - started:6.2f} s")
    try:
        starts = []
        for _ in range(args.starts):
            t0 = time.monotonic()
            with prefix.start_host() as host:
                host.request("hello", "start")
                starts.append(time.monotonic() - t0)
                host.finish()
        print(f"host start to first hello answer: median {statistics.median(starts) * 1000:7.1f} ms"
              f"  (min {min(starts) * 1000:.1f}, max {max(starts) * 1000:.1f}, n={len(starts)})")

        with prefix.start_host() as host:
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
        print(f"hello round trips: {args.round_trips / elapsed:8.1f} per second"
              f"  (median {statistics.median(times) * 1000:.2f} ms,"
              f" p95 {times[int(len(times) * 0.95) - 1] * 1000:.2f} ms, n={len(times)})")
    finally:
        prefix.close()


if __name__ == "__main__":
    main()
