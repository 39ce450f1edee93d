"""Private CUPS schedulers for both hosts: configuration, spool, logs and a unix socket in a
temporary folder, no network port. Wine reaches one through `env`, the Linux host and the
CUPS tools through `client_env`. Queues print through the `capture` backend, which keeps the
exact bytes each job's device received (the PostScript Wine's driver wrote, or a label
printer driver's stream) with its title and copies, and can be told per queue to report
printer states, to hold its jobs or to fail. A scheduler that never answers is the
SilentScheduler."""

from __future__ import annotations

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from rig import cleanup
from rig.host import DEFAULT_TIMEOUT_S
from rig.programs import CUPSD, LPADMIN


def _ppd(model: str, page: str, width_pt: float, height_pt: float, area: tuple, dpi: int) -> str:
    def num(value):
        return f"{value:g}"
    size = f"[{num(width_pt)} {num(height_pt)}]"
    res = f"{dpi}x{dpi}dpi"  # "203dpi" alone is read by Wine as 20 dpi
    return f"""*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "CAPTURE.PPD"
*Manufacturer: "Vantrel Test"
*Product: "({model})"
*ModelName: "{model}"
*ShortNickName: "{model}"
*NickName: "{model}"
*PSVersion: "(3010.000) 0"
*LanguageLevel: "3"
*ColorDevice: False
*DefaultColorSpace: Gray
*FileSystem: False
*Throughput: "1"
*LandscapeOrientation: Plus90
*TTRasterizer: Type42
*cupsVersion: 2.4
*cupsFilter: "application/postscript 0 -"
*OpenUI *PageSize/Media Size: PickOne
*OrderDependency: 10 AnySetup *PageSize
*DefaultPageSize: {page}
*PageSize {page}/{page}: "<</PageSize{size}/ImagingBBox null>>setpagedevice"
*CloseUI: *PageSize
*OpenUI *PageRegion/Media Size: PickOne
*OrderDependency: 10 AnySetup *PageRegion
*DefaultPageRegion: {page}
*PageRegion {page}/{page}: "<</PageSize{size}/ImagingBBox null>>setpagedevice"
*CloseUI: *PageRegion
*DefaultImageableArea: {page}
*ImageableArea {page}/{page}: "{' '.join(num(v) for v in area)}"
*DefaultPaperDimension: {page}
*PaperDimension {page}/{page}: "{num(width_pt)} {num(height_pt)}"
*OpenUI *Resolution/Resolution: PickOne
*OrderDependency: 20 AnySetup *Resolution
*DefaultResolution: {res}
*Resolution {res}/{dpi} dpi: "<</HWResolution[{dpi} {dpi}]>>setpagedevice"
*CloseUI: *Resolution
*DefaultFont: Courier
*Font Courier: Standard "(002.004S)" Standard ROM
"""


# Capture queues' drivers. Device caps under Wine: LABEL_4X6_203 gives 203 dpi and
# 812 x 1218; LABEL_4X6_203_MARGINS 771 x 1177 with PHYSICALOFFSET 20/21;
# LETTER_300 2450 x 3200.
LABEL_4X6_203 = _ppd("Capture 4x6 203", "w288h432", 288, 432, (0, 0, 288, 432), 203)
LABEL_4X6_203_MARGINS = _ppd("Capture 4x6 203 margins", "w288h432", 288, 432,
                             (7.2, 7.2, 280.8, 424.8), 203)
LETTER_300 = _ppd("Capture Letter 300", "Letter", 612, 792, (12, 12, 600, 780), 300)
LABEL_4X6_300 = _ppd("Capture 4x6 300", "w288h432", 288, 432, (0, 0, 288, 432), 300)


