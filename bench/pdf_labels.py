#!/usr/bin/env python3
"""Figures for PDF labels (the client's printPdf) in headless Chromium, pdf.js in the client
test extension's offscreen document:

- the threshold measurement: the 4x6 in label PDF (vector text, a Code 128 barcode whose
  narrowest bar is 0.015 in) rendered bilevel at 203 and at 300 dpi at several thresholds; for
  each, whether zbarimg reads the barcode, the narrowest bar and space in dots, and the bias of
  the bars' edges against the barcode as Ghostscript draws it at 1200 dpi (dots per edge: above
  0 the bars grew, below 0 they shrank);
- the time to render that page at 203 and at 300 dpi, with pdf.js's load (a fresh offscreen
  document: the module, its worker, the fonts) and without it;
- the whole printPdf of that page against submit of the same label as a ready PNG, alternating,
  each under a new intent id, printed by the host on a private capture queue: printPdf given
  the queue's details (as the PNG's caller had them), and printPdf asking the queue itself.

    PYTHONPATH=tests python3 bench/pdf_labels.py [--host linux|wine] [--rounds N]

Needs Chromium, the packed client with pdf.js (bash scripts/build-client), the host of --host
(bash scripts/build), reportlab and zbarimg (bash scripts/install-deps)."""

import argparse
import base64
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "browser"))

from rig import chromium, programs  # noqa: E402
from rig.browser import WRAPPER_ENV_NAMES, assemble_client_extension, package_missing  # noqa: E402
from rig.cups import CupsScheduler  # noqa: E402
from rig.images import rasterise, read_pnm  # noqa: E402
from rig.linux_host import add_pdf_queue, linux_host_executable  # noqa: E402
from rig.registration import (HostRegistration, MANIFEST_TEMPLATE, extension_id,  # noqa: E402
                              render_host_manifest)
from test_pdf_labels import decode_barcodes, make_documents  # noqa: E402

THRESHOLDS = (64, 96, 128, 160, 192)
# The barcode's middle row and the span that holds it (inside the frame), in points from the top-left.
BARCODE_ROW_PT = 432 - 120 - 45
BARCODE_SPAN_PT = (30, 258)
NARROWEST_BAR_IN = 0.015


