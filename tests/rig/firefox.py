"""Headless Firefox (Debian's firefox-esr) in a private HOME and profile, driven over WebDriver
BiDi: an unsigned extension installed temporarily, one of its pages opened in a tab, and
`call` running a function of that page and returning what it resolved to. The host is
registered where Firefox looks for a user's hosts, $HOME/.mozilla/native-messaging-hosts,
through a wrapper that logs each start's process id. Everything it starts it stops."""

from __future__ import annotations

import base64
import contextlib
import json
import os
import shlex
import socket
import struct
import subprocess
import time
import uuid
from pathlib import Path

from rig import cleanup
from rig.programs import browser_executable
from rig.registration import HOST_NAME, MANIFEST_TEMPLATE, render_host_manifest

FIREFOX_CANDIDATES = ("/usr/lib/firefox-esr/firefox-esr",)


def firefox_executable() -> str | None:
    return browser_executable("VANTREL_FIREFOX", FIREFOX_CANDIDATES, "firefox-esr")


class BidiError(RuntimeError):
    pass


class WebSocket:
    """The client end of one WebSocket (RFC 6455) carrying JSON text messages."""

    def __init__(self, port: int, path: str, timeout: float = 30):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall(
            f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self._receive()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise BidiError(f"no WebSocket upgrade: {head[:200]!r}")

    def _receive(self) -> bytes:
        chunk = self.socket.recv(1 << 20)
        if not chunk:
            raise BidiError("the browser closed the WebSocket")
        return chunk

    def _take(self, count: int) -> bytes:
        while len(self.buffer) < count:
            self.buffer += self._receive()
        taken, self.buffer = self.buffer[:count], self.buffer[count:]
        return taken

    def send(self, value):
        data = json.dumps(value).encode()
        length = len(data)
        header = bytes([0x81])  # one text frame; a client masks what it sends
        if length < 126:
            header += bytes([0x80 | length])
        elif length < 1 << 16:
            header += bytes([0x80 | 126]) + struct.pack(">H", length)
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", length)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i & 3] for i, b in enumerate(data))
        self.socket.sendall(header + mask + masked)

    def receive(self, timeout: float):
        self.socket.settimeout(timeout)
        message = b""
        while True:
            first, second = self._take(2)
            length = second & 0x7F
            if length == 126:
                (length,) = struct.unpack(">H", self._take(2))
            elif length == 127:
                (length,) = struct.unpack(">Q", self._take(8))
            payload = self._take(length)
            opcode = first & 0x0F
            if opcode == 8:
                raise BidiError("the browser closed the WebSocket")
            if opcode in (9, 10):  # ping, pong
                continue
            message += payload
            if first & 0x80:
                return json.loads(message)

    def close(self):
        with contextlib.suppress(OSError):
            self.socket.close()


class FirefoxBrowser:
    """Headless Firefox in a fresh profile under `root`, HOME at root/home, with the
    extension in `extension_dir` (its browser_specific_settings.gecko.id is `extension_id`)
    installed temporarily and its `page` open in the first tab."""

    def __init__(self, root: Path, extension_dir: Path, extension_id: str, *,
                 page: str = "page.html", extra_env: dict[str, str] | None = None):
        self.root = Path(root)
        self.home = self.root / "home"
        self.profile = self.root / "firefox-profile"
        self.extension_dir = Path(extension_dir).resolve()
        self.extension_id = extension_id
        self.page = page
        self.extra_env = dict(extra_env or {})
        self.log_path = self.root / "firefox.log"
        # The extension's origin is random per profile unless the profile fixes it.
        self.internal_uuid = str(uuid.uuid4())
        self.process: subprocess.Popen | None = None
        self.bidi: WebSocket | None = None
        self.context: str | None = None
        self._next_id = 0

    @property
    def page_url(self) -> str:
        return f"moz-extension://{self.internal_uuid}/{self.page}"

    def start(self, timeout: float = 60):
        self.home.mkdir(parents=True, exist_ok=True)
        self.profile.mkdir(parents=True, exist_ok=True)
        uuids = json.dumps({self.extension_id: self.internal_uuid})
        (self.profile / "user.js").write_text(
            f"user_pref(\"extensions.webextensions.uuids\", {json.dumps(uuids)});\n")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                            "WINEPREFIX", "CUPS_SERVER", "XDG_CONFIG_HOME")}
        env.update({"HOME": str(self.home), "LANG": "C.UTF-8", "MOZ_HEADLESS": "1"})
        env.update(self.extra_env)
        with open(self.log_path, "wb") as log:
            # Port 0: Firefox picks a free one and writes it into the profile. System access
            # lets the session navigate a tab to the extension's own page.
            self.process = subprocess.Popen(
                [firefox_executable(), "--headless", "--no-remote", "--profile", str(self.profile),
                 "--remote-debugging-port", "0", "--remote-allow-system-access"],
                env=env, cwd=self.root, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                start_new_session=True)
        self.bidi = WebSocket(self._bidi_port(time.monotonic() + timeout), "/session")
        capabilities = self.command("session.new", {"capabilities": {}}, timeout=timeout)["capabilities"]
        self.version = f"{capabilities['browserName']} {capabilities['browserVersion']}"
        self.command("webExtension.install",
                     {"extensionData": {"type": "path", "path": str(self.extension_dir)}})
        self.context = self.command("browsingContext.getTree")["contexts"][0]["context"]
        self.command("browsingContext.navigate",
                     {"context": self.context, "url": self.page_url, "wait": "complete"})

    def _bidi_port(self, deadline: float) -> int:
        server_file = self.profile / "WebDriverBiDiServer.json"
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise BidiError(f"firefox exited with {self.process.returncode}: {self.log_tail()}")
            with contextlib.suppress(OSError, ValueError, KeyError):
                return int(json.loads(server_file.read_text())["ws_port"])
            time.sleep(0.1)
        raise TimeoutError(f"firefox did not start WebDriver BiDi: {self.log_tail()}")

    def command(self, method: str, params: dict | None = None, *, timeout: float = 60) -> dict:
        self._next_id += 1
        self.bidi.send({"id": self._next_id, "method": method, "params": params or {}})
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no WebDriver BiDi answer to {method} in time")
            try:
                message = self.bidi.receive(remaining)
            except socket.timeout as error:
                raise TimeoutError(f"no WebDriver BiDi answer to {method} in time") from error
            if message.get("id") != self._next_id:
                continue  # an event
            if message.get("type") == "error":
                raise BidiError(f"{method}: {message.get('error')}: {message.get('message')}")
            return message["result"]

    def call(self, function: str, *args, timeout: float = 120):
        """Runs `function(...args)` in the extension's page and returns the value its promise
        resolved to (carried as JSON text, so any JSON value comes back as it was)."""
        expression = f"(async () => JSON.stringify((await {function}(...{json.dumps(list(args))})) ?? null))()"
        deadline = time.monotonic() + 30
        while True:
            reply = self.command("script.evaluate", {
                "expression": expression, "target": {"context": self.context},
                "awaitPromise": True, "resultOwnership": "none"}, timeout=timeout)
            if reply["type"] == "success":
                return json.loads(reply["result"]["value"])
            # The page's module may still be loading after navigation.
            text = json.dumps(reply.get("exceptionDetails", reply))
            if "is not defined" not in text or time.monotonic() > deadline:
                raise BidiError(f"{function} threw: {text}")
            time.sleep(0.1)

    def log_tail(self, limit: int = 3000) -> str:
        return self.log_path.read_text(errors="replace")[-limit:] if self.log_path.exists() else ""

    def close(self, timeout: float = 15):
        if self.process is None:
            return
        process, self.process = self.process, None
        if self.bidi is not None:
            with contextlib.suppress(Exception):
                self.command("browser.close", timeout=5)
            self.bidi.close()
        cleanup.end_process_group(process, timeout)


