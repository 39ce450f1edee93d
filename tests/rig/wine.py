"""Private Wine prefixes: one per test process (created with `wineboot -i`, or copied from a
template made once per test run), with a long-lived helper process that holds Wine's
background services, and the host's state folder inside."""

from __future__ import annotations

import contextlib
import json
import os
import pwd
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from rig import cleanup
from rig.host import DEFAULT_TIMEOUT_S, WINE_START_FAILURE, HostProcess, HostResult
from rig.programs import WINE64, WINESERVER, helper_executable

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


class WinePrefix(cleanup.Closing):
    """A private Wine prefix for one test process, with its services kept alive."""

    def __init__(self, template: Path | None = None):
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-wine-"))
        self.path = self.root / "prefix"
        self.created_in_s = 0.0
        self._keeper: subprocess.Popen | None = None
        self._closed = False
        cleanup.register(self)
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
        """Runs a Wine program (a builtin such as "reg", or a path) to completion. One that
        Wine failed to set up, before any of its code ran, is run again (see HostProcess)."""
        for _ in range(3):
            completed = subprocess.run([WINE64, *args], env=self.env(extra_env), cwd=self.root,
                                       input=input if input is not None else b"",
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       timeout=timeout)
            if completed.returncode == 0 or WINE_START_FAILURE.encode() not in completed.stderr:
                break
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

    def sync_printers(self, cups) -> tuple[list[str], str]:
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

    def set_printer_status(self, queue: str, status: int, cups=None):
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

    def start_host(self, *, extra_env: dict[str, str] | None = None, cups=None,
                   executable: Path | None = None) -> HostProcess:
        env = dict(cups.env) if cups else {}
        env.update(extra_env or {})
        return HostProcess(self, env, executable)

    def run_host(self, data: bytes, *, timeout: float = DEFAULT_TIMEOUT_S,
                 extra_env=None, cups=None) -> HostResult:
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
                cleanup.kill_process(self._keeper)
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
            cleanup.unregister(self)


def template_prefix() -> WinePrefix:
    """A new prefix, copied from the run's template (VANTREL_E2E_TEMPLATE) when there is one."""
    template = os.environ.get("VANTREL_E2E_TEMPLATE")
    return WinePrefix(Path(template) if template else None)


_shared_prefix: WinePrefix | None = None


def shared_prefix() -> WinePrefix:
    """The prefix of this test process: made on first use, closed at exit."""
    global _shared_prefix
    if _shared_prefix is None or _shared_prefix._closed:
        _shared_prefix = template_prefix()
    return _shared_prefix
