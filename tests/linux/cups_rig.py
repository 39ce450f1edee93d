"""A private CUPS scheduler with real driver queues for the CUPS print system's tests, and the
decoders that turn what a queue's device received back into pixels.

Everything lives in a temporary folder (configuration, spool, a unix socket; no network port)
and is removed by close(). Queues print through the `capture` backend, which keeps what the
driver sent and can be told, per queue, to report printer states or to fail.
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass
from pathlib import Path

from rig.cups import start_cupsd
from rig.images import rasterise, read_pnm

CUPSD = shutil.which("cupsd", path="/usr/sbin:/usr/bin")
LPADMIN = shutil.which("lpadmin", path="/usr/sbin:/usr/bin")
GS = shutil.which("gs")

_CAPTURE_BACKEND = r"""#!/bin/sh
# capture:<folder>: each job's output as <queue>-<job>.out, its title as <queue>-<job>.title.
# Control files beside the folder, per queue: <queue>.fail ends the job with
# an error; <queue>.hold writes its lines (STATE: messages) and holds the job while it exists.
[ $# -eq 0 ] && { echo 'direct capture "Unknown" "Capture"'; exit 0; }
dir="${DEVICE_URI#capture:}"
control="$dir/../control/$PRINTER"
[ -f "$control.fail" ] && exit 1
if [ -f "$control.hold" ]; then
  cat "$control.hold" >&2
  while [ -f "$control.hold" ]; do sleep 0.05; done
fi
if [ -n "$6" ]; then cat "$6"; else cat; fi > "$dir/$PRINTER-$1.part"
printf '%s' "$3" > "$dir/$PRINTER-$1.title"
mv "$dir/$PRINTER-$1.part" "$dir/$PRINTER-$1.out"
"""


class Scheduler:
    def __init__(self):
        if CUPSD is None or LPADMIN is None:
            raise RuntimeError("cupsd and lpadmin are needed: apt-get install cups-daemon cups-client")
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-cups-"))
        os.chmod(self.root, 0o755)  # cupsd's "lp" user passes through
        self.socket = self.root / "cups.sock"
        self.captured = self.root / "captured"
        self.control = self.root / "control"
        self.process = None
        try:
            self._configure()
            self._start()
        except BaseException:
            self.close()
            raise

    @property
    def env(self) -> dict:
        # CUPS_SERVERROOT: the client reads its lpoptions from the scheduler's folder, as root does.
        return dict(os.environ, CUPS_SERVER=str(self.socket), HOME=str(self.root / "home"),
                    CUPS_SERVERROOT=str(self.root / "conf"),
                    PATH=os.environ.get("PATH", "") + ":/usr/sbin")

    def _configure(self):
        r = self.root
        for name in ("conf/ppd", "spool", "tmp", "cache", "state", "log", "bin/backend", "captured",
                     "control", "home"):
            (r / name).mkdir(parents=True, exist_ok=True)
        os.chmod(self.captured, 0o777)
        os.chmod(r / "tmp", 0o1777)  # filters run as lp
        for name in ("cgi-bin", "daemon", "driver", "filter", "monitor", "notifier"):
            if (Path("/usr/lib/cups") / name).exists():
                (r / "bin" / name).symlink_to(Path("/usr/lib/cups") / name)
        backend = r / "bin/backend/capture"
        backend.write_text(_CAPTURE_BACKEND)
        os.chmod(backend, 0o700)  # run as root, so it may write anywhere
        (r / "cups-files.conf").write_text(
            f"ServerRoot {r}/conf\nRequestRoot {r}/spool\nTempDir {r}/tmp\nCacheDir {r}/cache\n"
            f"StateDir {r}/state\nServerBin {r}/bin\nDataDir /usr/share/cups\n"
            f"ErrorLog {r}/log/error_log\nAccessLog {r}/log/access_log\nPageLog {r}/log/page_log\n"
            "SystemGroup root\nUser lp\nGroup lp\n")
        (r / "cupsd.conf").write_text(
            f"LogLevel info\nListen {self.socket}\nBrowsing No\nWebInterface No\n"
            "DefaultAuthType None\nMaxJobs 0\nPreserveJobHistory Yes\nJobRetryLimit 0\n"
            "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
            "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")

    def _start(self):
        self.process = start_cupsd(self.root, self.socket, self.tool, self.error_log)

    def error_log(self) -> str:
        path = self.root / "log/error_log"
        return path.read_text(errors="replace")[-4000:] if path.exists() else ""

    def tool(self, args, check=True) -> subprocess.CompletedProcess:
        result = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=60)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(args)}: {result.stderr}")
        return result

    # ---- queues

    def models(self) -> list[str]:
        return self.tool(["lpinfo", "-m"]).stdout.splitlines()

    def add_queue(self, name: str, *, model: str | None = None, ppd: Path | None = None,
                  options: tuple = ()):
        args = [LPADMIN, "-p", name, "-E", "-v", f"capture:{self.captured}"]
        args += ["-m", model] if model else ["-P", str(ppd)]
        for option in options:
            args += ["-o", option]
        self.tool(args)

    def ppd_of(self, queue: str) -> Path:
        return self.root / "conf/ppd" / f"{queue}.ppd"

    def hold(self, queue: str, *state_lines: str):
        (self.control / f"{queue}.hold").write_text("".join(f"{line}\n" for line in state_lines))

    def release(self, queue: str):
        (self.control / f"{queue}.hold").unlink(missing_ok=True)

    def fail(self, queue: str):
        (self.control / f"{queue}.fail").write_text("")

    def wait_for(self, predicate, timeout=30.0, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}\n{self.error_log()[-1500:]}")

    def capture(self, queue: str, job: int, timeout=60.0) -> bytes:
        path = self.captured / f"{queue}-{job}.out"
        self.wait_for(path.exists, timeout, f"the output of {queue} job {job}")
        return path.read_bytes()

    def close(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class SilentScheduler:
    """A unix socket that accepts connections and never answers."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-silent-"))
        self.socket = self.root / "cups.sock"
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(str(self.socket))
        self.listener.listen(16)
        self.accepted = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.accepted.append(connection)

    @property
    def env(self) -> dict:
        return dict(os.environ, CUPS_SERVER=str(self.socket), HOME=str(self.root))

    def close(self):
        self.listener.close()
        for connection in self.accepted:
            connection.close()
        shutil.rmtree(self.root, ignore_errors=True)


