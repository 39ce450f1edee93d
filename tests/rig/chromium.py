"""Headless Chromium (Debian's) with one unpacked extension in a fresh profile, driven over
the DevTools protocol on a pipe (--remote-debugging-pipe: no network port at all), with
`call` running a function of the extension's service worker and returning what it resolved
to. Everything it starts it stops (the browser and its children; hosts end when the browser
closes their pipes, and the Wine prefix's owner kills any left)."""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import select
import subprocess
import tempfile
import time
from pathlib import Path

from rig import cleanup
from rig.programs import browser_executable
from rig.registration import EXTENSION_DIR

# The browser binary itself: Debian's /usr/bin/chromium is a launcher script that adds
# flags of its own (remote extensions, GPU rasterisation, an empty --load-extension).
CHROMIUM_CANDIDATES = ("/usr/lib/chromium/chromium", "/usr/lib/chromium-browser/chromium-browser")

# Flags this machine needs: root without a sandbox, no GPU, and nothing that reaches the
# network (there is none; a lookup would only cost time). Host names resolve to nothing.
CHROMIUM_FLAGS = (
    "--headless=new",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--no-first-run",
    "--disable-quic",
    "--no-default-browser-check",
    "--disable-default-apps",
    "--disable-dev-shm-usage",
    "--disable-crash-reporter",
    "--host-resolver-rules=MAP * ~NOTFOUND",
)


def chromium_executable() -> str | None:
    return browser_executable("VANTREL_CHROMIUM", CHROMIUM_CANDIDATES, "chromium")


# ---- DevTools protocol over a pipe


class DevToolsError(RuntimeError):
    pass


class DevToolsPipe:
    """The browser's end of --remote-debugging-pipe: JSON messages ended by a NUL byte,
    commands written to the browser's fd 3, answers and events read from its fd 4."""

    def __init__(self, to_browser: int, from_browser: int):
        self._out = to_browser
        self._in = from_browser
        self._buffer = bytearray()
        self._next_id = 0
        self.events: list[dict] = []
        self.closed = False

    def command(self, method: str, params: dict | None = None, *, session_id: str | None = None,
                timeout: float = 30) -> dict:
        self._next_id += 1
        message_id = self._next_id
        message = {"id": message_id, "method": method, "params": params or {}}
        if session_id:
            message["sessionId"] = session_id
        data = json.dumps(message).encode() + b"\0"
        try:
            while data:
                written = os.write(self._out, data)
                data = data[written:]
        except BrokenPipeError as error:
            raise DevToolsError(f"the browser has gone ({method})") from error
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read(deadline, method)
            if reply.get("id") == message_id:
                if "error" in reply:
                    raise DevToolsError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def _read(self, deadline: float, what: str) -> dict:
        while True:
            end = self._buffer.find(b"\0")
            if end >= 0:
                body = bytes(self._buffer[:end])
                del self._buffer[:end + 1]
                return json.loads(body)
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no DevTools answer to {what} in time")
            ready, _, _ = select.select([self._in], [], [], remaining)
            if ready:
                chunk = os.read(self._in, 1 << 20)
                if not chunk:
                    self.closed = True
                    raise DevToolsError(f"the browser closed the DevTools pipe ({what})")
                self._buffer.extend(chunk)

    def close(self):
        for fd in (self._out, self._in):
            with contextlib.suppress(OSError):
                os.close(fd)


# ---- the browser


