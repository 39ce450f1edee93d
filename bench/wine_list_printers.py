#!/usr/bin/env python3
"""Figures for list_printers through the Wine-run host with 1, 10 and 100 CUPS queues: the
first listing of a host process (Wine copies the scheduler's queues into its registry when
a process first loads its spooler) and the later listings of the same process.

    python3 bench/wine_list_printers.py [--repeats N]

Needs the Windows build (bash scripts/build)."""

import argparse
import statistics
import sys
import time
from pathlib import Path


from rig.cups import CupsScheduler
from rig.figures import exit_if_missing
from rig.wine import WinePrefix


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=20)
    args = parser.parse_args()
    exit_if_missing()

    with CupsScheduler() as cups, WinePrefix() as prefix:
        present = 0
        for count in (1, 10, 100):
            while present < count:
                cups.add_queue(f"Queue_{present:03d}", default=present == 0)
                present += 1
            with prefix.start_host(cups=cups) as host:
                started = time.perf_counter()
                first = host.request("list_printers", "first", timeout=60)
                first_ms = (time.perf_counter() - started) * 1000
                listed = len(first["result"]["printers"])
                later = []
                for i in range(args.repeats):
                    started = time.perf_counter()
                    host.request("list_printers", f"r{i}", timeout=60)
                    later.append((time.perf_counter() - started) * 1000)
                host.finish()
            print(f"{count:4d} queues ({listed} listed): first listing of a process "
                  f"{first_ms:8.2f} ms, later listings median {statistics.median(later):7.2f} ms")


if __name__ == "__main__":
    main()
