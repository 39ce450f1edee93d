#!/usr/bin/env python3
"""Printer-language labels through the Linux host, from a real headless Chromium through the
packed client library (the client test extension), to raw capture queues of a private CUPS
scheduler at 203 and 300 dpi: one table of cases (rig/raw_labels.py), the same as the Wine-run
host's in tests/browser/test_client.py.

    python3 tests/linux/test_linux_raw_labels.py --host build/linux/vantrel-print-host

Exits 77 (skipped) without Chromium, cupsd, the host or the packed client, unless CI or
VANTREL_E2E_REQUIRED is set.
"""

import shutil
import tempfile
import unittest
from pathlib import Path

from rig import chromium, testing
from rig.browser import assemble_client_extension
from rig.cups import CupsScheduler, PausingProxy
from rig.raw_labels import RAW_203, RawLabelCases, add_raw_queues
from rig.registration import HostRegistration, extension_id

HOST = None


class LinuxClientRig:
    """Chromium with the client test extension and the Linux host registered for its profile,
    reaching the scheduler through a proxy."""

    def __init__(self, root: Path):
        self.cups = CupsScheduler()
        add_raw_queues(self.cups)
        self.proxy = PausingProxy(self.cups.socket)
        extension = assemble_client_extension(root / "extension")
        env = {name: self.cups.client_env[name] for name in ("CUPS_SERVERROOT", "PATH")}
        env.update(CUPS_SERVER=str(self.proxy.socket), HOME=str(root / "home"),
                   XDG_STATE_HOME=str(root / "state"))
        self.registration = HostRegistration(root / "profile", f"chrome-extension://{extension_id(extension)}/",
                                             wine64="", host_exe=HOST, env=env)
        self.browser = chromium.ChromiumBrowser(root, extension)
        self.browser.start()
        self.browser.wait_for_extension(extension_id(extension))

    def call(self, client: str, method: str, *args) -> dict:
        return self.browser.call("clientCall", client, method, list(args), timeout=120)

    def start(self, client: str, method: str, *args) -> int:
        return self.browser.call("startCall", client, method, list(args))

    def finish(self, ticket: int) -> dict:
        return self.browser.call("finishCall", ticket, timeout=120)

    def close(self):
        self.browser.close()
        self.proxy.close()
        self.cups.close()


class RawLabelsThroughTheLinuxHost(testing.ClientOutcomes, RawLabelCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="vantrel-raw-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.rig = LinuxClientRig(cls.root)
        cls.addClassCleanup(cls.rig.close)
        cls.proxy = cls.rig.proxy

    def host_pids(self) -> list[int]:
        return [pid for pid, _ in self.rig.registration.starts()]

    def test_get_printer_tells_the_queue_takes_raw_labels(self):
        printer = self.ok(self.rig.call("a", "getPrinter", RAW_203))
        self.assertEqual((printer["raw"], printer["resolutions"]), (True, [{"xDpi": 203, "yDpi": 203}]))


def main():
    global HOST
    HOST, rest = testing.built_file_argument("--host")
    testing.run_script(rest, HOST, testing.CLIENT_NEEDED, testing.CHROMIUM_NEEDED,
                       testing.CUPSD_NEEDED)


if __name__ == "__main__":
    main()
