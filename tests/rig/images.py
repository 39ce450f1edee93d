"""Pictures: PNG files written from pixels, binary PGM/PPM read back, Ghostscript
renderings of captured PostScript, and the streams of label printer drivers (CUPS raster,
ZPL, DYMO) decoded back into device pixels, all as PnmImage for pixel checks."""

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


def grey_pdf(width: int, height: int, rows, page_pt: tuple[float, float]) -> bytes:
    """A one-page PDF whose page (width and height in points) is filled by an 8-bit grey
    image, as the Linux host sends a label: the document lp prints in the benchmarks."""
    image = zlib.compress(b"".join(bytes(row) for row in rows), 1)
    content = f"q {page_pt[0]:g} 0 0 {page_pt[1]:g} 0 0 cm /Label Do Q".encode()
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {page_pt[0]:g} {page_pt[1]:g}] "
        f"/Resources << /XObject << /Label 4 0 R >> >> /Contents 5 0 R >>".encode(),
        f"<< /Type /XObject /Subtype /Image /Width {width} /Height {height} /ColorSpace "
        f"/DeviceGray /BitsPerComponent 8 /Filter /FlateDecode /Length {len(image)} >>\n"
        f"stream\n".encode() + image + b"\nendstream",
        f"<< /Length {len(content)} >>\nstream\n".encode() + content + b"\nendstream",
    ]
    out, offsets = bytearray(b"%PDF-1.4\n"), []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += f"{number} 0 obj\n".encode() + body + b"\nendobj\n"
    xref = len(out)
    out += f"xref\n0 {len(objects) + 1}\n0000000000 65535 f \n".encode()
    out += b"".join(f"{offset:010d} 00000 n \n".encode() for offset in offsets)
    out += f"trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    return bytes(out)


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

    def dark(self, x: int, y: int, threshold: int = 128) -> bool:
        return self.gray(x, y) < threshold

    def dark_box(self, threshold: int = 128):
        """(left, top, right, bottom), right and bottom exclusive, of the pixels darker than
        `threshold`; None when there are none."""
        left, top, right, bottom = self.width, self.height, -1, -1
        row_len = self.width * self.channels
        is_dark = bytes(v < threshold for v in range(256))
        for y in range(self.height):
            row = self.data[y * row_len:(y + 1) * row_len]
            if self.channels == 1:
                marks = row.translate(is_dark)
                first = marks.find(1)
                dark = [first, marks.rfind(1)] if first >= 0 else []
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


def pages(ps_path: Path, dpi: int) -> list[PnmImage]:
    """Every page of a captured PostScript file as Ghostscript renders it at `dpi`."""
    return [read_pnm(page) for page in rasterise(ps_path, dpi)]


def page_boxes(ps_path: Path, dpi: int) -> list:
    """The dark box of every printed page (see PnmImage.dark_box)."""
    return [page.dark_box() for page in pages(ps_path, dpi)]


# ---- label printers' streams, decoded into device pixels


_DOT_GREY = bytes([255] + [0] * 255)  # no dot is white, a dot black


def device_page(width: int, rows: list) -> PnmImage:
    """A grey picture from rows of device dots, 1 where the device marks the page."""
    return PnmImage(width, len(rows), 1, 255,
                    b"".join(bytes(row).translate(_DOT_GREY) for row in rows))


