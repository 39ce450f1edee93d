"""The host as a browser finds it: the stable id of the test extension, the host manifest
rendered from install/manifest.template.json by the same substitutions as the packaging step
cmake/manifests.cmake (Chromium form with "allowed_origins", Firefox form with
"allowed_extensions"), and its registration in one Chromium profile: the manifest and the
wrapper script it names, which starts the host under wine with the test's Wine prefix and
CUPS scheduler and logs every start with its arguments and the host's standard error."""

from __future__ import annotations

import base64
import hashlib
import json
import re
import shlex
from pathlib import Path, PureWindowsPath

from rig.programs import REPO_ROOT

EXTENSION_DIR = REPO_ROOT / "tests" / "browser" / "extension"
MANIFEST_TEMPLATE = REPO_ROOT / "install" / "manifest.template.json"
HOST_NAME = "com.vantrel.print"


def extension_id(extension_dir: Path = EXTENSION_DIR) -> str:
    """The id Chromium gives an extension with a "key": the first 128 bits of the SHA-256
    of the public key (DER), one letter a-p per hexadecimal digit."""
    manifest = json.loads((Path(extension_dir) / "manifest.json").read_text())
    digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
    return "".join(chr(ord("a") + int(digit, 16)) for digit in digest)


# The test extension as the packages built by default allow it (their names say so): its
# Chromium origin, and the Firefox id the tests give it.
TEST_ORIGIN = f"chrome-extension://{extension_id()}/"
TEST_FIREFOX_ID = "print-host-test@vantrel.example"

CHROMIUM_ORIGIN = re.compile(r"^chrome-extension://[a-p]{32}/$")
FIREFOX_EXTENSION_ID = re.compile(
    r"^(\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}"
    r"|[A-Za-z0-9._-]*@[A-Za-z0-9._-]+)$")


def _json_text(value: str) -> str:
    return json.dumps(value, ensure_ascii=False)


def render_host_manifest(template: str, host_path: str, allowed: list[str], *,
                         firefox: bool = False) -> str:
    """Fills the manifest template. Each placeholder is a JSON string token that must occur
    exactly once: "@HOST_PATH@" becomes the host path as a JSON string, "@ALLOWED_KEY@" the
    member name ("allowed_origins", or "allowed_extensions" for Firefox) and
    ["@ALLOWED_LIST@"] the list of origins or extension ids. cmake/manifests.cmake does
    the same for the packages."""
    if not allowed:
        raise ValueError("at least one allowed extension is needed")
    pattern = FIREFOX_EXTENSION_ID if firefox else CHROMIUM_ORIGIN
    for entry in allowed:
        if not pattern.match(entry):
            raise ValueError(f"not a valid {'Firefox extension id' if firefox else 'extension origin'}: {entry!r}")
    replacements = {
        '"@HOST_PATH@"': _json_text(host_path),
        '"@ALLOWED_KEY@"': _json_text("allowed_extensions" if firefox else "allowed_origins"),
        '["@ALLOWED_LIST@"]': "[" + ", ".join(_json_text(entry) for entry in allowed) + "]",
    }
    text = template
    for token, value in replacements.items():
        if text.count(token) != 1:
            raise ValueError(f"the template must hold {token} exactly once")
        text = text.replace(token, value)
    json.loads(text)  # the result must be JSON
    return text


_WRAPPER = """#!/bin/sh
# Native-messaging host com.vantrel.print for this test profile: the Windows host under
# wine, with the test's Wine prefix and CUPS scheduler. Each start is logged with the
# arguments the browser passed, and the host's standard error is kept per process.
{{ printf 'start %s' "$$"; for arg in "$@"; do printf ' %s' "$arg"; done; printf '\\n'; }} >> {starts}
{exports}
exec {wine64} {host} "$@" 2>> {log_dir}/host-$$.stderr
"""


class HostRegistration:
    """The host registered in one Chromium user-data-dir: the manifest rendered from the
    install template, pointing at a wrapper that runs the host under wine (or, with wine64
    "", the Linux host itself). `host_exe` is a
    Unix path, or the Windows path of a program installed in the prefix (PureWindowsPath),
    which wine then starts by that path as a browser on Windows would."""

    def __init__(self, user_data_dir: Path, origin: str, *, wine64: str,
                 host_exe: Path | PureWindowsPath, env: dict[str, str]):
        self.user_data_dir = Path(user_data_dir)
        self.log_dir = self.user_data_dir.parent / "host-logs"
        self.log_dir.mkdir(parents=True, exist_ok=True)
        self.starts_log = self.log_dir / "starts.log"
        self.starts_log.touch()
        self.wrapper = self.user_data_dir.parent / "vantrel-print-host-wrapper.sh"
        exports = "\n".join(f"export {name}={shlex.quote(value)}" for name, value in sorted(env.items()))
        self.wrapper.write_text(_WRAPPER.format(
            starts=shlex.quote(str(self.starts_log)), exports=exports,
            wine64=shlex.quote(wine64) if wine64 else "",
            host=shlex.quote(str(host_exe if isinstance(host_exe, PureWindowsPath)
                                 else Path(host_exe).resolve())),
            log_dir=shlex.quote(str(self.log_dir))))
        self.wrapper.chmod(0o755)
        manifests = self.user_data_dir / "NativeMessagingHosts"
        manifests.mkdir(parents=True, exist_ok=True)
        self.manifest_path = manifests / f"{HOST_NAME}.json"
        self.manifest_text = render_host_manifest(MANIFEST_TEMPLATE.read_text(), str(self.wrapper),
                                                  [origin])
        self.manifest_path.write_text(self.manifest_text)

    def starts(self) -> list[tuple[int, list[str]]]:
        """Every host start so far: (process id, arguments from the browser)."""
        found = []
        for line in self.starts_log.read_text().splitlines():
            words = line.split(" ")
            if words[0] == "start":
                found.append((int(words[1]), words[2:]))
        return found

    def stderr_of(self, pid: int) -> str:
        path = self.log_dir / f"host-{pid}.stderr"
        return path.read_text(errors="replace") if path.exists() else ""
