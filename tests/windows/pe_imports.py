#!/usr/bin/env python3
"""The Windows executable imports nothing but DLLs that ship with Windows, read from its
import table (x86_64-w64-mingw32-objdump -p): a DLL of libpng, zlib, the C++ runtime or
winpthread among them would stop the program from starting on a user's machine.

    python3 tests/e2e/pe_imports.py build/windows/vantrel-print-host.exe
"""

import re
import shutil
import subprocess
import sys
from pathlib import Path


from rig.testing import SKIP_EXIT_CODE, e2e_required

# What the host calls (README, the table of DLLs); msvcrt is MinGW-w64's C runtime, part of
# Windows since Windows XP; advapi32 reads the registry for --doctor.
SYSTEM_DLLS = {"kernel32.dll", "gdi32.dll", "winspool.drv", "shell32.dll", "ole32.dll",
               "bcrypt.dll", "advapi32.dll", "msvcrt.dll"}


def imported_dlls(executable: Path, objdump: str) -> list[str]:
    listing = subprocess.run([objdump, "-p", str(executable)], check=True, capture_output=True,
                             text=True, stdin=subprocess.DEVNULL).stdout
    return re.findall(r"^\s*DLL Name: (\S+)$", listing, re.M)


def main() -> int:
    executable = Path(sys.argv[1])
    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    missing = [what for what, there in ((str(executable), executable.is_file()),
                                        ("x86_64-w64-mingw32-objdump", objdump)) if not there]
    if missing:
        print("missing: " + ", ".join(missing) + " (run: bash scripts/build)")
        return 1 if e2e_required() else SKIP_EXIT_CODE
    dlls = imported_dlls(executable, objdump)
    print(f"{executable.name} imports: {', '.join(dlls)}")
    foreign = sorted(dll for dll in dlls if dll.lower() not in SYSTEM_DLLS)
    if not dlls or foreign:
        print("not a Windows system DLL: " + (", ".join(foreign) or "(no import table read)"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