def _linux_capture_ppd(model: str, page: str, width_pt: float, height_pt: float, area: tuple,
                       dpi: int, sizes: tuple = ()) -> str:
    """A capture PPD for the Linux host: one of _ppd that takes the PostScript CUPS makes of the
    host's PDF, with more page sizes (name, width_pt, height_pt; printable to their edges) listed
    before its default one."""
    def setup(w, h):
        return f"<</PageSize[{w:g} {h:g}]/ImagingBBox null>>setpagedevice"
    values = {"PageSize": setup, "PageRegion": setup,
              "ImageableArea": lambda w, h: f"0 0 {w:g} {h:g}",
              "PaperDimension": lambda w, h: f"{w:g} {h:g}"}
    out = []
    for line in _ppd(model, page, width_pt, height_pt, area, dpi).splitlines():
        keyword = line[1:].split(" ", 1)[0]
        if keyword in values and line.startswith(f"*{keyword} {page}/"):
            out += [f'*{keyword} {name}/{name}: "{values[keyword](w, h)}"' for name, w, h in sizes]
        out.append(line.replace('"application/postscript 0 -"',
                                '"application/vnd.cups-postscript 0 -"'))
    return "\n".join(out) + "\n"


# Linux host queues: Letter by default with 4 x 6 in offered too; and 300 sizes, the default last.
LETTER_AND_4X6 = _linux_capture_ppd("Capture Letter and 4x6", "Letter", 612, 792,
                                    (12, 12, 600, 780), 203, (("w288h432", 288, 432),))
MANY_SIZES = _linux_capture_ppd("Capture many sizes", "w288h432", 288, 432, (0, 0, 288, 432), 203,
                                tuple((f"w{72 + n}h144", 72 + n, 144) for n in range(299)))


def _ppd_sizes(model: str, default: str, sizes: dict, dpi: int) -> str:
    """A capture PPD offering several page sizes, {name: (width_pt, height_pt, area)}, in that
    order, the default among them."""
    text = _ppd(model, default, *sizes[default], dpi)

    def num(value):
        return f"{value:g}"
    entries = {
        "PageSize": lambda w, h, a: f'"<</PageSize[{num(w)} {num(h)}]/ImagingBBox null>>setpagedevice"',
        "PageRegion": lambda w, h, a: f'"<</PageSize[{num(w)} {num(h)}]/ImagingBBox null>>setpagedevice"',
        "ImageableArea": lambda w, h, a: '"' + " ".join(num(v) for v in a) + '"',
        "PaperDimension": lambda w, h, a: f'"{num(w)} {num(h)}"'}
    for keyword, value in entries.items():
        lines = [f"*{keyword} {name}/{name}: {value(*size)}" for name, size in sizes.items()]
        start = text.index(f"*{keyword} {default}/")
        end = text.index("\n", start) + 1
        text = text[:start] + "\n".join(lines) + "\n" + text[end:]
    return text


# Windows host queues (203 dpi). WINE_MULTI_SIZE: Letter (the default, 1/4 in margins), A4,
# 4x6, 4x4 and 2.25x1.25 in. WINE_IGNORES_4X6: Wine's driver gives the PPD names "Env10" and
# "Comm10" one paper id, so selecting its 4x6 in "Comm10" prints on its #10 envelope "Env10",
# the default. WINE_MANY_SIZES: 400 sizes 0.7 mm apart, the default 4x6 in last.
def _full(width_pt, height_pt):
    return (width_pt, height_pt, (0, 0, width_pt, height_pt))


WINE_MULTI_SIZE = _ppd_sizes("Capture multi-size 203", "Letter", {
    "Letter": (612, 792, (18, 18, 594, 774)), "A4": (595, 842, (18, 18, 577, 824)),
    "w288h432": _full(288, 432), "w288h288": _full(288, 288), "w162h90": _full(162, 90)}, 203)
WINE_IGNORES_4X6 = _ppd_sizes("Capture ignores 4x6 203", "Env10", {
    "Env10": _full(297, 684), "Comm10": _full(288, 432)}, 203)
# Two papers of one size (the default inside 0.1 in margins, the other edge to edge), as a label
# printer lists 4x6 in with and without its borders: each is a media of its own.
TWO_4X6 = _ppd_sizes("Capture two 4x6 203", "4x6Margins", {
    "w288h432": _full(288, 432), "4x6Margins": (288, 432, (7.2, 7.2, 280.8, 424.8))}, 203)