def bilevel_rows(png: bytes) -> tuple[int, list[bytes]]:
    """The rows of a 1-bit grey PNG as the client writes it (every row filter 0), one byte a
    pixel: 1 where black."""
    at, idat, width, height = 8, b"", 0, 0
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        body = png[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, stride = zlib.decompress(idat), 1 + (width + 7) // 8
    rows = []
    for y in range(height):
        row = raw[y * stride + 1:(y + 1) * stride]
        rows.append(bytes(1 - ((row[x >> 3] >> (7 - (x & 7))) & 1) for x in range(width)))
    return width, rows


def runs(row: bytes, dpi: float) -> list[tuple[int, int]]:
    """(value, length) runs of the row within the barcode's span."""
    start, end = (round(v * dpi / 72) for v in BARCODE_SPAN_PT)
    found = []
    for value in row[start:end]:
        if found and found[-1][0] == value:
            found[-1] = (value, found[-1][1] + 1)
        else:
            found.append((value, 1))
    # The quiet zones on either side are not bars or spaces of the symbol.
    while found and found[0][0] == 0:
        found.pop(0)
    while found and found[-1][0] == 0:
        found.pop()
    return found


def reference_bars(pdf: Path, folder: Path) -> tuple[float, int]:
    """The barcode's black width in inches and its bar count, as Ghostscript draws it at 1200 dpi."""
    (picture,) = rasterise(pdf, 1200, folder)
    page = read_pnm(picture)
    y = round(BARCODE_ROW_PT * 1200 / 72)
    row = bytes(1 if v < 128 else 0 for v in page.data[y * page.width:(y + 1) * page.width])
    bars = [n for value, n in runs(row, 1200) if value]
    return sum(bars) / 1200, len(bars)


def median(values) -> str:
    return f"{statistics.median(values):7.1f} ms"


def start_browser(root: Path, extension: Path, host: str, cups: CupsScheduler, queue: str):
    origin = f"chrome-extension://{extension_id(extension)}/"
    if host == "wine":
        from rig.wine import WinePrefix
        prefix = WinePrefix()
        cups.add_queue(queue, "label-4x6-203")
        wine_env = prefix.env(cups.env)
        HostRegistration(root / "profile", origin, wine64=programs.WINE64, host_exe=programs.host_executable(),
                         env={name: wine_env[name] for name in WRAPPER_ENV_NAMES if name in wine_env})
        env = {}
    else:
        prefix = None
        add_pdf_queue(cups, queue)
        folder = root / "profile" / "NativeMessagingHosts"
        folder.mkdir(parents=True)
        (folder / "com.vantrel.print.json").write_text(render_host_manifest(
            MANIFEST_TEMPLATE.read_text(), str(linux_host_executable()), [origin]))
        env = {name: cups.client_env[name] for name in ("CUPS_SERVER", "CUPS_SERVERROOT")}
        env["XDG_STATE_HOME"] = str(root / "state")
    browser = chromium.ChromiumBrowser(root, extension, extra_env=env)
    browser.start()
    browser.wait_for_extension(extension_id(extension))
    return browser, prefix


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", choices=("linux", "wine"), default="linux")
    parser.add_argument("--rounds", type=int, default=10)
    args = parser.parse_args()
    absent = package_missing()
    if absent:
        sys.exit("missing: " + ", ".join(absent))

    root = Path(tempfile.mkdtemp(prefix="vantrel-bench-pdf-"))
    cups = CupsScheduler()
    browser = prefix = None
    try:
        data = make_documents(root / "pdf")
        pdf_path = root / "pdf" / "label.pdf"
        pdf = base64.b64encode(pdf_path.read_bytes()).decode()
        barcode = data["pages"]["label.pdf"][0]
        browser, prefix = start_browser(root, assemble_client_extension(root / "extension"), args.host,
                                        cups, "Bench_4x6_203")
        print(browser.version)

        black_in, bar_count = reference_bars(pdf_path, root / "reference")
        print(f"threshold measurement: {barcode}, {bar_count} bars, narrowest {NARROWEST_BAR_IN} in "
              f"({NARROWEST_BAR_IN * 203:.2f} dots at 203 dpi, {NARROWEST_BAR_IN * 300:.2f} at 300)")
        print("  dpi  threshold  zbarimg  narrowest bar/space  edge bias (dots)")
        for dpi in (203, 300):
            for threshold in THRESHOLDS:
                png = base64.b64decode(browser.call("renderPdfPage", pdf, dpi, threshold))
                picture = root / f"render-{dpi}-{threshold}.png"
                picture.write_bytes(png)
                read = decode_barcodes(picture) == [barcode]
                _, rows = bilevel_rows(png)
                found = runs(rows[round(BARCODE_ROW_PT * dpi / 72)], dpi)
                bars = [n for value, n in found if value]
                spaces = [n for value, n in found if not value]
                bias = (sum(bars) - black_in * dpi) / (2 * len(bars)) if bars else float("nan")
                print(f"  {dpi}  {threshold:9d}  {'reads' if read else 'FAILS':7s}  "
                      f"{min(bars, default=0):>9d} / {min(spaces, default=0):<9d}  {bias:+.2f}"
                      f"{'' if len(bars) == bar_count else f'  ({len(bars)} bars)'}")

        print(f"render of one 4x6 in page in the offscreen document ({args.rounds} rounds):")
        for dpi in (203, 300):
            ms = browser.call("benchRenderPdf", pdf, dpi, 3, args.rounds, timeout=600)
            print(f"  {dpi} dpi: pdf.js load included {median(ms['included'])} (median of {len(ms['included'])} "
                  f"fresh documents), excluded {median(ms['excluded'])} (median of {len(ms['excluded'])})")

        figures = browser.call("benchPrintPdf", pdf, "Bench_4x6_203", args.rounds, timeout=900)
        ms = figures["ms"]
        added = statistics.median(ms["printPdf"]) - statistics.median(ms["submit"])
        print(f"{args.host} host, 4x6 in at 203 dpi ({figures['widthPx']} x {figures['heightPx']} px, "
              f"bilevel PNG {figures['pngBytes']} bytes), {args.rounds} of each, alternating:")
        print(f"  submit of the ready PNG:            median {median(ms['submit'])}, min {min(ms['submit']):.1f} ms")
        print(f"  printPdf given the queue's details: median {median(ms['printPdf'])}, min {min(ms['printPdf']):.1f} ms")
        print(f"  printPdf asking the queue itself:   median {median(ms['asking'])}, min {min(ms['asking']):.1f} ms")
        print(f"  the PDF path adds {added:.1f} ms a page (goal: at most 150 ms); asking the queue adds "
              f"{statistics.median(ms['asking']) - statistics.median(ms['printPdf']):.1f} ms more")
    finally:
        if browser is not None:
            browser.close()
        cups.close()
        if prefix is not None:
            prefix.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