def decode_cups_raster(data: bytes) -> list:
    """The pages of a CUPS raster stream (version 2 or 3) as (PnmImage, resolution, copies)."""
    sync = data[:4]
    if sync in (b"RaS2", b"RaS3"):
        order = ">"
    elif sync in (b"2SaR", b"3SaR"):
        order = "<"
    else:
        raise ValueError(f"not CUPS raster: {sync!r}")
    compressed = sync in (b"RaS2", b"2SaR")
    decoded, at = [], 4
    while at + 1796 <= len(data):
        header = data[at:at + 1796]
        at += 1796

        def field(offset):
            return struct.unpack_from(order + "I", header, offset)[0]
        resolution = (field(276), field(280))
        copies = field(340)
        width, height = field(372), field(376)
        bits_per_pixel, bytes_per_line, colour_space = field(388), field(392), field(400)
        if bytes_per_line == 0:
            raise ValueError("a raster page without lines")
        pixel_bytes = max(1, bits_per_pixel // 8)
        # Colour spaces with 0 as white: K (3) and the device ones; W (0), sW (18) and the RGB
        # ones mark with low values.
        white_is_zero = colour_space not in (0, 1, 18, 19, 20)
        rows = []
        while len(rows) < height:
            if compressed:
                repeat = data[at] + 1
                at += 1
                line = bytearray()
                while len(line) < bytes_per_line:
                    count = data[at]
                    at += 1
                    if count == 128:
                        blank = b"\x00" if white_is_zero else b"\xff"
                        line += blank * (bytes_per_line - len(line))
                    elif count < 128:
                        line += data[at:at + pixel_bytes] * (count + 1)
                        at += pixel_bytes
                    else:
                        length = (257 - count) * pixel_bytes
                        line += data[at:at + length]
                        at += length
            else:
                repeat = 1
                line = data[at:at + bytes_per_line]
                at += bytes_per_line
            dots = _raster_dots(line[:bytes_per_line], width, bits_per_pixel, white_is_zero)
            rows += [dots] * repeat
        decoded.append((device_page(width, rows[:height]), resolution, copies))
    return decoded


def _raster_dots(line: bytes, width: int, bits_per_pixel: int, white_is_zero: bool) -> bytearray:
    if bits_per_pixel == 1:
        bits = bytearray((line[x >> 3] >> (7 - (x & 7))) & 1 for x in range(width))
        return bits if white_is_zero else bytearray(1 - b for b in bits)
    step = bits_per_pixel // 8
    values = [sum(line[x * step:(x + 1) * step]) // step for x in range(width)]
    return bytearray((v >= 128) if white_is_zero else (v < 128) for v in values)


def decode_zpl(data: bytes) -> list[PnmImage]:
    """The labels of rastertolabel's ZPL: each a ~DG graphic (hexadecimal rows with ZPL's
    run-length letters, "," for a row ending in zeros, ":" for the row above) recalled by ^XG.
    Returns the pictures in the order they were printed."""
    text = data.decode("ascii", "replace")
    graphics, printed = {}, []
    at = 0
    while True:
        start = text.find("~DG", at)
        recall = text.find("^XG", at)
        if start < 0 and recall < 0:
            break
        if start >= 0 and (recall < 0 or start < recall):
            name_end = text.index(",", start)
            name = text[start + 3:name_end]
            total, per_row = (int(v) for v in text[name_end + 1:].split(",", 2)[:2])
            body_start = text.index(",", text.index(",", name_end + 1) + 1) + 1
            end = text.find("^", body_start)
            end = len(text) if end < 0 else end
            graphics[name] = _zpl_graphic(text[body_start:end], total, per_row)
            at = end
        else:
            name_end = text.index(",", recall)
            printed.append(graphics[text[recall + 3:name_end]])
            at = name_end
    return printed


def _zpl_graphic(body: str, total: int, per_row: int) -> PnmImage:
    digits = per_row * 2
    rows, current, previous = [], "", "0" * digits
    i = 0
    body = "".join(body.split())

    def finish(row):
        nonlocal previous
        rows.append(row)
        previous = row

    while i < len(body) and len(rows) < total // per_row:
        c = body[i]
        count = 0
        while c in "GHIJKLMNOPQRSTUVWXYghijklmnopqrstuvwxyz":
            count += (ord(c) - ord("G") + 1) if c.isupper() else (ord(c) - ord("g") + 1) * 20
            i += 1
            c = body[i]
        if c == ",":
            finish((current + "0" * digits)[:digits])
            current = ""
        elif c == "!":
            finish((current + "F" * digits)[:digits])
            current = ""
        elif c == ":":
            finish(previous)
            current = ""
        else:
            current += c * max(count, 1)
            if len(current) >= digits:
                finish(current[:digits])
                current = ""
        i += 1
    width = per_row * 8
    dots = []
    for row in rows:
        value = bytes.fromhex(row)
        dots.append(bytearray((value[x >> 3] >> (7 - (x & 7))) & 1 for x in range(width)))
    return device_page(width, dots)


def decode_dymo(data: bytes) -> list[PnmImage]:
    """The labels of a DYMO LabelWriter stream: ESC B (dot tab), ESC D (bytes per line), ESC f 1 n
    (n blank lines), SYN (a raw line) and ETB (a line of runs: high bit dark, low bits length - 1),
    a label ending at ESC E or ESC G. Rows start at the print head's first dot."""
    arguments = {ord("B"): 1, ord("D"): 1, ord("L"): 2, ord("Q"): 2, ord("f"): 2}
    labels, rows, dot_tab, per_line, at = [], [], 0, 0, 0
    while at < len(data):
        byte = data[at]
        if byte == 0x1B:
            command = data[at + 1]
            args = data[at + 2:at + 2 + arguments.get(command, 0)]
            at += 2 + arguments.get(command, 0)
            if command == ord("B"):
                dot_tab = args[0]
            elif command == ord("D"):
                per_line = args[0]
            elif command == ord("f"):
                rows += [bytearray()] * args[1]
            elif command in (ord("E"), ord("G")) and rows:
                labels.append(rows)
                rows = []
        elif byte == 0x16:
            line = data[at + 1:at + 1 + per_line]
            at += 1 + per_line
            rows.append(bytearray(dot_tab * 8) + bytearray(
                (line[x >> 3] >> (7 - (x & 7))) & 1 for x in range(per_line * 8)))
        elif byte == 0x17:
            at += 1
            row = bytearray(dot_tab * 8)
            while len(row) < (dot_tab + per_line) * 8:
                run = data[at]
                at += 1
                row += bytearray([run >> 7]) * ((run & 0x7F) + 1)
            rows.append(row)
        else:
            raise ValueError(f"unexpected byte 0x{byte:02x} at {at}")
    width = max((len(row) for label in labels for row in label), default=0)
    return [device_page(width, [row + bytearray(width - len(row)) for row in label])
            for label in labels]