WINE_MANY_SIZES = _ppd_sizes("Capture many sizes 203", "w288h432", {
    **{f"w{72 + 2 * i}h500": _full(72 + 2 * i, 500) for i in range(400)},
    "w288h432": _full(288, 432)}, 203)

def _raw_ppd(model: str, dpi: int) -> str:
    """A capture PPD for printer-language labels: 4x6 in (the default) and 4x2 in, whose bytes
    reach the backend unchanged, whether sent as raw or typed by CUPS as text (as Wine's spooler
    sends them)."""
    text = _ppd_sizes(model, "w288h432", {"w288h432": _full(288, 432), "w288h144": _full(288, 144)},
                      dpi)
    return text.replace('*cupsFilter: "application/postscript 0 -"',
                        '*cupsFilter: "text/plain 0 -"\n*cupsFilter: "application/vnd.cups-raw 0 -"')


RAW_4X6_203 = _raw_ppd("Capture raw 203", 203)
RAW_4X6_300 = _raw_ppd("Capture raw 300", 300)

# Driver queues from Debian's packages (lpinfo -m names): CUPS' sample ZPL and PostScript
# drivers (cups-core-drivers) and a DYMO LabelWriter (printer-driver-dymo).
ZEBRA_ZPL = "drv:///sample.drv/zebra.ppd"
GENERIC_POSTSCRIPT = "drv:///sample.drv/generic.ppd"
DYMO_450 = "dymo:0/cups/model/lw450.ppd"

# The backend gets: job-id user title copies options [file]; DEVICE_URI names the folder.
# Each job becomes <queue>-<job>.out with its exact title, copies and options beside it. Control
# files per queue (in control/, beside the folder): <queue>.fail ends each job with an error
# before any output; <queue>.fail-after-output after writing all of it; <queue>.hold writes
# its lines (STATE: messages) and holds the job while it exists; <queue>.seconds makes the
# device take that long over each job, as a USB printer's backend does.
_CAPTURE_BACKEND = r"""#!/bin/sh
if [ $# -eq 0 ]; then
  echo 'direct capture "Unknown" "Vantrel capture queue"'
  exit 0
fi
dir="${DEVICE_URI#capture:}"
control="$dir/../control/$PRINTER"
[ -f "$control.fail" ] && exit 1
if [ -f "$control.hold" ]; then
  cat "$control.hold" >&2
  while [ -f "$control.hold" ]; do sleep 0.05; done
fi
[ -f "$control.seconds" ] && sleep "$(cat "$control.seconds")"
base="$dir/${PRINTER}-$1"
printf '%s' "$3" > "$base.title"
printf '%s' "$4" > "$base.copies"
printf '%s' "$5" > "$base.options"
if [ $# -ge 6 ]; then cat "$6" > "$base.part"; else cat > "$base.part"; fi
chmod 644 "$base.part" "$base.title" "$base.copies" "$base.options"
mv "$base.part" "$base.out"
[ -f "$control.fail-after-output" ] && exit 1
exit 0
"""


@dataclass
class CapturedDocument:
    path: Path
    queue: str
    job_id: int
    title: str
    copies: int
    options: dict[str, str] = None

    def read(self) -> bytes:
        return self.path.read_bytes()


def start_cupsd(root: Path, socket_path: Path, tool, error_log) -> subprocess.Popen:
    """Starts cupsd on the configuration under root and waits until it answers on its socket
    (tool runs a CUPS client command against it)."""
    process = subprocess.Popen(
        [CUPSD, "-f", "-c", str(root / "cupsd.conf"), "-s", str(root / "cups-files.conf")],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"cupsd exited with {process.returncode}: {error_log()}")
        if socket_path.exists() and tool(["lpstat", "-r"], check=False).returncode == 0:
            return process
        time.sleep(0.05)
    process.kill()
    raise RuntimeError(f"cupsd did not come up: {error_log()}")


