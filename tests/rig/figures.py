"""What the Wine benchmarks share: the hosts to measure, and their figures side by side."""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

from rig.programs import host_executable, missing_prerequisites


def exit_if_missing():
    missing = missing_prerequisites()
    if missing:
        sys.exit("missing: " + ", ".join(missing))


def parse_with_hosts(parser: argparse.ArgumentParser):
    """The benchmark's arguments with --host added, and the hosts to measure; exits when
    the Windows build or Wine is missing."""
    parser.add_argument("--host", action="append", metavar="LABEL=PATH",
                        help="a host to measure (repeat to compare builds side by side)")
    args = parser.parse_args()
    hosts = labelled_hosts(args.host)
    exit_if_missing()
    return args, hosts


def labelled_hosts(arguments: list[str] | None) -> list[tuple[str, Path]]:
    """Hosts named on a benchmark's command line as LABEL=PATH (--host, repeated), so that
    two builds are measured side by side in one run; by default the Windows build's host."""
    if not arguments:
        return [("host", host_executable())]
    hosts = []
    for argument in arguments:
        label, _, path = argument.partition("=")
        if not path:
            raise SystemExit(f"--host takes LABEL=PATH, not {argument!r}")
        hosts.append((label, Path(path).resolve()))
    return hosts


def print_side_by_side(figures: dict[str, dict[str, str]], note: str = ""):
    """A benchmark's figures as one table, a column per host, rows in the first host's order."""
    labels = list(figures)
    rows = list(next(iter(figures.values())))
    width = max(len(row) for row in rows)
    columns = [max(12, len(label)) for label in labels]
    print(f"{'':<{width}}  " + "  ".join(f"{l:>{c}}" for l, c in zip(labels, columns)))
    for row in rows:
        print(f"{row:<{width}}  " + "  ".join(
            f"{figures[l].get(row, ''):>{c}}" for l, c in zip(labels, columns)))
    if note:
        print(note)
    sys.stdout.flush()


def submit_stages(samples: dict[str, list[float]], printing: str) -> dict[str, str]:
    """A new submit split into its stages by differences of medians (milliseconds): the
    samples of "hello", a "duplicate" submit, a "media"-refused one, one to a "missing" queue
    and a "new" one; `printing` names the last stage."""
    med = {kind: statistics.median(values) for kind, values in samples.items()}
    return {
        "hello": f"{med['hello']:.2f}",
        "new submit": f"{med['new']:.2f}",
        "  state work": f"{med['hello']:.2f}",
        "  verification": f"{med['duplicate'] - med['hello']:.2f}",
        "  first save + settling": f"{med['media'] - med['duplicate']:.2f}",
        "  decoding (and the missing queue refused)": f"{med['missing'] - med['media']:.2f}",
        f"  {printing}": f"{med['new'] - med['missing']:.2f}",
        "duplicate submit": f"{med['duplicate']:.2f}",
    }
