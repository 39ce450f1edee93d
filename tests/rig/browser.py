"""The browser rigs: a Wine prefix's host registered for a headless Chromium profile with a
test extension, a private CUPS scheduler with one capture queue, and calls into the
extension; the client rig loads the packed client library into its own test extension."""

from __future__ import annotations

import json
import shutil
import tarfile
import tempfile
import time
from pathlib import Path, PureWindowsPath

from rig import chromium, programs
from rig.cups import CupsScheduler
from rig.labels import framed_label
from rig.protocol import envelope, submit_payload
from rig.registration import EXTENSION_DIR, HostRegistration, extension_id

QUEUE = "Label_4x6_203dpi"
CLIENT_EXTENSION = programs.REPO_ROOT / "tests" / "browser" / "client_extension"
PACKAGE_DIR = programs.REPO_ROOT / "build" / "dist"
# pdf.js as the client's npm install has it (scripts/build-client).
PDFJS_DIR = programs.REPO_ROOT / "client" / "node_modules" / "pdfjs-dist"

# Variables the wrapper hands to wine; the browser's own environment is not the test's.
WRAPPER_ENV_NAMES = ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINESERVER", "CUPS_SERVER",
                     "HOME", "USER", "LANG", "PATH")


def request(kind: str, request_id: str, payload=None, **extra) -> dict:
    """A request envelope as the extension posts it."""
    return json.loads(envelope(kind, request_id, payload, **extra))


def padded_hello(request_id: str, body_len: int) -> dict:
    """A hello whose serialised body is exactly `body_len` bytes (the browser writes JSON
    compactly); the padding member is ignored by the host and built by the extension."""
    base = {"protocol": 1, "request_id": request_id, "type": "hello", "padding": ""}
    overhead = len(json.dumps(base, separators=(",", ":")))
    return dict(base, padding={"$repeat": ["x", body_len - overhead]})


def label_payload(intent_id: str, title: str) -> dict:
    """A submit payload for the rig's queue: a 2 x 3 inch label at 203 dpi, a black frame
    on white."""
    return submit_payload(intent_id, QUEUE, framed_label(406, 609, 12), 406, 609, title=title)


def chromium_missing() -> str | None:
    if chromium.chromium_executable() is None:
        return "Chromium is missing (apt-get install chromium)"
    return None


def missing_prerequisites() -> list[str]:
    missing = programs.missing_prerequisites()
    if chromium_missing():
        missing.append(chromium_missing())
    return missing


class BrowserRig:
    """Wine prefix, CUPS scheduler with a capture queue, Chromium with the test extension
    and the host registered for its profile."""

    def __init__(self, prefix, extension_dir: Path = EXTENSION_DIR,
                 host_exe: Path | PureWindowsPath | None = None):
        self.prefix = prefix
        self.root = chromium.make_root()
        self.cups = None
        self.browser = None
        try:
            self.cups = CupsScheduler()
            self.cups.add_queue(QUEUE, "label-4x6-203", default=True)
            self.extension_id = extension_id(extension_dir)
            self.origin = f"chrome-extension://{self.extension_id}/"
            wine_env = prefix.env(self.cups.env)
            self.registration = HostRegistration(
                self.root / "profile", self.origin, wine64=programs.WINE64,
                host_exe=host_exe or programs.host_executable(),
                env={name: wine_env[name] for name in WRAPPER_ENV_NAMES if name in wine_env})
            started = time.monotonic()
            self.browser = chromium.ChromiumBrowser(self.root, extension_dir)
            self.browser.start()
            self.browser.wait_for_extension(self.extension_id)
            self.browser_ready_s = time.monotonic() - started
        except BaseException:
            self.close()
            raise

    def port_session(self, messages: list, **options) -> dict:
        return self.browser.call("portSession", messages, options)

    def open_port(self) -> int:
        return self.browser.call("openPort")

    def post_on_port(self, port: int, messages: list):
        error = self.browser.call("postOnPort", port, messages)
        if error is not None:
            raise RuntimeError(f"postMessage threw: {error}")

    def wait_on_port(self, port: int, count: int, timeout_s: float = 60) -> dict:
        return self.browser.call("waitOnPort", port, count, {"timeoutMs": int(timeout_s * 1000)},
                                 timeout=timeout_s + 30)

    def close_port(self, port: int) -> dict:
        return self.browser.call("closePort", port)

    def one_shot(self, message, **options) -> dict:
        return self.browser.call("oneShot", message, options)

    def close(self):
        if self.browser is not None:
            self.browser.close()
        if self.cups is not None:
            self.cups.close()
        shutil.rmtree(self.root, ignore_errors=True)


# ---- the client library in its own test extension


def packed_client() -> Path | None:
    found = sorted(PACKAGE_DIR.glob("vantrel-print-client-*.tgz"))
    return found[-1] if found else None


def copy_pdfjs(target: Path):
    """pdf.js's module, worker, standard fonts and image decoders into an extension's pdfjs/,
    where printPdf looks for them by default."""
    (target / "pdfjs").mkdir(parents=True, exist_ok=True)
    for name in ("pdf.min.mjs", "pdf.worker.min.mjs"):
        shutil.copy(PDFJS_DIR / "build" / name, target / "pdfjs" / name)
    for folder in ("standard_fonts", "wasm"):
        shutil.copytree(PDFJS_DIR / folder, target / "pdfjs" / folder, dirs_exist_ok=True)


def assemble_client_extension(target: Path) -> Path:
    """The client test extension with the packed client unpacked into print-client/ and
    pdf.js in pdfjs/."""
    shutil.copytree(CLIENT_EXTENSION, target)
    copy_pdfjs(target)
    with tarfile.open(packed_client()) as archive:
        for member in archive.getmembers():
            if not member.isfile() or not member.name.startswith("package/"):
                continue
            destination = target / "print-client" / member.name[len("package/"):]
            destination.parent.mkdir(parents=True, exist_ok=True)
            destination.write_bytes(archive.extractfile(member).read())
    return target


def package_missing() -> list[str]:
    """The packed client and pdf.js, when either is missing."""
    if packed_client() is None or not PDFJS_DIR.is_dir():
        return ["build/dist/vantrel-print-client-*.tgz and pdfjs-dist (run: bash scripts/build-client)"]
    return []


def client_missing() -> list[str]:
    return missing_prerequisites() + package_missing()


class ClientRig(BrowserRig):
    """The browser rig with the client-test extension."""

    def __init__(self, prefix):
        self.extension_root = Path(tempfile.mkdtemp(prefix="vantrel-client-ext-"))
        try:
            super().__init__(prefix, assemble_client_extension(self.extension_root / "extension"))
        except BaseException:
            shutil.rmtree(self.extension_root, ignore_errors=True)
            raise

    def call(self, client: str, method: str, *args, timeout: float = 120) -> dict:
        return self.browser.call("clientCall", client, method, list(args), timeout=timeout)

    def start(self, client: str, method: str, *args) -> int:
        return self.browser.call("startCall", client, method, list(args))

    def finish(self, ticket: int, timeout: float = 120) -> dict:
        return self.browser.call("finishCall", ticket, timeout=timeout)

    def configure(self, client: str, **options):
        self.browser.call("configureClient", client, options)

    def close(self):
        super().close()
        shutil.rmtree(self.extension_root, ignore_errors=True)