class CupsScheduler(cleanup.Closing):
    """A private cupsd with capture queues."""

    PPDS = {"label-4x6-203": LABEL_4X6_203, "label-4x6-203-margins": LABEL_4X6_203_MARGINS,
            "letter-300": LETTER_300, "label-4x6-300": LABEL_4X6_300, "letter-and-4x6": LETTER_AND_4X6, "many-sizes": MANY_SIZES}
    PPDS.update({"wine-multi-size": WINE_MULTI_SIZE, "wine-ignores-4x6": WINE_IGNORES_4X6,
                 "wine-many-sizes": WINE_MANY_SIZES, "two-4x6": TWO_4X6,
                 "raw-203": RAW_4X6_203, "raw-300": RAW_4X6_300,
                 # The same for the Linux host, whose PDF reaches it as CUPS' PostScript.
                 "two-4x6-linux": TWO_4X6.replace('"application/postscript 0 -"',
                                                  '"application/vnd.cups-postscript 0 -"')})

    def __init__(self):
        if CUPSD is None or LPADMIN is None:
            raise RuntimeError("cupsd and lpadmin are needed: apt-get install cups-daemon cups-client")
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-cups-"))
        # cupsd insists on folders its "lp" user can pass through.
        os.chmod(self.root, 0o755)
        self.socket = self.root / "cups.sock"
        self.captured_dir = self.root / "captured"
        self.control_dir = self.root / "control"
        self.process: subprocess.Popen | None = None
        self.frozen = False
        self._closed = False
        cleanup.register(self)
        try:
            self._write_configuration()
            self._start()
        except BaseException:
            self.close()
            raise

    @property
    def env(self) -> dict[str, str]:
        """What Wine needs to reach the scheduler (merged into a Wine prefix's environment)."""
        return {"CUPS_SERVER": str(self.socket)}

    @property
    def client_env(self) -> dict[str, str]:
        """A whole environment for CUPS clients (the Linux host, the CUPS tools): the user's
        lpoptions live in the scheduler's folder, never in the real home or /etc/cups."""
        return dict(os.environ, CUPS_SERVER=str(self.socket), HOME=str(self.root / "home"),
                    CUPS_SERVERROOT=str(self.root / "conf"),
                    PATH=os.environ.get("PATH", "") + ":/usr/sbin:/usr/bin")

    def _write_configuration(self):
        r = self.root
        for name in ("conf/ppd", "spool", "tmp", "cache", "state", "log", "bin/backend",
                     "captured", "control", "home", "ppd"):
            (r / name).mkdir(parents=True, exist_ok=True)
        os.chmod(r / "captured", 0o755)
        os.chmod(r / "tmp", 0o1777)  # filters run as lp
        for name in ("cgi-bin", "daemon", "driver", "filter", "monitor", "notifier"):
            target = Path("/usr/lib/cups") / name
            if target.exists():
                (r / "bin" / name).symlink_to(target)
        backend = r / "bin/backend/capture"
        backend.write_text(_CAPTURE_BACKEND)
        # Mode 0700: cupsd runs such a backend as root, so it can write anywhere.
        os.chmod(backend, 0o700)
        (r / "cups-files.conf").write_text(
            f"ServerRoot {r}/conf\nRequestRoot {r}/spool\nTempDir {r}/tmp\nCacheDir {r}/cache\n"
            f"StateDir {r}/state\nServerBin {r}/bin\nDataDir /usr/share/cups\n"
            f"ErrorLog {r}/log/error_log\nAccessLog {r}/log/access_log\n"
            f"PageLog {r}/log/page_log\nSystemGroup root\nUser lp\nGroup lp\n")
        # AccessLogLevel all: the access log names every IPP operation (see operations()).
        (r / "cupsd.conf").write_text(
            f"LogLevel info\nAccessLogLevel all\nListen {self.socket}\nBrowsing No\n"
            "WebInterface No\nDefaultAuthType None\nMaxJobs 0\nPreserveJobHistory Yes\n"
            "JobRetryLimit 0\n"
            "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
            "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
            "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
        for name, text in self.PPDS.items():
            (r / "ppd" / f"{name}.ppd").write_text(text)

    def _start(self):
        self.process = start_cupsd(self.root, self.socket, self.tool, self.error_log)

    def error_log(self) -> str:
        path = self.root / "log/error_log"
        return path.read_text(errors="replace")[-4000:] if path.exists() else ""

    def tool(self, args: list[str], check: bool = True) -> subprocess.CompletedProcess:
        """Runs a CUPS client command against the scheduler; text in and out, a queue name's
        bytes kept as surrogate escapes."""
        result = subprocess.run(args, env=self.client_env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, errors="surrogateescape",
                                timeout=60)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(args)} failed: {result.stderr}")
        return result

    def operations(self) -> list[str]:
        """The IPP operations the scheduler has answered so far, in order."""
        path = self.root / "log/access_log"
        lines = path.read_text(errors="replace").splitlines() if path.exists() else []
        return [line.split()[-2] for line in lines if '"POST ' in line]

    # ---- queues

    def add_queue(self, name: str, ppd: str = "label-4x6-203", *, model: str | None = None,
                  options: tuple = (), default: bool = False):
        """Adds an enabled, accepting capture queue with one of PPDS, a PPD file's path, or
        a driver's `model` (an lpinfo -m name); `options` are lpadmin -o settings."""
        args = [LPADMIN, "-p", name, "-E", "-v", f"capture:{self.captured_dir}"]
        if model is not None:
            args += ["-m", model]
        else:
            args += ["-P", str(self.root / "ppd" / f"{ppd}.ppd" if ppd in self.PPDS else ppd)]
        for option in options:
            args += ["-o", option]
        self.tool(args)
        if default:
            self.set_default(name)

    def ppd_of(self, queue: str) -> Path:
        """The PPD the scheduler keeps for a queue."""
        return self.root / "conf/ppd" / f"{queue}.ppd"

    def remove_queue(self, name: str):
        self.tool([LPADMIN, "-x", name])

    def remove_all_queues(self):
        for name in self.queues():
            self.remove_queue(name)

    def set_default(self, name: str):
        self.tool([LPADMIN, "-d", name])

    def reject(self, name: str):
        self.tool(["cupsreject", name])

    def accept(self, name: str):
        self.tool(["cupsaccept", name])

    def disable(self, name: str):
        self.tool(["cupsdisable", name])

    def enable(self, name: str):
        self.tool(["cupsenable", name])

    def queues(self) -> list[str]:
        return [line for line in self.tool(["lpstat", "-e"], check=False).stdout.splitlines()
                if line]

    def default_queue(self) -> str | None:
        text = self.tool(["lpstat", "-d"], check=False).stdout
        return text.split(": ", 1)[1].strip() if ": " in text else None

    def jobs(self, which: str = "all") -> str:
        return self.tool(["lpstat", "-W", which, "-o"], check=False).stdout

    # ---- what the capture backend does per queue

    def hold(self, queue: str, *state_lines: str):
        """Holds the queue's jobs at the device, after reporting the lines (STATE: messages)."""
        lines = "".join(f"{line}\n" for line in state_lines)
        (self.control_dir / f"{queue}.hold").write_text(lines)

    def release(self, queue: str):
        (self.control_dir / f"{queue}.hold").unlink(missing_ok=True)

    def fail(self, queue: str):
        """The device fails every job before taking any of it."""
        (self.control_dir / f"{queue}.fail").write_text("")

    def slow_device(self, queue: str, seconds: float):
        """The device takes `seconds` over each job before it has all of it."""
        (self.control_dir / f"{queue}.seconds").write_text(f"{seconds:g}")

    def fail_after_output(self, queue: str):
        """The device takes every job whole, then reports an error."""
        (self.control_dir / f"{queue}.fail-after-output").write_text("")

    # ---- freezing: every client's calls block while cupsd is stopped

    def freeze(self):
        os.kill(self.process.pid, signal.SIGSTOP)
        self.frozen = True

    def thaw(self):
        if self.frozen:
            os.kill(self.process.pid, signal.SIGCONT)
            self.frozen = False

    # ---- captured documents

    def captured_documents(self, queue: str | None = None) -> list[CapturedDocument]:
        documents = []
        for path in self.captured_dir.glob("*.out"):
            queue_name, _, job = path.stem.rpartition("-")
            if not job.isdigit() or (queue is not None and queue_name != queue):
                continue
            title_path = path.with_suffix(".title")
            copies_path = path.with_suffix(".copies")
            title = title_path.read_bytes().decode("utf-8", "replace") if title_path.exists() else ""
            copies = copies_path.read_text().strip() if copies_path.exists() else "1"
            options_path = path.with_suffix(".options")
            options = options_path.read_text() if options_path.exists() else ""
            documents.append(CapturedDocument(path, queue_name, int(job), title,
                                              int(copies) if copies.isdigit() else 1,
                                              dict(option.partition("=")[::2]
                                                   for option in options.split())))
        return sorted(documents, key=lambda d: d.job_id)

    def wait_for_documents(self, count: int, queue: str | None = None,
                           timeout: float = DEFAULT_TIMEOUT_S) -> list[CapturedDocument]:
        deadline = time.monotonic() + timeout
        while True:
            documents = self.captured_documents(queue)
            if len(documents) >= count or time.monotonic() > deadline:
                return documents
            time.sleep(0.05)

    def wait_for(self, predicate, timeout: float = 30.0, what: str = "condition"):
        """The first true value of predicate(), polled; fails with the scheduler's log."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}\n{self.error_log()[-1500:]}")

    def capture(self, queue: str, job: int, timeout: float = 60.0) -> CapturedDocument:
        """One job's document, once the device has all of it."""
        return self.wait_for(lambda: [d for d in self.captured_documents(queue)
                                      if d.job_id == job], timeout,
                             f"the output of {queue} job {job}")[0]

    def clear_captured(self):
        for path in self.captured_dir.iterdir():
            path.unlink()

    # ---- end

    def close(self):
        if self._closed:
            return
        self._closed = True
        try:
            if self.process is not None:
                self.thaw()
                cleanup.kill_process(self.process, 10)
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
            cleanup.unregister(self)

    stop = close