_WRAPPER = """#!/bin/sh
# Native-messaging host {name} for this test's Firefox: each start's process id is logged,
# then the host runs in its place.
echo $$ >> {starts}
exec {host} "$@"
"""


class FirefoxRegistration:
    """A host registered for one user's Firefox: $HOME/.mozilla/native-messaging-hosts/
    <name>.json in the Firefox form (allowed_extensions), rendered from the install template,
    naming a wrapper that logs each start and runs `host`."""

    def __init__(self, home: Path, host: Path, allowed: list[str], name: str = HOST_NAME):
        folder = Path(home) / ".mozilla" / "native-messaging-hosts"
        folder.mkdir(parents=True, exist_ok=True)
        self.starts_log = folder.parent / f"{name}.starts"
        self.starts_log.touch()
        wrapper = folder.parent / f"{name}.sh"
        wrapper.write_text(_WRAPPER.format(name=name, starts=shlex.quote(str(self.starts_log)),
                                           host=shlex.quote(str(Path(host).resolve()))))
        wrapper.chmod(0o755)
        self.manifest_path = folder / f"{name}.json"
        self.manifest_path.write_text(render_host_manifest(
            MANIFEST_TEMPLATE.read_text(), str(wrapper), allowed, firefox=True).replace(
            f'"{HOST_NAME}"', json.dumps(name)))

    def starts(self) -> list[int]:
        """The process ids of every host started so far."""
        return [int(line) for line in self.starts_log.read_text().split()]
