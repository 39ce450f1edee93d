#!/usr/bin/python3
"""Carrier-like PDF labels for the PDF tests, made at test time with Debian's reportlab (run it
with /usr/bin/python3, whose packages those are):

    /usr/bin/python3 tests/browser/make_pdf_labels.py OUT_DIR

writes into OUT_DIR label.pdf (4x6 in, vector text and a Code 128 barcode), letter.pdf (a Letter
page with that label in its upper left 4x6 in), image.pdf (the label as one embedded 4x6 in image
of 300 dpi), two-pages.pdf, encrypted.pdf (a user password) and not-a.pdf, and prints JSON: per
file its pages' barcode texts, and the label's geometry in points from its top-left corner (the
frame's outer edges, the corner mark) for checking where the ink landed."""

import json
import subprocess
import sys
from pathlib import Path

from reportlab.graphics.barcode.code128 import Code128
from reportlab.lib.pagesizes import letter
from reportlab.pdfgen import canvas

LABEL_PT = (288, 432)  # 4 x 6 in
FRAME_INSET_PT = 18  # the frame's centre line; 2 pt wide, so its outer edge is at 17 pt
FRAME_WIDTH_PT = 2
MARK_PT = (30, 30, 36)  # a filled square at x, y from the top-left, its side: tells a flipped page
BAR_PT = 0.015 * 72  # narrowest bar 0.015 in, as carriers print at 203 dpi


def draw_label(c: canvas.Canvas, barcode: str, top_pt: float):
    """The label with its top-left corner at (0, top_pt) of the page, in reportlab's upward y."""
    width, height = LABEL_PT
    bottom = top_pt - height
    c.setLineWidth(FRAME_WIDTH_PT)
    c.rect(FRAME_INSET_PT, bottom + FRAME_INSET_PT, width - 2 * FRAME_INSET_PT,
           height - 2 * FRAME_INSET_PT, stroke=1, fill=0)
    x, y, side = MARK_PT
    c.rect(x, top_pt - y - side, side, side, stroke=0, fill=1)
    c.setFont("Helvetica-Bold", 16)
    c.drawString(80, top_pt - 56, "SHIP TO")
    c.setFont("Helvetica", 11)
    for i, line in enumerate(("Vantrel Test Receiving", "12 Example Street", "Springfield 00000")):
        c.drawString(36, top_pt - 100 - 15 * i, line)
    symbol = Code128(barcode, barWidth=BAR_PT, barHeight=90)
    symbol.drawOn(c, (width - symbol.width) / 2, bottom + 120)
    c.setFont("Helvetica", 9)
    c.drawCentredString(width / 2, bottom + 104, barcode)


def one_label(path: Path, barcodes: list[str], *, page=LABEL_PT, encrypt=None):
    c = canvas.Canvas(str(path), pagesize=page, encrypt=encrypt)
    for barcode in barcodes:
        draw_label(c, barcode, page[1])
        c.showPage()
    c.save()


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    pages = {
        "label.pdf": ["1Z4X6VEC0001"],
        "letter.pdf": ["1ZLETTER0002"],
        "image.pdf": ["1ZIMAGE00003"],
        "two-pages.pdf": ["1ZPAGE100004", "1ZPAGE200005"],
        "encrypted.pdf": ["1ZSECRET0006"],
    }
    one_label(out / "label.pdf", pages["label.pdf"])
    one_label(out / "two-pages.pdf", pages["two-pages.pdf"])
    one_label(out / "letter.pdf", pages["letter.pdf"], page=letter)
    one_label(out / "encrypted.pdf", pages["encrypted.pdf"], encrypt="secret")
    # The image: the vector label rasterised at 300 dpi (as a carrier's service sends it).
    vector = out / "image-source.pdf"
    one_label(vector, pages["image.pdf"])
    picture = out / "image-source.png"
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pnggray", "-r300",
                    f"-sOutputFile={picture}", str(vector)], check=True)
    c = canvas.Canvas(str(out / "image.pdf"), pagesize=LABEL_PT)
    c.drawImage(str(picture), 0, 0, width=LABEL_PT[0], height=LABEL_PT[1])
    c.showPage()
    c.save()
    (out / "not-a.pdf").write_bytes(b"%PDF-1.4\nthis is no PDF at all\n")
    edge = FRAME_INSET_PT - FRAME_WIDTH_PT / 2
    print(json.dumps({
        "pages": pages,
        "frame_pt": [edge, edge, LABEL_PT[0] - edge, LABEL_PT[1] - edge],
        "mark_pt": [MARK_PT[0], MARK_PT[1], MARK_PT[0] + MARK_PT[2], MARK_PT[1] + MARK_PT[2]],
        "label_pt": list(LABEL_PT),
    }))


if __name__ == "__main__":
    main()