class _SocketScheduler(cleanup.Closing):
    """A unix socket in a folder of its own, accepting connections on a thread of its own and
    handing each to `_take`; clients reach it through `client_env`."""

    def __init__(self, prefix: str):
        self.root = Path(tempfile.mkdtemp(prefix=prefix))
        self.socket = self.root / "cups.sock"
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(str(self.socket))
        self.listener.listen(16)
        cleanup.register(self)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self._take(connection)

    def _take(self, connection):
        raise NotImplementedError

    @property
    def client_env(self) -> dict[str, str]:
        return dict(os.environ, CUPS_SERVER=str(self.socket), HOME=str(self.root))

    def close(self):
        self.listener.close()
        shutil.rmtree(self.root, ignore_errors=True)
        cleanup.unregister(self)


class PausingProxy(_SocketScheduler):
    """A unix socket that passes every connection through to a scheduler, and once armed holds
    back the answer to the next document (Send-Document or Print-Job): the scheduler has the
    whole job and the client waits, so that a test can end the client after its job was sent.
    `document_sent` is set when that answer arrives."""

    _DOCUMENT_REQUEST = re.compile(
        rb"[\x01\x02][\x00\x01]\x00[\x02\x06]....\x01\x47\x00\x12attributes-charset", re.S)

    def __init__(self, upstream: Path):
        self.upstream = upstream
        self.armed = False
        self.document_sent = threading.Event()
        self.held: list[socket.socket] = []
        super().__init__("vantrel-proxy-")

    def arm(self):
        self.document_sent.clear()
        self.armed = True

    def _take(self, connection):
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.connect(str(self.upstream))
        state = {"document": False}

        def pump(source, target, to_server: bool):
            while True:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    for end in (source, target):
                        try:
                            end.shutdown(socket.SHUT_RDWR)
                        except OSError:
                            pass
                    if to_server:
                        server.close()
                    elif connection not in self.held:
                        connection.close()
                    return
                if to_server and self.armed and self._DOCUMENT_REQUEST.search(data):
                    state["document"] = True
                if not to_server and state["document"] and not data.startswith(b"HTTP/1.1 100"):
                    # The scheduler has answered the document (not only let it come): it
                    # has all of it.
                    self.armed = False
                    self.held.append(connection)
                    self.document_sent.set()
                    return
                try:
                    target.sendall(data)
                except OSError:
                    return

        threading.Thread(target=pump, args=(connection, server, True), daemon=True).start()
        threading.Thread(target=pump, args=(server, connection, False), daemon=True).start()

    def close(self):
        super().close()
        for connection in self.held:
            connection.close()


