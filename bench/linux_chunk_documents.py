#!/usr/bin/env python3
"""How the Linux host should hand CUPS a chunk of 25 labels: one job holding one PDF with a page
per label, or one job holding one document per label. Both go to a ZPL label queue (CUPS' sample
driver, 4 x 6 in, 203 dpi) of a private scheduler, through `lp` as one job each, and are timed
from the request until the device has received the whole job; the pages the device received are
decoded to see whether they came in order (label n is black up to a width that grows with n).

    PYTHONPATH=tests python3 bench/linux_chunk_documents.py [--rounds N]"""

import argparse
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

from rig.cups import ZEBRA_ZPL, CupsScheduler
from rig.images import decode_zpl, grey_pdf
from rig.labels import Label
from rig.programs import GHOSTSCRIPT

QUEUE = "Chunk_4x6"
LABELS = 25


def label_pdf(n: int) -> bytes:
    label = Label(812, 1218)
    label.fill(0, 0, 100 + 25 * n, 1218)
    return grey_pdf(812, 1218, label.rows, (288, 432))


def print_and_wait(cups: CupsScheduler, files: list[Path]) -> tuple[float, list[int]]:
    """Seconds from lp until the device has the job, and the right edges of its pages."""
    cups.clear_captured()
    started = time.perf_counter()
    cups.tool(["lp", "-d", QUEUE, "-o", "media=w288h432", *map(str, files)])
    # The device may get the job's documents one backend run at a time: wait until the queue
    # has nothing left.
    cups.wait_for(lambda: cups.captured_documents(QUEUE) and not cups.jobs("not-completed").strip(),
                  60, "the job")
    took = time.perf_counter() - started
    pages = []
    for document in cups.captured_documents(QUEUE):
        pages += [page.dark_box()[2] for page in decode_zpl(document.read())]
    return took, pages


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="vantrel-chunk-"))
    singles = []
    for n in range(LABELS):
        path = work / f"label-{n:02d}.pdf"
        path.write_bytes(label_pdf(n))
        singles.append(path)
    merged = work / "chunk.pdf"
    subprocess.run([GHOSTSCRIPT, "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite",
                    f"-sOutputFile={merged}", *map(str, singles)], check=True)
    cups = CupsScheduler()
    try:
        cups.add_queue(QUEUE, model=ZEBRA_ZPL, options=("media=w288h432",), default=True)
        times = {"one PDF, 25 pages": [], "25 documents": []}
        order = {}
        for _ in range(args.rounds):
            for way, files in (("one PDF, 25 pages", [merged]), ("25 documents", singles)):
                took, pages = print_and_wait(cups, files)
                times[way].append(took)
                order[way] = (len(pages), pages == sorted(pages) and len(set(pages)) == len(pages))
        for way, samples in times.items():
            count, in_order = order[way]
            print(f"{way:>20}: {statistics.median(samples):.2f} s to the device (median of "
                  f"{len(samples)}), {count} pages received, in order: {in_order}")
    finally:
        cups.close()
        subprocess.run(["rm", "-rf", str(work)])


if __name__ == "__main__":
    main()
