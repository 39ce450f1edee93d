"""The Linux host for the demos and the browser tests that use it: where its program is, a
capture queue of a private CUPS scheduler that keeps the PDF exactly as the host sent it,
and the host process spoken to in frames, with its state in a private XDG_STATE_HOME."""

from __future__ import annotations

import os
from pathlib import Path

from rig.cups import LABEL_4X6_203, LABEL_4X6_300, CupsScheduler
from rig.host import HostProcess
from rig.programs import REPO_ROOT

STATE_FOLDER = "com.vantrel.print"


def linux_host_executable() -> Path:
    return Path(os.environ.get("VANTREL_LINUX_HOST")
                or REPO_ROOT / "build" / "linux" / "vantrel-print-host")


def add_pdf_queue(cups: CupsScheduler, name: str, *, default: bool = False, dpi: int = 203):
    """A 4x6 in capture queue (203 or 300 dpi) whose driver takes PDF as it is: the capture
    file (named .out by the capture backend) holds the host's PDF, byte for byte."""
    ppd = cups.root / "ppd" / f"label-4x6-{dpi}-pdf.ppd"
    ppd.write_text({203: LABEL_4X6_203, 300: LABEL_4X6_300}[dpi].replace(
        '"application/postscript 0 -"', '"application/pdf 0 -"'))
    cups.add_queue(name, str(ppd), default=default)


class LinuxHostProcess(HostProcess):
    """The Linux host with pipes on its standard streams, as a browser starts it."""

    def __init__(self, env: dict[str, str], executable: Path | None = None):
        self.prefix = None
        self.executable = Path(executable or linux_host_executable())
        self._start([str(self.executable)], env)