class SilentScheduler(_SocketScheduler):
    """A unix socket that accepts connections and never answers."""

    def __init__(self):
        self.accepted = []
        super().__init__("vantrel-silent-")

    def _take(self, connection):
        self.accepted.append(connection)

    def close(self):
        super().close()
        for connection in self.accepted:
            connection.close()


class StubScheduler(_SocketScheduler):
    """A unix socket that answers IPP as a scheduler would for one queue: Get-Printer-Attributes
    with the given attributes (bool, int, str, (x, y) dpi, dict for a collection, list for several
    values), any other operation with an error. `operations` lists every operation asked."""

    OPERATION_NAMES = {0x0B: "Get-Printer-Attributes", 0x05: "Create-Job", 0x06: "Send-Document"}

    def __init__(self, attributes: dict):
        self.attributes = attributes
        self.operations: list[str] = []
        super().__init__("vantrel-stub-")

    def _take(self, connection):
        threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        data = b""
        with connection:
            while True:
                while b"\r\n\r\n" not in data:
                    chunk = connection.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, data = data.split(b"\r\n\r\n", 1)
                fields = {k.strip().lower(): v.strip() for k, _, v in
                          (line.partition(b":") for line in head.split(b"\r\n")[1:])}
                if fields.get(b"expect", b"").lower() == b"100-continue":
                    connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                length = int(fields.get(b"content-length", b"0"))
                while len(data) < length:
                    data += connection.recv(65536)
                request, data = data[:length], data[length:]
                operation = struct.unpack(">H", request[2:4])[0]
                self.operations.append(self.OPERATION_NAMES.get(operation, hex(operation)))
                answer = self._answer(operation, request[4:8])
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n"
                                   + f"Content-Length: {len(answer)}\r\n\r\n".encode() + answer)

    def _answer(self, operation: int, request_id: bytes) -> bytes:
        ok = operation == 0x0B
        body = (b"\x02\x00" + struct.pack(">H", 0x0000 if ok else 0x0404) + request_id + b"\x01"
                + _ipp_attribute(0x47, "attributes-charset", b"utf-8")
                + _ipp_attribute(0x48, "attributes-natural-language", b"en"))
        if ok:
            body += b"\x04" + b"".join(_ipp_values(name, value)
                                       for name, value in self.attributes.items())
        return body + b"\x03"


def _ipp_attribute(tag: int, name: str, value: bytes) -> bytes:
    return (struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(value))
            + value)


def _ipp_values(name: str, value) -> bytes:
    out = b""
    for index, one in enumerate(value if isinstance(value, list) else [value]):
        label = name if index == 0 else ""
        if isinstance(one, bool):
            out += _ipp_attribute(0x22, label, bytes([one]))
        elif isinstance(one, int):
            out += _ipp_attribute(0x21, label, struct.pack(">i", one))
        elif isinstance(one, tuple):
            out += _ipp_attribute(0x32, label, struct.pack(">iiB", one[0], one[1], 3))
        elif isinstance(one, dict):
            out += _ipp_attribute(0x34, label, b"")
            for member, member_value in one.items():
                out += _ipp_attribute(0x4A, "", member.encode()) + _ipp_values("", member_value)
            out += _ipp_attribute(0x37, "", b"")
        else:
            out += _ipp_attribute(0x44, label, one.encode())
    return out