# ---- pictures


@dataclass
class Bitmap:
    """One bit or byte per pixel, row by row: True where the device marks the page."""
    width: int
    height: int
    rows: list  # of bytearray, 1 = dark

    def dark_box(self):
        """(left, top, right, bottom), exclusive, of the dark pixels; None when there are none."""
        left, top, right, bottom = self.width, None, -1, -1
        for y, row in enumerate(self.rows):
            first = row.find(1)
            if first < 0:
                continue
            top = y if top is None else top
            bottom = y
            left = min(left, first)
            right = max(right, row.rfind(1))
        return None if top is None else (left, top, right + 1, bottom + 1)

    def dark(self, x: int, y: int) -> bool:
        return bool(self.rows[y][x])


def label_png(width: int, height: int, notch: tuple) -> bytes:
    """A black label with a white square notch (x, y, size), as an 8-bit grey PNG."""
    nx, ny, size = notch
    raw = bytearray()
    for y in range(height):
        row = bytearray(width)
        if ny <= y < ny + size:
            row[nx:nx + size] = b"\xff" * size
        raw += b"\x00" + row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def decode_cups_raster(data: bytes) -> list:
    """The pages of a CUPS raster stream (version 2 or 3) as (Bitmap, resolution, copies)."""
    sync = data[:4]
    if sync in (b"RaS2", b"RaS3"):
        order = ">"
    elif sync in (b"2SaR", b"3SaR"):
        order = "<"
    else:
        raise ValueError(f"not CUPS raster: {sync!r}")
    compressed = sync in (b"RaS2", b"2SaR")
    pages, at = [], 4
    while at + 1796 <= len(data):
        header = data[at:at + 1796]
        at += 1796
        field = lambda offset: struct.unpack_from(order + "I", header, offset)[0]
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
                        line += (b"\x00" if white_is_zero else b"\xff") * (bytes_per_line - len(line))
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
            dark = _dark_row(line[:bytes_per_line], width, bits_per_pixel, white_is_zero)
            rows += [dark] * repeat
        pages.append((Bitmap(width, height, rows[:height]), resolution, copies))
    return pages


def _dark_row(line: bytes, width: int, bits_per_pixel: int, white_is_zero: bool) -> bytearray:
    if bits_per_pixel == 1:
        bits = bytearray((line[x >> 3] >> (7 - (x & 7))) & 1 for x in range(width))
        return bits if white_is_zero else bytearray(1 - b for b in bits)
    step = bits_per_pixel // 8
    values = [sum(line[x * step:(x + 1) * step]) // step for x in range(width)]
    return bytearray((v >= 128) if white_is_zero else (v < 128) for v in values)


def decode_zpl(data: bytes) -> list:
    """The labels of rastertolabel's ZPL: each a ~DG graphic (hexadecimal rows with ZPL's
    run-length letters, "," for a row ending in zeros, ":" for the row above) recalled by ^XG.
    Returns the Bitmaps in the order they were printed."""
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


def _zpl_graphic(body: str, total: int, per_row: int) -> Bitmap:
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
            finish((current + "0" * digits)[:digits]); current = ""
        elif c == "!":
            finish((current + "F" * digits)[:digits]); current = ""
        elif c == ":":
            finish(previous); current = ""
        else:
            current += c * max(count, 1)
            if len(current) >= digits:
                finish(current[:digits]); current = ""
        i += 1
    width = per_row * 8
    bitmap_rows = []
    for row in rows:
        value = bytes.fromhex(row)
        bitmap_rows.append(bytearray((value[x >> 3] >> (7 - (x & 7))) & 1 for x in range(width)))
    return Bitmap(width, len(bitmap_rows), bitmap_rows)


def decode_dymo(data: bytes) -> list:
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
    return [Bitmap(width, len(label), [row + bytearray(width - len(row)) for row in label])
            for label in labels]


def render_postscript(data: bytes, resolution: int, scratch: Path) -> list:
    """Pages of PostScript rendered by Ghostscript at the resolution, as Bitmaps."""
    source = scratch / "page.ps"
    source.write_bytes(data)
    pages = []
    for path in rasterise(source, resolution, scratch):
        picture = read_pnm(path)
        width, pixels = picture.width, picture.data
        rows = [bytearray(v < 128 for v in pixels[y * width:(y + 1) * width])
                for y in range(picture.height)]
        pages.append(Bitmap(width, picture.height, rows))
        path.unlink()
    return pages
