#!/usr/bin/env python3
"""get_printer and a submit that names its media, beside list_printers and a plain submit, for
the Linux host and the Windows host under Wine, in one run.

    PYTHONPATH=tests python3 bench/get_printer_and_media.py [--rounds N]

Each host is one running process on a private scheduler's label queue (Linux: CUPS' ZPL
sample driver, 4 x 6 in; Windows: a PostScript queue offering Letter, A4, 4 x 6, 4 x 4 and
2.25 x 1.25 in, its media submit naming the queue's own paper, so that the difference is the
selection and its read-back). Prints the medians in milliseconds side by side."""

import argparse
from pathlib import Path

from linux_submit import MEDIA, PLAIN, linux_media_figures
from rig.figures import exit_if_missing, print_side_by_side
from wine_submit import media_figures

ROOT = Path(__file__).resolve().parents[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--linux", default=str(ROOT / "build/linux/vantrel-print-host"))
    parser.add_argument("--windows", default=str(ROOT / "build/windows/vantrel-print-host.exe"))
    args = parser.parse_args()
    exit_if_missing()
    linux = linux_media_figures(Path(args.linux), args.rounds)
    windows = media_figures(Path(args.windows).resolve(), args.rounds)
    rows = {"list_printers": ("list_printers", "list_printers"),
            "get_printer": ("get_printer", "get_printer"),
            "new 4x6 submit": (PLAIN, "new submit"),
            "new 4x6 submit with media": (f"{PLAIN}, media {MEDIA}", "new submit with media"),
            "get_printer, 400 sizes": (None, "get_printer, 400 sizes"),
            "first get_printer of a process": (None, "first get_printer of a process")}
    print_side_by_side(
        {"Linux": {row: linux[key] if key else "" for row, (key, _) in rows.items()},
         "Windows under Wine": {row: windows[key] for row, (_, key) in rows.items()}},
        f"milliseconds, medians of {args.rounds} rounds")


if __name__ == "__main__":
    main()
