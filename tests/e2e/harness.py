"""Rig for end-to-end tests of the Wine-run host (Python 3 standard library only).

- WinePrefix: a private Wine prefix for one test process (created with `wineboot -i`,
  or copied from a template made once per test run), with a long-lived helper process
  that holds Wine's background services, and the host's state folder inside it.
- HostProcess: one host process under wine, spoken to in frames (4-byte little-endian
  length + body) on its standard input and output.
- CupsScheduler: a private cupsd on a unix socket (no network port) whose queues
  capture every printed document into a file.
- hold_ledger_lock: holds the host's ledger lock from Linux, like a second host would.
- rasterise / read_pnm: Ghostscript pictures of captured PostScript for pixel checks.

Wine and CUPS: Wine copies the scheduler's queues into its registry when a process loads
winspool, and skips that while any process that loaded it lives (the rig's long-lived
helper never does). So a queue added or removed while a host runs is seen by the next
host process only.

Everything the rig starts, it stops: prefixes (and their wineserver) and schedulers are
closed by their owners, and at interpreter exit (also after SIGTERM) as a last resort.

Environment:
  VANTREL_HOST_EXE        the Windows host (default: build/windows/vantrel-print-host.exe)
  VANTREL_WINE_HELPER     the rig's helper program (default: next to the host)
  VANTREL_E2E_TEMPLATE    a prefix template made by `harness.py make-template DIR`
  VANTREL_E2E_REQUIRED    when set (or CI is set), a missing build fails instead of skipping
"""

from __future__ import annotations

import atexit
import contextlib
import json
import os
import pwd
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass, field
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
DEFAULT_TIMEOUT_S = 20.0
MAX_MESSAGE_LEN = 8_388_608


def _find_program(names, folders):
    for folder in folders:
        for name in names:
            candidate = Path(folder) / name
            if candidate.is_file() and os.access(candidate, os.X_OK):
                return str(candidate)
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    return None


WINE64 = os.environ.get("VANTREL_WINE64") or _find_program(
    ["wine64", "wine"], ["/usr/lib/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/bin"])
WINESERVER = os.environ.get("VANTREL_WINESERVER") or _find_program(
    ["wineserver", "wineserver64"], ["/usr/lib/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/bin"])
CUPSD = _find_program(["cupsd"], ["/usr/sbin"])
LPADMIN = _find_program(["lpadmin"], ["/usr/sbin"])
GHOSTSCRIPT = _find_program(["gs"], ["/usr/bin"])


def host_executable() -> Path:
    return Path(os.environ.get("VANTREL_HOST_EXE")
                or REPO_ROOT / "build" / "windows" / "vantrel-print-host.exe")


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


def helper_executable() -> Path:
    explicit = os.environ.get("VANTREL_WINE_HELPER")
    if explicit:
        return Path(explicit)
    return host_executable().parent / "vantrel-wine-helper.exe"


def e2e_required() -> bool:
    return bool(os.environ.get("VANTREL_E2E_REQUIRED") or os.environ.get("CI"))


def missing_prerequisites() -> list[str]:
    missing = []
    if WINE64 is None:
        missing.append("wine64 (apt-get install wine64)")
    if WINESERVER is None:
        missing.append("wineserver")
    for path in (host_executable(), helper_executable()):
        if not path.is_file():
            missing.append(f"{path} (run: bash scripts/build)")
    return missing


# --------------------------------------------------------------------------------------
# Clean-up of last resort: everything still open at interpreter exit is closed, and a
# SIGTERM (ctest's timeout) becomes a normal exit so that this runs.

_open_resources: list = []
_open_lock = threading.Lock()


def _register(resource):
    with _open_lock:
        _open_resources.append(resource)


def _unregister(resource):
    with _open_lock:
        if resource in _open_resources:
            _open_resources.remove(resource)


@atexit.register
def _close_everything():
    with _open_lock:
        resources = list(reversed(_open_resources))
    for resource in resources:
        with contextlib.suppress(Exception):
            resource.close()


def _exit_on_sigterm(signum, frame):
    raise SystemExit(128 + signum)


if threading.current_thread() is threading.main_thread():
    with contextlib.suppress(ValueError):
        signal.signal(signal.SIGTERM, _exit_on_sigterm)


