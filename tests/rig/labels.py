"""The label pictures that tests, benchmarks and demos print: a white grey-scale canvas to
draw on, and the labels made with it (all written by rig.images' one PNG writer)."""

from __future__ import annotations

from rig.images import grey_pdf, png_from_rows

# A 5 x 7 dot font, enough for the label's text; each row is 5 bits, left to right.
FONT = {
    "A": (14, 17, 17, 31, 17, 17, 17), "B": (30, 17, 17, 30, 17, 17, 30),
    "C": (14, 17, 16, 16, 16, 17, 14), "D": (30, 17, 17, 17, 17, 17, 30),
    "E": (31, 16, 16, 30, 16, 16, 31), "F": (31, 16, 16, 30, 16, 16, 16),
    "G": (14, 17, 16, 23, 17, 17, 15), "H": (17, 17, 17, 31, 17, 17, 17),
    "I": (14, 4, 4, 4, 4, 4, 14), "J": (7, 2, 2, 2, 2, 18, 12),
    "K": (17, 18, 20, 24, 20, 18, 17), "L": (16, 16, 16, 16, 16, 16, 31),
    "M": (17, 27, 21, 21, 17, 17, 17), "N": (17, 17, 25, 21, 19, 17, 17),
    "O": (14, 17, 17, 17, 17, 17, 14), "P": (30, 17, 17, 30, 16, 16, 16),
    "Q": (14, 17, 17, 17, 21, 18, 13), "R": (30, 17, 17, 30, 20, 18, 17),
    "S": (15, 16, 16, 14, 1, 1, 30), "T": (31, 4, 4, 4, 4, 4, 4),
    "U": (17, 17, 17, 17, 17, 17, 14), "V": (17, 17, 17, 10, 10, 4, 4),
    "W": (17, 17, 17, 21, 21, 21, 10), "X": (17, 17, 10, 4, 10, 17, 17),
    "Y": (17, 17, 10, 4, 4, 4, 4), "Z": (31, 1, 2, 4, 8, 16, 31),
    "0": (14, 17, 19, 21, 25, 17, 14), "1": (4, 12, 4, 4, 4, 4, 14),
    "2": (14, 17, 1, 2, 4, 8, 31), "3": (31, 2, 4, 2, 1, 17, 14),
    "4": (2, 6, 10, 18, 31, 2, 2), "5": (31, 16, 30, 1, 1, 17, 14),
    "6": (6, 8, 16, 30, 17, 17, 14), "7": (31, 1, 2, 4, 8, 8, 8),
    "8": (14, 17, 17, 14, 17, 17, 14), "9": (14, 17, 17, 15, 1, 2, 12),
    ":": (0, 12, 12, 0, 12, 12, 0), ".": (0, 0, 0, 0, 0, 12, 12),
    "-": (0, 0, 0, 31, 0, 0, 0), "#": (10, 10, 31, 10, 31, 10, 10), " ": (0,) * 7,
}


class Label:
    """A white 8-bit grey-scale label, drawn on in black."""

    def __init__(self, width: int, height: int):
        self.width, self.height = width, height
        self.rows = [bytearray(b"\xff" * width) for _ in range(height)]

    def fill(self, x0: int, y0: int, x1: int, y1: int):
        """Blackens the rectangle, right and bottom exclusive (cut at the label's edges)."""
        x1 = min(x1, self.width)
        for y in range(y0, min(y1, self.height)):
            self.rows[y][x0:x1] = b"\x00" * max(0, x1 - x0)

    def frame(self, thickness: int):
        w, h, t = self.width, self.height, thickness
        self.fill(0, 0, w, t)
        self.fill(0, h - t, w, h)
        self.fill(0, 0, t, h)
        self.fill(w - t, 0, w, h)

    def text(self, x: int, y: int, line: str, scale: int):
        for index, char in enumerate(line):
            for row, bits in enumerate(FONT[char]):
                for column in range(5):
                    if bits >> (4 - column) & 1:
                        left = x + (index * 6 + column) * scale
                        self.fill(left, y + row * scale, left + scale, y + (row + 1) * scale)

    def png(self) -> bytes:
        return png_from_rows(self.width, self.height, self.rows, color_type=0)

    def pdf(self, dpi: int) -> bytes:
        """The label as a PDF page of its size at `dpi`."""
        return grey_pdf(self.width, self.height, self.rows,
                        (self.width * 72 / dpi, self.height * 72 / dpi))


def notched_label(width: int, height: int, notch: tuple[int, int, int]) -> bytes:
    """A black label with a white square notch (x, y, size): a printed page shows where the
    label landed, at what size, and which way up."""
    label = Label(width, height)
    label.fill(0, 0, width, height)
    x, y, size = notch
    for row in label.rows[y:y + size]:
        row[x:x + size] = b"\xff" * size
    return label.png()


def framed_label(width: int, height: int, border: int) -> bytes:
    """A black frame `border` pixels wide on white."""
    label = Label(width, height)
    label.frame(border)
    return label.png()


def shipping_label() -> bytes:
    """A 4 x 6 in shipping label at 203 dpi (812 x 1218 px) as PNG: a 1-pixel frame, sender
    and recipient text, a barcode-like pattern and the order number under it."""
    return shipping_label_picture().png()


def shipping_label_picture() -> Label:
    label = Label(812, 1218)
    width = label.width
    label.frame(1)
    label.text(40, 40, "FROM: VANTREL PRINT", 4)
    label.text(40, 80, "1 DOCK STREET  PORT 1000", 4)
    label.fill(40, 140, width - 40, 144)
    label.text(40, 180, "SHIP TO:", 5)
    label.text(40, 240, "J. DOE", 8)
    label.text(40, 320, "12 HARBOUR ROAD", 6)
    label.text(40, 380, "PORT 4021", 6)
    label.fill(40, 460, width - 40, 464)
    x, bar = 76, 0
    while x < width - 76:  # bars of one to four modules, like a linear barcode
        module = 3 * (1 + (bar * 7919 + 13) % 4)
        if bar % 2 == 0:
            label.fill(x, 520, min(x + module, width - 76), 880)
        x += module
        bar += 1
    label.text(196, 910, "ORDER # 1001", 6)
    label.fill(40, 1000, width - 40, 1004)
    label.text(40, 1040, "4X6 IN  203 DPI  1 OF 1", 4)
    return label
