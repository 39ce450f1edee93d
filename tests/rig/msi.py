"""The MSI packages under Wine: building them as the `msi` target does, installing and
removing them with msiexec in a prefix, reading the registration as a browser would, and a
test case base whose tests each get a fresh prefix and start the installed program by its
Windows path.

Environment (besides the rig's):
  VANTREL_DIST_DIR   the packages (default: build/dist, where the `msi` target puts them)
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path, PureWindowsPath

from rig import programs
from rig.cups import CupsScheduler
from rig.host import HostProcess
from rig.programs import REPO_ROOT, host_executable
from rig.registration import TEST_FIREFOX_ID, TEST_ORIGIN
from rig.testing import skip_or_fail
from rig.wine import WinePrefix, WineResult, template_prefix, windows_path

DIST_DIR = Path(os.environ.get("VANTREL_DIST_DIR") or REPO_ROOT / "build" / "dist")
# The packages built by default allow the test extension, which their names say.
PER_USER_MSI = DIST_DIR / "vantrel-print-host-test-extension-per-user.msi"
PER_MACHINE_MSI = DIST_DIR / "vantrel-print-host-test-extension-per-machine.msi"
PACKAGE_SCRIPT = REPO_ROOT / "cmake" / "msi_package.cmake"

HOST_NAME = "com.vantrel.print"

CHROMIUM_MANIFEST = "com.vantrel.print.json"
FIREFOX_MANIFEST = "com.vantrel.print.firefox.json"
# Browser -> (key under the scope's root, the manifest the key names).
BROWSER_KEYS = {
    "Chrome": (rf"Software\Google\Chrome\NativeMessagingHosts\{HOST_NAME}", CHROMIUM_MANIFEST),
    "Edge": (rf"Software\Microsoft\Edge\NativeMessagingHosts\{HOST_NAME}", CHROMIUM_MANIFEST),
    "Chromium": (rf"Software\Chromium\NativeMessagingHosts\{HOST_NAME}", CHROMIUM_MANIFEST),
    "Firefox": (rf"Software\Mozilla\NativeMessagingHosts\{HOST_NAME}", FIREFOX_MANIFEST),
}
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT_NAME = "Vantrel Print Host"

CMAKE = shutil.which("cmake")
WIXL = shutil.which("wixl")


def per_user_folder(prefix: WinePrefix) -> PureWindowsPath:
    return PureWindowsPath(rf"C:\users\{prefix.user_name}\AppData\Local\Programs\Vantrel Print Host")


PER_MACHINE_FOLDER = PureWindowsPath(r"C:\Program Files\Vantrel Print Host")


def unix_path(prefix: WinePrefix, path: PureWindowsPath | str) -> Path:
    """A C: path of the prefix as a Unix path."""
    path = PureWindowsPath(path)
    if path.drive.upper() != "C:":
        raise ValueError(f"not on drive C: {path}")
    return prefix.drive_c.joinpath(*path.parts[1:])


def msiexec(prefix: WinePrefix, action: str, msi: Path) -> WineResult:
    """msiexec /i or /x of a package, silent. Under Wine the exit status is cut to 8 bits
    (1603 arrives as 67)."""
    return prefix.run(["msiexec", action, windows_path(msi), "/qn"], timeout=180)


def reg_default(prefix: WinePrefix, key: str) -> str | None:
    """The default value of a key (REG_SZ), or None when the key is missing."""
    result = prefix.run(["reg", "query", key, "/ve"])
    if result.returncode != 0:
        return None
    for line in result.text.splitlines():
        fields = line.strip().split(None, 2)
        if len(fields) == 3 and fields[0] == "(Default)" and fields[1] == "REG_SZ":
            return fields[2]
    raise AssertionError(f"no REG_SZ default value in {result.text!r}")


def installed_products(prefix: WinePrefix) -> list[str]:
    """The versions of Vantrel Print Host among installed programs (both roots)."""
    versions = []
    for root in ("HKLM", "HKCU"):
        result = prefix.run(["reg", "query", rf"{root}\{UNINSTALL_KEY}", "/s"])
        name = version = None
        for line in result.text.splitlines() + [""]:
            if line.startswith("HKEY_") or not line.strip():  # a key's values end
                if name == PRODUCT_NAME:
                    versions.append(version)
                name = version = None
                continue
            fields = line.strip().split(None, 2)
            if len(fields) == 3 and fields[0] == "DisplayName":
                name = fields[2]
            elif len(fields) == 3 and fields[0] == "DisplayVersion":
                version = fields[2]
    return versions


def read_manifest(prefix: WinePrefix, manifest_path: str) -> tuple[dict, PureWindowsPath]:
    """The manifest a key names, parsed, and the program it names resolved as Chrome, Edge and
    Firefox do on Windows (a relative path is relative to the manifest's folder)."""
    manifest = json.loads(unix_path(prefix, manifest_path).read_text(encoding="utf-8"))
    program = PureWindowsPath(manifest["path"])
    if not program.is_absolute():
        program = PureWindowsPath(manifest_path).parent / program
    return manifest, program


def build_package(version: str, out_dir: Path, scope: str = "perUser",
                  host_exe: Path | None = None, **parameters: str) -> subprocess.CompletedProcess:
    """Runs the packaging step the `msi` target runs, for another version or parameters
    (by default the test extension's); the package lands in out_dir."""
    values = {"VANTREL_ALLOWED_ORIGINS": TEST_ORIGIN, "VANTREL_FIREFOX_EXTENSION_IDS": TEST_FIREFOX_ID,
              "VERSION": version, "HOST_EXE": str(host_exe or host_executable()),
              "WORK_DIR": str(out_dir / "work"), "OUTPUT_DIR": str(out_dir), "WIXL": WIXL or "",
              "SCOPES": scope}
    values.update(parameters)
    return subprocess.run([CMAKE, *(f"-D{name}={value}" for name, value in values.items()),
                           "-P", str(PACKAGE_SCRIPT)],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)


def missing_prerequisites() -> list[str]:
    missing = programs.missing_prerequisites()
    for package in (PER_USER_MSI, PER_MACHINE_MSI):
        if not package.is_file():
            missing.append(f"{package} (run: bash scripts/build)")
    if CMAKE is None or WIXL is None:
        missing.append("cmake and wixl (apt-get install cmake wixl)")
    return missing


class InstallTestCase(unittest.TestCase):
    """Each test in a fresh prefix (a copy of the run's template), with one private CUPS
    scheduler and a capture queue for the class."""

    QUEUE = "Label_4x6"
    cups: CupsScheduler
    prefix: WinePrefix

    @classmethod
    def setUpClass(cls):
        skip_or_fail(missing_prerequisites())
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        cls.cups.add_queue(cls.QUEUE, "label-4x6-203", default=True)

    def setUp(self):
        self.prefix = template_prefix()
        self.addCleanup(self.prefix.close)
        self.scratch = Path(tempfile.mkdtemp(prefix="vantrel-install-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def install(self, msi: Path):
        result = msiexec(self.prefix, "/i", msi)
        self.assertEqual(result.returncode, 0, f"msiexec /i {msi.name}: {result.stderr!r}")

    def start_installed_host(self, program: PureWindowsPath) -> HostProcess:
        """The installed program started by its Windows path, as a browser starts it."""
        host = HostProcess(self.prefix, dict(self.cups.env), executable=Path(str(program)))
        self.addCleanup(host.close)
        return host