class ChromiumBrowser:
    """Headless Chromium with one unpacked extension, in a fresh profile."""

    def __init__(self, root: Path, extension_dir: Path = EXTENSION_DIR, *,
                 executable: str | None = None, start_timeout: float = 60,
                 extra_env: dict[str, str] | None = None):
        self.root = Path(root)
        self.user_data_dir = self.root / "profile"
        self.user_data_dir.mkdir(parents=True, exist_ok=True)
        self.extension_dir = Path(extension_dir).resolve()
        self.executable = executable or chromium_executable()
        self.log_path = self.root / "chromium.log"
        self.process: subprocess.Popen | None = None
        self.devtools: DevToolsPipe | None = None
        self._session: str | None = None
        self.start_timeout = start_timeout
        # Handed to the browser, and so to a host it starts without a wrapper.
        self.extra_env = dict(extra_env or {})

    def start(self):
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()

        def place_pipes():  # in the child: the pipe ends become fds 3 and 4, inheritable
            read_end = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
            write_end = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        home = self.root / "home"
        home.mkdir(exist_ok=True)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                            "WINEPREFIX", "CUPS_SERVER", "CHROME_WRAPPER")}
        env.update({"HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config"),
                    "XDG_CACHE_HOME": str(home / ".cache"), "LANG": "C.UTF-8"})
        env.update(self.extra_env)
        args = [self.executable, *CHROMIUM_FLAGS, f"--user-data-dir={self.user_data_dir}",
                "--remote-debugging-pipe", f"--load-extension={self.extension_dir}",
                f"--disable-extensions-except={self.extension_dir}", "about:blank"]
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                args, env=env, cwd=self.root, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                preexec_fn=place_pipes, close_fds=False, start_new_session=True)
        for fd in (to_browser_r, from_browser_w):
            os.close(fd)
        self.devtools = DevToolsPipe(to_browser_w, from_browser_r)
        self.devtools.command("Browser.getVersion", timeout=self.start_timeout)

    @property
    def version(self) -> str:
        return self.devtools.command("Browser.getVersion")["product"]

    def wait_for_extension(self, ext_id: str, timeout: float = 30) -> str:
        """Attaches to the extension's service worker; returns the DevTools session id."""
        prefix = f"chrome-extension://{ext_id}/"
        deadline = time.monotonic() + timeout
        while True:
            targets = self.devtools.command("Target.getTargets")["targetInfos"]
            workers = [t for t in targets
                       if t["type"] == "service_worker" and t["url"].startswith(prefix)]
            if workers:
                attached = self.devtools.command(
                    "Target.attachToTarget", {"targetId": workers[0]["targetId"], "flatten": True})
                self._session = attached["sessionId"]
                self._ext_id = ext_id
                self._wait_for_script(deadline)
                return self._session
            if time.monotonic() > deadline:
                raise TimeoutError(f"the extension {ext_id} did not start within {timeout} s: "
                                   f"{[t['url'] for t in targets]}; log: {self.log_tail()}")
            time.sleep(0.1)

    def _wait_for_script(self, deadline: float):
        # The worker target appears before its script has run: wait for its functions.
        while True:
            reply = self.devtools.command(
                "Runtime.evaluate", {"expression": "typeof globalThis.extensionInfo",
                                     "returnByValue": True}, session_id=self._session)
            if reply.get("result", {}).get("value") == "function":
                return
            if time.monotonic() > deadline:
                raise TimeoutError("the extension's service worker did not finish loading")
            time.sleep(0.05)

    def call(self, function: str, *args, timeout: float = 90):
        """Runs `function(...args)` in the extension's service worker and returns the value
        its promise resolved to."""
        expression = f"{function}(...{json.dumps(list(args))})"
        for attempt in (1, 2):
            try:
                reply = self.devtools.command(
                    "Runtime.evaluate",
                    {"expression": expression, "awaitPromise": True, "returnByValue": True},
                    session_id=self._session, timeout=timeout)
                break
            except DevToolsError as error:
                # A stopped service worker drops its session: attach to the new one once.
                if attempt == 2 or "session" not in str(error).lower():
                    raise
                self.wait_for_extension(self._ext_id)
        if "exceptionDetails" in reply:
            raise DevToolsError(f"{function} threw: {reply['exceptionDetails']}")
        return reply["result"].get("value")

    def log_tail(self, limit: int = 3000) -> str:
        if not self.log_path.exists():
            return ""
        lines = [line for line in self.log_path.read_text(errors="replace").splitlines()
                 if "dbus" not in line.lower()]
        return "\n".join(lines)[-limit:]

    def close(self, timeout: float = 15):
        if self.process is None:
            return
        process, self.process = self.process, None
        if self.devtools is not None and process.poll() is None:
            with contextlib.suppress(Exception):
                self.devtools.command("Browser.close", timeout=5)
        cleanup.end_process_group(process, timeout)
        if self.devtools is not None:
            self.devtools.close()


def make_root() -> Path:
    return Path(tempfile.mkdtemp(prefix="vantrel-browser-"))
