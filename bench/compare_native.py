#!/usr/bin/env python3
"""Two builds of the native benchmarks side by side in one run: each binary runs in turn,
several rounds alternating, and the table shows each benchmark's median time and the change.

    python3 bench/compare_native.py BEFORE=path/to/bench AFTER=path/to/bench [--rounds N]
                                    [--filter REGEX]

A benchmark that exists in only one build is shown with a blank on the other side."""

import argparse
import json
import statistics
import subprocess
import sys


def run(binary: str, pattern: str) -> dict[str, float]:
    out = subprocess.run([binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                          "--benchmark_min_time=0.2"],
                         check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return {b["name"]: b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[b["time_unit"]]
            for b in json.loads(out.stdout)["benchmarks"]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs=2, metavar="LABEL=BINARY")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--filter", default=".")
    args = parser.parse_args()
    builds = [tuple(build.split("=", 1)) for build in args.builds]
    times: dict[str, dict[str, list[float]]] = {label: {} for label, _ in builds}
    for _ in range(args.rounds):
        for label, binary in builds:
            for name, ms in run(binary, args.filter).items():
                times[label].setdefault(name, []).append(ms)
    names = list(dict.fromkeys(n for label, _ in builds for n in times[label]))
    (a, _), (b, _) = builds
    width = max(len(n) for n in names)
    print(f"{'benchmark (median ms of ' + str(args.rounds) + ' rounds)':<{width}}  {a:>12}  {b:>12}  change")
    for name in names:
        x = statistics.median(times[a][name]) if name in times[a] else None
        y = statistics.median(times[b][name]) if name in times[b] else None
        change = f"{(y - x) / x * 100:+.1f} %" if x and y else ""
        print(f"{name:<{width}}  {'' if x is None else f'{x:.4f}':>12}  "
              f"{'' if y is None else f'{y:.4f}':>12}  {change}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
