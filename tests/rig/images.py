"""Pictures: PNG files written from pixels, binary PGM/PPM read back, and Ghostscript
renderings of captured PostScript for pixel checks."""

from __future__ import annotations

import struct
import subprocess
import tempfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

from rig.cleanup import scratch_dir
from rig.programs import GHOSTSCRIPT

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}  # by PNG colour type: gray, RGB, gray+alpha, RGBA


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_header(width: int, height: int, bit_depth: int = 8, color_type: int = 6) -> bytes:
    """The signature and the IHDR chunk."""
    return PNG_SIGNATURE + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, bit_depth,
                                                          color_type, 0, 0, 0))


def png_from_rows(width: int, height: int, rows, *, color_type: int = 6,
                  extra_chunks: list[tuple[bytes, bytes]] | None = None) -> bytes:
    """An 8-bit PNG from its rows of pixel bytes, each row with filter "none"."""
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    out = png_header(width, height, 8, color_type)
    for kind, data in extra_chunks or []:
        out += png_chunk(kind, data)
    return out + png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b"")


def make_png(width: int, height: int, pixel=None, *, color_type: int = 6,
             extra_chunks: list[tuple[bytes, bytes]] | None = None) -> bytes:
    """An 8-bit PNG; `pixel(x, y)` gives a tuple in the colour type's order (gray 0,
    RGB 2, gray+alpha 4, RGBA 6), default opaque black. `extra_chunks` go before IDAT."""
    channels = CHANNELS[color_type]
    if pixel is None:
        black = {1: (0,), 2: (0, 255), 3: (0, 0, 0), 4: (0, 0, 0, 255)}[channels]
        rows = [bytes(black) * width] * height
    else:
        rows = [b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height)]
    return png_from_rows(width, height, rows, color_type=color_type, extra_chunks=extra_chunks)


def black_png(width: int, height: int) -> bytes:
    """An all-black grey-scale label: its printed page shows exactly where it landed."""
    return make_png(width, height, color_type=0)


# ---- pictures of printed pages


@dataclass
class PnmImage:
    width: int
    height: int
    channels: int
    maxval: int
    data: bytes = field(repr=False)

    def pixel(self, x: int, y: int):
        offset = (y * self.width + x) * self.channels
        if self.channels == 1:
            return self.data[offset]
        return tuple(self.data[offset:offset + self.channels])

    def gray(self, x: int, y: int) -> int:
        value = self.pixel(x, y)
        return value if self.channels == 1 else sum(value) // len(value)

    def dark_box(self, threshold: int = 128):
        """(left, top, right, bottom), right and bottom exclusive, of the pixels darker than
        `threshold`; None when there are none."""
        left, top, right, bottom = self.width, self.height, -1, -1
        row_len = self.width * self.channels
        for y in range(self.height):
            row = self.data[y * row_len:(y + 1) * row_len]
            if self.channels == 1:
                dark = [x for x, v in enumerate(row) if v < threshold]
            else:
                dark = [x for x in range(self.width)
                        if sum(row[x * self.channels:(x + 1) * self.channels]) < threshold * self.channels]
            if dark:
                top = min(top, y)
                bottom = y
                left = min(left, dark[0])
                right = max(right, dark[-1])
        if right < 0:
            return None
        return (left, top, right + 1, bottom + 1)


def read_pnm(path: Path) -> PnmImage:
    """Reads a binary PGM (P5) or PPM (P6) with an 8-bit maximum."""
    data = Path(path).read_bytes()
    fields = []
    offset = 0
    while len(fields) < 4:
        while data[offset:offset + 1].isspace():
            offset += 1
        if data[offset:offset + 1] == b"#":
            offset = data.index(b"\n", offset) + 1
            continue
        end = offset
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[offset:end])
        offset = end
    offset += 1  # the single white-space byte before the raster
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    channels = {b"P5": 1, b"P6": 3}[magic]
    if maxval > 255:
        raise ValueError("only 8-bit pictures are read")
    return PnmImage(width, height, channels, maxval,
                    data[offset:offset + width * height * channels])


def rasterise(ps_path: Path, dpi: int, out_dir: Path | None = None,
              device: str = "pgmraw") -> list[Path]:
    """Renders every page of a captured PostScript file with Ghostscript at `dpi`; returns
    one picture a page ("pgmraw"/"ppmraw" for read_pnm, or "png16m"/"pnggray")."""
    if GHOSTSCRIPT is None:
        raise RuntimeError("Ghostscript is needed: apt-get install ghostscript")
    ps_path = Path(ps_path)
    out_dir = Path(out_dir or tempfile.mkdtemp(prefix="raster-", dir=scratch_dir()))
    out_dir.mkdir(parents=True, exist_ok=True)
    suffix = {"pgmraw": "pgm", "ppmraw": "ppm", "png16m": "png", "pnggray": "png"}.get(device, "out")
    pattern = out_dir / f"{ps_path.stem}-page-%03d.{suffix}"
    subprocess.run([GHOSTSCRIPT, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", f"-sDEVICE={device}",
                    f"-r{dpi}", f"-sOutputFile={pattern}", str(ps_path)],
                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                   check=True, timeout=120)
    return sorted(out_dir.glob(f"{ps_path.stem}-page-*.{suffix}"))


def page_boxes(ps_path: Path, dpi: int) -> list:
    """The dark box of every printed page (see PnmImage.dark_box)."""
    return [read_pnm(page).dark_box() for page in rasterise(ps_path, dpi)]
