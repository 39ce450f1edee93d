"""Where the programs the rig runs are: Wine, CUPS, Ghostscript and the Windows build."""

from __future__ import annotations

import os
import re
import shutil
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
# The version the hosts answer, set once in CMakeLists.txt.
HOST_VERSION = re.search(r"project\(\w+ VERSION ([0-9.]+)",
                         (REPO_ROOT / "CMakeLists.txt").read_text()).group(1)
HELLO_CAPABILITIES = ["list_printers", "submit_png", "get_job", "durable_idempotency", "media",
                      "get_printer", "submit_batch", "submit_raw", "submit_batch_raw"]


def browser_executable(variable: str, candidates, name: str) -> str | None:
    """The browser the environment variable names, else the first candidate that runs, else the
    one on the PATH."""
    explicit = os.environ.get(variable)
    if explicit:
        return explicit if os.access(explicit, os.X_OK) else None
    for candidate in candidates:
        if os.access(candidate, os.X_OK):
            return candidate
    return shutil.which(name)


def find_program(names, folders):
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


_WINE_FOLDERS = ["/usr/lib/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/bin"]
WINE64 = os.environ.get("VANTREL_WINE64") or find_program(["wine64", "wine"], _WINE_FOLDERS)
WINESERVER = os.environ.get("VANTREL_WINESERVER") or find_program(
    ["wineserver", "wineserver64"], _WINE_FOLDERS)
CUPSD = find_program(["cupsd"], ["/usr/sbin"])
LPADMIN = find_program(["lpadmin"], ["/usr/sbin"])
GHOSTSCRIPT = find_program(["gs"], ["/usr/bin"])


def host_executable() -> Path:
    return Path(os.environ.get("VANTREL_HOST_EXE")
                or REPO_ROOT / "build" / "windows" / "vantrel-print-host.exe")


def helper_executable() -> Path:
    explicit = os.environ.get("VANTREL_WINE_HELPER")
    if explicit:
        return Path(explicit)
    return host_executable().parent / "vantrel-wine-helper.exe"


def missing_prerequisites() -> list[str]:
    """What running the Windows build under Wine needs and this machine lacks."""
    missing = []
    if WINE64 is None:
        missing.append("wine64 (apt-get install wine64)")
    if WINESERVER is None:
        missing.append("wineserver")
    for path in (host_executable(), helper_executable()):
        if not path.is_file():
            missing.append(f"{path} (run: bash scripts/build)")
    return missing