def _kill_process(process: subprocess.Popen, timeout_s: float = 5.0):
    if process.poll() is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        process.terminate()
    try:
        process.wait(timeout_s)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            process.kill()
        process.wait(timeout_s)


# --------------------------------------------------------------------------------------
# Wine prefixes

_PE_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".tlb", ".ax", ".ds",
                ".com", ".nls", ".msstyles", ".mui", ".vxd"}
_TEMPLATE_MARK = ".vantrel-template-ready"


def _base_wine_env(prefix_path: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "CUPS_SERVER", "WINEPREFIX", "WINEDEBUG",
                        "WINEDLLOVERRIDES", "WINESERVER", "WINELOADER")}
    env.update({
        "WINEPREFIX": str(prefix_path),
        "WINEDEBUG": "-all",
        # No Mono or Gecko installer: they would prompt and take seconds.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "LANG": env.get("LANG", "C.UTF-8"),
    })
    if WINESERVER:
        env["WINESERVER"] = WINESERVER
    return env


def make_template(path: Path) -> float:
    """Creates a fresh prefix at `path` (removing what was there); returns the seconds taken."""
    path = Path(path)
    if path.exists():
        shutil.rmtree(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    env = _base_wine_env(path)
    subprocess.run([WINE64, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=True)
    # Wait until the wineserver has written the registry and gone.
    subprocess.run([WINESERVER, "-w"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    (path / _TEMPLATE_MARK).write_text("ready\n")
    return time.monotonic() - started


def _copy_prefix(template: Path, target: Path):
    # Wine never rewrites its PE modules and code-page tables, so those are shared by
    # hard links; the registry, ini files and everything else are real copies.
    def copy(src, dst):
        if Path(src).suffix.lower() in _PE_SUFFIXES:
            try:
                os.link(src, dst)
                return dst
            except OSError:
                pass
        return shutil.copy2(src, dst)

    shutil.copytree(template, target, symlinks=True, copy_function=copy,
                    ignore=shutil.ignore_patterns(_TEMPLATE_MARK))


def windows_path(path: Path) -> str:
    """A Unix path as Wine sees it through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


@dataclass
class WineResult:
    returncode: int
    stdout: bytes
    stderr: bytes

    @property
    def text(self) -> str:
        return self.stdout.decode("utf-8", "replace")


class WinePrefix:
    """A private Wine prefix for one test process, with its services kept alive."""

    def __init__(self, template: Path | None = None):
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-wine-"))
        self.path = self.root / "prefix"
        self.created_in_s = 0.0
        self._keeper: subprocess.Popen | None = None
        self._closed = False
        _register(self)
        try:
            started = time.monotonic()
            if template is not None and (Path(template) / _TEMPLATE_MARK).exists():
                _copy_prefix(Path(template), self.path)
            else:
                make_template(self.path)
            self.created_in_s = time.monotonic() - started
            self._start_keeper()
        except BaseException:
            self.close()
            raise

    # The first Wine process of a prefix starts Wine's services, which inherit its
    # standard streams; a helper with its streams on /dev/null starts them instead and
    # keeps them (and the wineserver) for the whole run, so no host's pipes are held.
    def _start_keeper(self):
        ready = self.root / "keeper-ready"
        self._keeper = subprocess.Popen(
            [WINE64, str(helper_executable()), "keep", windows_path(ready)], env=self.env(),
            cwd=self.root, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 60
        while not ready.exists():
            if self._keeper.poll() is not None:
                raise RuntimeError(f"the Wine helper exited with {self._keeper.returncode}")
            if time.monotonic() > deadline:
                raise RuntimeError("the Wine helper did not start within 60 s")
            time.sleep(0.02)

    def env(self, extra: dict[str, str] | None = None) -> dict[str, str]:
        env = _base_wine_env(self.path)
        if extra:
            env.update(extra)
        return env

    def run(self, args: list[str], *, extra_env: dict[str, str] | None = None,
            timeout: float = 60, input: bytes | None = None) -> WineResult:
        """Runs a Wine program (a builtin such as "reg", or a path) to completion."""
        completed = subprocess.run([WINE64, *args], env=self.env(extra_env), cwd=self.root,
                                   input=input if input is not None else b"",
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return WineResult(completed.returncode, completed.stdout, completed.stderr)

    def run_helper(self, args: list[str], *, extra_env=None, timeout: float = 60) -> WineResult:
        return self.run([str(helper_executable()), *args], extra_env=extra_env, timeout=timeout)

    # ---- registry

    def reg_add(self, key: str, name: str, reg_type: str, data: str):
        result = self.run(["reg", "add", key, "/v", name, "/t", reg_type, "/d", data, "/f"])
        if result.returncode != 0:
            raise RuntimeError(f"reg add {key} {name} failed: {result.stderr!r}")

    def reg_delete(self, key: str, name: str):
        self.run(["reg", "delete", key, "/v", name, "/f"])

    def sync_printers(self, cups: "CupsScheduler") -> tuple[list[str], str]:
        """Has Wine load its spooler, which copies the scheduler's queues into the registry;
        returns the queue names Wine lists and its default queue."""
        result = self.run_helper(["printers"], extra_env=cups.env)
        if result.returncode != 0:
            raise RuntimeError(f"listing printers failed: {result.text}")
        names, default = [], ""
        for line in result.text.splitlines():
            if line.startswith("default: "):
                default = line[len("default: "):]
            elif line:
                names.append(line)
        return names, default

    def set_printer_status(self, queue: str, status: int, cups: "CupsScheduler | None" = None):
        """Writes the status word Wine reports for a queue (GetPrinterW level 6). Wine must
        have copied the queue first, else a half-made printer is left: with `cups` given,
        the queues are synced before."""
        if cups is not None:
            names, _ = self.sync_printers(cups)
            if queue not in names:
                raise RuntimeError(f"Wine does not list queue {queue!r}: {names}")
        self.reg_add(rf"HKLM\System\CurrentControlSet\Control\Print\Printers\{queue}", "Status",
                     "REG_DWORD", str(status))

    # ---- files

    @property
    def drive_c(self) -> Path:
        return self.path / "drive_c"

    @property
    def user_name(self) -> str:
        users = self.drive_c / "users"
        preferred = pwd.getpwuid(os.getuid()).pw_name
        if (users / preferred).is_dir():
            return preferred
        names = sorted(p.name for p in users.iterdir() if p.is_dir() and p.name != "Public")
        if not names:
            raise RuntimeError(f"no user profile in {users}")
        return names[0]

    @property
    def local_appdata(self) -> Path:
        """C:\\users\\<user>\\AppData\\Local as a Unix path."""
        return self.drive_c / "users" / self.user_name / "AppData" / "Local"

    @property
    def state_dir(self) -> Path:
        """The host's state folder, C:\\users\\<user>\\AppData\\Local\\com.vantrel.print."""
        return self.local_appdata / "com.vantrel.print"

    def state_file(self, name: str) -> Path:
        return self.state_dir / name

    def read_state_file(self, name: str) -> bytes:
        return self.state_file(name).read_bytes()

    def read_state_json(self, name: str):
        return json.loads(self.read_state_file(name))

    def write_state_file(self, name: str, data: bytes | str):
        self.state_dir.mkdir(parents=True, exist_ok=True)
        path = self.state_file(name)
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        return path

    def reset_state(self):
        """Removes the state folder (whatever it has become), so a test starts fresh."""
        path = self.state_dir
        if path.is_symlink() or path.is_file():
            path.unlink()
        elif path.exists():
            subprocess.run(["chattr", "-R", "-i", str(path)], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            shutil.rmtree(path)

    # ---- processes

    def start_host(self, *, extra_env: dict[str, str] | None = None,
                   cups: "CupsScheduler | None" = None,
                   executable: Path | None = None) -> "HostProcess":
        env = dict(cups.env) if cups else {}
        env.update(extra_env or {})
        return HostProcess(self, env, executable)

    def run_host(self, data: bytes, *, timeout: float = DEFAULT_TIMEOUT_S,
                 extra_env=None, cups=None) -> "HostResult":
        """Runs one host with `data` as its whole standard input."""
        with self.start_host(extra_env=extra_env, cups=cups) as host:
            return host.feed_and_finish(data, timeout)

    def close(self):
        if self._closed:
            return
        self._closed = True
        try:
            if self.path.exists() and WINESERVER:
                subprocess.run([WINESERVER, "-k"], env=self.env(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
            if self._keeper is not None:
                _kill_process(self._keeper)
            if self.path.exists() and WINESERVER:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    subprocess.run([WINESERVER, "-w"], env=self.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=30)
        finally:
            # Tests make files immutable only in the user's profile; elsewhere the prefix
            # links to the whole file system (drive Z:).
            users = self.drive_c / "users"
            if users.is_dir():
                subprocess.run(["chattr", "-R", "-i", str(users)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
            shutil.rmtree(self.root, ignore_errors=True)
            _unregister(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


_shared_prefix: WinePrefix | None = None


def shared_prefix() -> WinePrefix:
    """The prefix of this test process: made on first use (from VANTREL_E2E_TEMPLATE when
    set), closed at exit."""
    global _shared_prefix
    if _shared_prefix is None or _shared_prefix._closed:
        template = os.environ.get("VANTREL_E2E_TEMPLATE")
        _shared_prefix = WinePrefix(Path(template) if template else None)
    return _shared_prefix


# --------------------------------------------------------------------------------------
# Frames and the host process


def frame(body: bytes | str) -> bytes:
    if isinstance(body, str):
        body = body.encode("utf-8")
    return struct.pack("<I", len(body)) + body


def envelope(message_type: str, request_id: str = "r1", payload=None, protocol=1,
             **extra) -> bytes:
    """A compact request body; `payload=None` leaves the member out."""
    obj = {"protocol": protocol, "request_id": request_id, "type": message_type}
    if payload is not None:
        obj["payload"] = payload
    obj.update(extra)
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def split_frames(data: bytes) -> tuple[list[bytes], bytes]:
    """Splits a byte stream into frame bodies; returns them and any incomplete tail."""
    bodies = []
    offset = 0
    while len(data) - offset >= 4:
        (length,) = struct.unpack_from("<I", data, offset)
        if len(data) - offset - 4 < length:
            break
        bodies.append(data[offset + 4: offset + 4 + length])
        offset += 4 + length
    return bodies, data[offset:]


def decode_answer(body: bytes) -> dict:
    """Decodes an answer body, refusing repeated keys."""
    def no_duplicates(pairs):
        keys = [k for k, _ in pairs]
        if len(keys) != len(set(keys)):
            raise ValueError(f"repeated key in answer: {keys}")
        return dict(pairs)
    return json.loads(body.decode("utf-8"), object_pairs_hook=no_duplicates)


class HostProtocolError(AssertionError):
    pass


@dataclass
class HostResult:
    returncode: int
    stdout: bytes
    stderr: bytes

    @property
    def frames(self) -> list[bytes]:
        bodies, tail = split_frames(self.stdout)
        if tail:
            raise HostProtocolError(f"standard output ends inside a frame: {tail[:64]!r}")
        return bodies

    @property
    def answers(self) -> list[dict]:
        return [decode_answer(body) for body in self.frames]

    @property
    def stderr_text(self) -> str:
        return self.stderr.decode("utf-8", "replace")


class HostProcess:
    """The Wine-run host with pipes on its standard streams."""

    def __init__(self, prefix: WinePrefix, extra_env: dict[str, str] | None = None,
                 executable: Path | None = None):
        self.prefix = prefix
        self.executable = Path(executable or host_executable())
        self.started_at = time.monotonic()
        self.process = subprocess.Popen(
            [WINE64, str(self.executable)], env=prefix.env(extra_env), cwd=prefix.root,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        self._stdout = bytearray()
        self._stdout_eof = False
        self._stderr = bytearray()
        self._stderr_thread = threading.Thread(target=self._drain_stderr, daemon=True)
        self._stderr_thread.start()
        _register(self)

    def _drain_stderr(self):
        while True:
            chunk = self.process.stderr.read1(65536) if hasattr(self.process.stderr, "read1") \
                else self.process.stderr.read(65536)
            if not chunk:
                return
            self._stderr.extend(chunk)

    # ---- input

    def send_raw(self, data: bytes, *, ignore_broken_pipe: bool = False):
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except BrokenPipeError:
            if not ignore_broken_pipe:
                raise

    def send_frame(self, body: bytes | str):
        self.send_raw(frame(body))

    def send(self, message_type: str, request_id: str = "r1", payload=None, **extra):
        self.send_frame(envelope(message_type, request_id, payload, **extra))

    def close_stdin(self):
        with contextlib.suppress(BrokenPipeError):
            if not self.process.stdin.closed:
                self.process.stdin.close()

    # ---- output

    def _fill(self, wanted: int, deadline: float) -> bool:
        """Reads until `wanted` bytes are buffered; False at end of output first."""
        fd = self.process.stdout.fileno()
        while len(self._stdout) < wanted:
            if self._stdout_eof:
                return False
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(
                    f"no complete answer from the host within the time limit "
                    f"(have {len(self._stdout)} of {wanted} bytes; stderr: {self.stderr_text!r})")
            ready, _, _ = select.select([fd], [], [], remaining)
            if not ready:
                continue
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                self._stdout_eof = True
            else:
                self._stdout.extend(chunk)
        return True

    def read_frame(self, timeout: float = DEFAULT_TIMEOUT_S) -> bytes | None:
        """The next answer body; None when standard output ends between frames."""
        deadline = time.monotonic() + timeout
        if not self._fill(4, deadline):
            if self._stdout:
                raise HostProtocolError(f"output ends inside a length prefix: {bytes(self._stdout)!r}")
            return None
        (length,) = struct.unpack_from("<I", self._stdout, 0)
        if not self._fill(4 + length, deadline):
            raise HostProtocolError(f"output ends inside a body of {length} bytes")
        body = bytes(self._stdout[4:4 + length])
        del self._stdout[:4 + length]
        return body

    def read_answer(self, timeout: float = DEFAULT_TIMEOUT_S) -> dict:
        body = self.read_frame(timeout)
        if body is None:
            raise HostProtocolError(
                f"host ended its output instead of answering (stderr: {self.stderr_text!r})")
        return decode_answer(body)

    def request(self, message_type: str, request_id: str = "r1", payload=None,
                timeout: float = DEFAULT_TIMEOUT_S, **extra) -> dict:
        self.send(message_type, request_id, payload, **extra)
        return self.read_answer(timeout)

    def read_rest(self, timeout: float = DEFAULT_TIMEOUT_S) -> bytes:
        """Everything still to come on standard output, up to its end."""
        deadline = time.monotonic() + timeout
        while self._fill(len(self._stdout) + 1, deadline):
            pass
        rest = bytes(self._stdout)
        self._stdout.clear()
        return rest

    # ---- end

    def wait(self, timeout: float = DEFAULT_TIMEOUT_S) -> int:
        return self.process.wait(timeout)

    def finish(self, timeout: float = DEFAULT_TIMEOUT_S, *, close_input: bool = True) -> HostResult:
        """Closes standard input, reads the rest of standard output, waits for the exit."""
        deadline = time.monotonic() + timeout
        if close_input:
            self.close_stdin()
        rest = self.read_rest(timeout)
        returncode = self.wait(max(0.1, deadline - time.monotonic()))
        self._stderr_thread.join(max(0.1, deadline - time.monotonic()))
        return HostResult(returncode, rest, bytes(self._stderr))

    def feed_and_finish(self, data: bytes, timeout: float = DEFAULT_TIMEOUT_S) -> HostResult:
        """Writes `data` as the whole standard input while reading the answers (so a host
        answering early never blocks on a full pipe), then finishes as `finish` does."""
        def feed():
            self.send_raw(data, ignore_broken_pipe=True)
            self.close_stdin()

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        try:
            return self.finish(timeout, close_input=False)
        finally:
            writer.join(timeout)

    @property
    def stderr_text(self) -> str:
        return bytes(self._stderr).decode("utf-8", "replace")

    def kill(self):
        if self.process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                self.process.kill()
            self.process.wait(10)

    def close(self):
        self.close_stdin()
        self.kill()
        self._stderr_thread.join(5)
        for stream in (self.process.stdout, self.process.stderr):
            with contextlib.suppress(Exception):
                stream.close()
        _unregister(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# --------------------------------------------------------------------------------------
# The ledger lock, held from Linux

_LOCK_HOLDER = r"""
import fcntl, os, sys, time
path, seconds = sys.argv[1], float(sys.argv[2])
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
fcntl.lockf(fd, fcntl.LOCK_EX)
sys.stdout.write("locked\n"); sys.stdout.flush()
if seconds < 0:
    sys.stdin.read()
else:
    time.sleep(seconds)
"""


class LedgerLockHolder:
    """A separate process holding an fcntl lock on the ledger lock file (a lock Wine's
    LockFileEx respects), until `seconds` pass, `release()` or `kill()`."""

    def __init__(self, path: Path, seconds: float | None = None):
        path.parent.mkdir(parents=True, exist_ok=True)
        self.process = subprocess.Popen(
            [sys.executable, "-c", _LOCK_HOLDER, str(path), str(-1 if seconds is None else seconds)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if line != b"locked\n":
            self.kill()
            raise RuntimeError(f"could not lock {path}")
        _register(self)

    def release(self):
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()
        self.process.wait(10)
        _unregister(self)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(10)
        _unregister(self)

    close = kill

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


def hold_ledger_lock(prefix: WinePrefix, seconds: float | None = None) -> LedgerLockHolder:
    return LedgerLockHolder(prefix.state_file("ledger.lock"), seconds)


# --------------------------------------------------------------------------------------
# Private CUPS scheduler


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

# The backend gets: job-id user title copies options [file]; DEVICE_URI names the folder.
# Each job becomes <queue>-<job>.ps with its exact title in <queue>-<job>.title.
_CAPTURE_BACKEND = r"""#!/bin/sh
if [ $# -eq 0 ]; then
  echo 'direct capture "Unknown" "Vantrel capture queue"'
  exit 0
fi
dir="${DEVICE_URI#capture:}"
base="$dir/${PRINTER}-$1"
printf '%s' "$3" > "$base.title"
printf '%s' "$4" > "$base.copies"
if [ $# -ge 6 ]; then cat "$6" > "$base.part"; else cat > "$base.part"; fi
chmod 644 "$base.part" "$base.title" "$base.copies"
mv "$base.part" "$base.ps"
exit 0
"""


@dataclass
class CapturedDocument:
    path: Path
    queue: str
    job_id: int
    title: str
    copies: int

    def read(self) -> bytes:
        return self.path.read_bytes()


class CupsScheduler:
    """A private cupsd: configuration, spool, logs and a unix socket in a temporary folder,
    no network port. Wine (and the CUPS tools run here) reach it through CUPS_SERVER."""

    def __init__(self):
        if CUPSD is None or LPADMIN is None:
            raise RuntimeError("cupsd and lpadmin are needed: apt-get install cups-daemon cups-client")
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-cups-"))
        # cupsd insists on folders its "lp" user can pass through.
        os.chmod(self.root, 0o755)
        self.socket = self.root / "cups.sock"
        self.captured_dir = self.root / "captured"
        self.process: subprocess.Popen | None = None
        self.frozen = False
        self._closed = False
        _register(self)
        try:
            self._write_configuration()
            self._start()
        except BaseException:
            self.close()
            raise

    @property
    def env(self) -> dict[str, str]:
        return {"CUPS_SERVER": str(self.socket)}

    def _write_configuration(self):
        r = self.root
        for name in ("conf", "conf/ppd", "spool", "tmp", "cache", "state", "log", "bin/backend",
                     "captured", "ppd"):
            (r / name).mkdir(parents=True, exist_ok=True)
        os.chmod(r / "captured", 0o755)
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
        (r / "cupsd.conf").write_text(
            f"LogLevel info\nListen {self.socket}\nBrowsing No\nWebInterface No\n"
            "DefaultAuthType None\nMaxJobs 0\nPreserveJobHistory Yes\nJobRetryLimit 0\n"
            "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
            "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
            "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
        for name, text in (("label-4x6-203", LABEL_4X6_203),
                           ("label-4x6-203-margins", LABEL_4X6_203_MARGINS),
                           ("letter-300", LETTER_300)):
            (r / "ppd" / f"{name}.ppd").write_text(text)

    def _start(self):
        self.process = subprocess.Popen(
            [CUPSD, "-f", "-c", str(self.root / "cupsd.conf"), "-s", str(self.root / "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"cupsd exited with {self.process.returncode}: {self.error_log()}")
            if self.socket.exists() and self._tool(["lpstat", "-r"], check=False).returncode == 0:
                return
            time.sleep(0.05)
        raise RuntimeError(f"cupsd did not come up: {self.error_log()}")

    def error_log(self) -> str:
        path = self.root / "log/error_log"
        return path.read_text(errors="replace")[-4000:] if path.exists() else ""

    def _tool(self, args: list[str], check: bool = True) -> subprocess.CompletedProcess:
        env = dict(os.environ, **self.env)
        env["PATH"] = env.get("PATH", "") + ":/usr/sbin:/usr/bin"
        result = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(args)} failed: {result.stderr.decode(errors='replace')}")
        return result

    # ---- queues

    PPDS = {"label-4x6-203", "label-4x6-203-margins", "letter-300"}

    def add_queue(self, name: str, ppd: str = "label-4x6-203", *, default: bool = False):
        """Adds an enabled, accepting capture queue. `ppd` names one of PPDS or is a path."""
        ppd_path = self.root / "ppd" / f"{ppd}.ppd" if ppd in self.PPDS else Path(ppd)
        self._tool([LPADMIN, "-p", name, "-E", "-v", f"capture:{self.captured_dir}",
                    "-P", str(ppd_path)])
        if default:
            self.set_default(name)

    def remove_queue(self, name: str):
        self._tool([LPADMIN, "-x", name])

    def remove_all_queues(self):
        for name in self.queues():
            self.remove_queue(name)

    def set_default(self, name: str):
        self._tool([LPADMIN, "-d", name])

    def reject(self, name: str):
        self._tool(["cupsreject", name])

    def accept(self, name: str):
        self._tool(["cupsaccept", name])

    def disable(self, name: str):
        self._tool(["cupsdisable", name])

    def enable(self, name: str):
        self._tool(["cupsenable", name])

    def queues(self) -> list[str]:
        result = self._tool(["lpstat", "-e"], check=False)
        return [line for line in result.stdout.decode().splitlines() if line]

    def default_queue(self) -> str | None:
        text = self._tool(["lpstat", "-d"], check=False).stdout.decode()
        return text.split(": ", 1)[1].strip() if ": " in text else None

    def jobs(self, which: str = "all") -> str:
        return self._tool(["lpstat", "-W", which, "-o"], check=False).stdout.decode()

    # ---- freezing: print calls of Wine processes block while cupsd is stopped

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
        for path in self.captured_dir.glob("*.ps"):
            stem = path.name[:-3]
            queue_name, _, job = stem.rpartition("-")
            if not job.isdigit() or (queue is not None and queue_name != queue):
                continue
            title_path = path.with_suffix(".title")
            copies_path = path.with_suffix(".copies")
            title = title_path.read_bytes().decode("utf-8", "replace") if title_path.exists() else ""
            copies = copies_path.read_text().strip() if copies_path.exists() else "1"
            documents.append(CapturedDocument(path, queue_name, int(job), title,
                                              int(copies) if copies.isdigit() else 1))
        return sorted(documents, key=lambda d: d.job_id)

    def wait_for_documents(self, count: int, queue: str | None = None,
                           timeout: float = DEFAULT_TIMEOUT_S) -> list[CapturedDocument]:
        deadline = time.monotonic() + timeout
        while True:
            documents = self.captured_documents(queue)
            if len(documents) >= count or time.monotonic() > deadline:
                return documents
            time.sleep(0.05)

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
                _kill_process(self.process, 10)
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
            _unregister(self)

    stop = close

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# --------------------------------------------------------------------------------------
# Pictures of printed pages


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


class _ScratchDir:
    """A temporary folder for this test process, removed at exit."""

    def __init__(self):
        self.path = Path(tempfile.mkdtemp(prefix="vantrel-scratch-"))
        _register(self)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)
        _unregister(self)


_scratch: _ScratchDir | None = None


def _scratch_dir() -> Path:
    global _scratch
    if _scratch is None:
        _scratch = _ScratchDir()
    return _scratch.path


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
    out_dir = Path(out_dir or tempfile.mkdtemp(prefix="raster-", dir=_scratch_dir()))
    out_dir.mkdir(parents=True, exist_ok=True)
    suffix = {"pgmraw": "pgm", "ppmraw": "ppm", "png16m": "png", "pnggray": "png"}.get(device, "out")
    pattern = out_dir / f"{ps_path.stem}-page-%03d.{suffix}"
    subprocess.run([GHOSTSCRIPT, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", f"-sDEVICE={device}",
                    f"-r{dpi}", f"-sOutputFile={pattern}", str(ps_path)],
                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                   check=True, timeout=120)
    return sorted(out_dir.glob(f"{ps_path.stem}-page-*.{suffix}"))


def make_png(width: int, height: int, pixel=None, *, color_type: int = 6,
             extra_chunks: list[tuple[bytes, bytes]] | None = None) -> bytes:
    """An 8-bit PNG; `pixel(x, y)` gives a tuple in the colour type's order (gray 0,
    RGB 2, gray+alpha 4, RGBA 6), default opaque black. `extra_chunks` go before IDAT."""
    import zlib
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[color_type]
    if pixel is None:
        def pixel(x, y):
            return {1: (0,), 2: (0, 255), 3: (0, 0, 0), 4: (0, 0, 0, 255)}[channels]
    raw = bytearray()
    for y in range(height):
        raw.append(0)  # filter: none
        for x in range(width):
            raw.extend(pixel(x, y))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8,
                                                              color_type, 0, 0, 0))
    for kind, data in extra_chunks or []:
        out += chunk(kind, data)
    return out + chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b"")


# --------------------------------------------------------------------------------------
# Test case base


class HostTestCase(unittest.TestCase):
    """Tests of the Wine-run host. The prefix is shared by the whole test process; the
    host's state folder is removed before every test."""

    prefix: WinePrefix

    @classmethod
    def setUpClass(cls):
        missing = missing_prerequisites()
        if missing:
            message = "the Windows build is missing: " + ", ".join(missing)
            if e2e_required():
                raise RuntimeError(message)
            raise unittest.SkipTest(message)
        cls.prefix = shared_prefix()

    def setUp(self):
        self.prefix.reset_state()

    def start_host(self, **kwargs) -> HostProcess:
        host = self.prefix.start_host(**kwargs)
        self.addCleanup(host.close)
        return host

    def run_host(self, data: bytes, **kwargs) -> HostResult:
        return self.prefix.run_host(data, **kwargs)


class PrintingTestCase(HostTestCase):
    """Tests of the Wine-run host that print: one private CUPS scheduler for the class, with
    the capture queues of QUEUES ((name, ppd) pairs; the first is the default) and those of
    REJECTING_QUEUES set to refuse jobs."""

    QUEUES: tuple[tuple[str, str], ...] = ()
    REJECTING_QUEUES: tuple[str, ...] = ()
    cups: CupsScheduler

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        for index, (name, ppd) in enumerate(cls.QUEUES):
            cls.cups.add_queue(name, ppd, default=index == 0)
        for name in cls.REJECTING_QUEUES:
            cls.cups.reject(name)


SKIP_EXIT_CODE = 77  # ctest's SKIP_RETURN_CODE for the e2e tests


def main():
    """Runs the tests of the calling module (verbose), as `python3 test_x.py` or from ctest.
    Without the Windows build or Wine the whole file is skipped (exit 77), or fails
    where the build is required."""
    missing = missing_prerequisites()
    if missing:
        print("the Windows build is missing: " + ", ".join(missing), flush=True)
        sys.exit(1 if e2e_required() else SKIP_EXIT_CODE)
    unittest.main(module="__main__", verbosity=2)


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="Wine test rig utilities")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("make-template", help="create the prefix template for one test run")
    p.add_argument("dir")
    p = sub.add_parser("remove-template", help="remove a prefix template")
    p.add_argument("dir")
    args = parser.parse_args()
    if args.command == "make-template":
        if WINE64 is None or WINESERVER is None:
            print("wine64 is not installed (apt-get install wine64)", flush=True)
            sys.exit(1 if e2e_required() else SKIP_EXIT_CODE)
        seconds = make_template(Path(args.dir))
        print(f"Wine prefix template created in {seconds:.1f} s: {args.dir}")
    elif args.command == "remove-template":
        shutil.rmtree(args.dir, ignore_errors=True)
        print(f"removed {args.dir}")
