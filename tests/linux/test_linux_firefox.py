#!/usr/bin/env python3
"""The client library in a real Firefox against the Linux host: Debian's firefox-esr,
headless, with the client test extension (tests/browser/client_extension and the packed
client, under the Firefox manifest of tests/browser/firefox_extension) installed temporarily,
the host registered in the private HOME's ~/.mozilla/native-messaging-hosts, printing on a
private CUPS queue. It pins what Firefox really reports when the channel fails.

    python3 tests/linux/test_linux_firefox.py --host build/linux/vantrel-print-host

Exits 77 (skipped) without firefox-esr, cupsd, the host or the packed client, unless CI or
VANTREL_E2E_REQUIRED is set.
"""

import os
import shutil
import signal
import sys
import tempfile
import time
import unittest
from pathlib import Path

from rig import testing
from rig.browser import assemble_client_extension
from rig.chromium import ChromiumBrowser, chromium_executable
from rig.cups import CupsScheduler
from rig.firefox import FirefoxBrowser, FirefoxRegistration
from rig.images import page_boxes
from rig.ledger import LedgerLockHolder, ledger_text, now_ms, record
from rig.linux_host import STATE_FOLDER, add_pdf_queue
from rig.programs import REPO_ROOT
from rig.registration import MANIFEST_TEMPLATE, extension_id, render_host_manifest

HOST = None
QUEUE = "Label_4x6_203dpi"
EXTENSION_ID = "print-host-test@vantrel.example"
FIREFOX_EXTENSION = REPO_ROOT / "tests" / "browser" / "firefox_extension"


def job(intent_id: str, title: str) -> dict:
    return {"intentId": intent_id, "printer": QUEUE, "title": title, "copies": 1,
            "label": {"width": 4, "height": 6, "dpi": 203, "text": title}}


class ClientInFirefox(testing.ClientOutcomes, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="vantrel-firefox-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        add_pdf_queue(cls.cups, QUEUE, default=True)
        cls.state = cls.root / "state" / STATE_FOLDER
        extension = assemble_client_extension(cls.root / "extension")
        for path in FIREFOX_EXTENSION.iterdir():
            shutil.copy(path, extension / path.name)
        cls.browser = FirefoxBrowser(cls.root, extension, EXTENSION_ID, extra_env=dict(
            cls.cups.env, XDG_STATE_HOME=str(cls.state.parent)))
        cls.host = FirefoxRegistration(cls.browser.home, HOST, [EXTENSION_ID])
        # Registered, but for another extension only.
        FirefoxRegistration(cls.browser.home, HOST, ["someone-else@vantrel.example"],
                            name="com.vantrel.other")
        cls.addClassCleanup(cls.browser.close)
        cls.browser.start()
        print(f"\n{cls.browser.version}: ready", file=sys.stderr)

    def call(self, client: str, method: str, *args) -> dict:
        return self.browser.call("clientCall", client, method, list(args))

    def configure(self, client: str, **options):
        self.browser.call("configureClient", client, options)

    def printed(self, title: str) -> list:
        time.sleep(1.5)  # a second document would have arrived by now
        return [d for d in self.cups.captured_documents() if d.title == title]

    def test_label_printed_once_at_its_physical_size_and_reported(self):
        self.configure("port")
        printers = self.ok(self.call("port", "listPrinters"))
        self.assertIn({"name": QUEUE, "state": "idle", "enabled": True, "uri": "cups"},
                      printers["printers"])
        first = self.ok(self.call("port", "submit", job("ff-once", "Firefox once")))
        self.assertEqual((first["duplicate"], first["state"], first["attempts"]), (False, "SUBMITTED", 1))
        again = self.ok(self.call("port", "submit", job("ff-once", "Firefox once")))
        self.assertEqual((again["duplicate"], again["osJobId"]), (True, first["osJobId"]))
        self.configure("one", mode="oneShot")
        stored = self.ok(self.call("one", "getJob", "ff-once"))
        self.assertEqual(stored["osJobId"], first["osJobId"])
        (document,) = self.printed("Firefox once")
        # The frame along the label's edges lands on the edges of the 4x6 in page.
        self.assertEqual(page_boxes(document.path, 203), [(0, 0, 812, 1218)])

    def test_an_order_printed_from_chromium_is_never_not_printed_in_firefox(self):
        # One user, one ledger, one intent id; Chromium and Firefox encode the same drawing into
        # different PNG bytes, so Firefox's submit is other output under a printed intent.
        testing.skip_or_fail([] if chromium_executable() else ["Chromium (apt-get install chromium)"])
        root = Path(tempfile.mkdtemp(prefix="vantrel-chromium-", dir=self.root))
        extension = assemble_client_extension(root / "extension")
        manifests = root / "profile" / "NativeMessagingHosts"
        manifests.mkdir(parents=True)
        (manifests / "com.vantrel.print.json").write_text(render_host_manifest(
            MANIFEST_TEMPLATE.read_text(), str(HOST), [f"chrome-extension://{extension_id(extension)}/"]))
        chromium = ChromiumBrowser(root, extension, extra_env=dict(
            self.cups.env, XDG_STATE_HOME=str(self.state.parent)))
        self.addCleanup(chromium.close)
        chromium.start()
        chromium.wait_for_extension(extension_id(extension))
        order = job("order-A-1001", "Order A-1001")
        first = self.ok(chromium.call("clientCall", "c", "submit", [order]))
        self.assertEqual((first["duplicate"], first["state"]), (False, "SUBMITTED"))

        self.configure("port")
        second = self.call("port", "submit", order)
        print(f"\nthe order again from Firefox: {second}", file=sys.stderr)
        if second["ok"]:  # the same bytes after all: the ledger's duplicate
            self.assertTrue(second["value"]["duplicate"], second)
        else:
            self.assertEqual({k: second["error"][k] for k in ("code", "mayHavePrinted", "action", "storedState")},
                             {"code": "INTENT_CONFLICT", "mayHavePrinted": "yes", "action": "never",
                              "storedState": "SUBMITTED"})
        self.assertEqual(len(self.printed("Order A-1001")), 1)

    def test_host_killed_before_recording_the_attempt_prints_once_after_resubmission(self):
        # Firefox closes the port with no error at all, and fails a one-shot call with
        # "An unexpected error occurred": both are an exited host, so the submit is sent again.
        self.ok(self.call("port", "hello"))  # the state folder exists
        for mode in ("port", "oneShot"):
            with self.subTest(mode=mode):
                self.configure(mode, mode=mode)
                title = f"Firefox killed {mode}"
                started = len(self.host.starts())
                with LedgerLockHolder(self.state / "ledger.lock") as lock:
                    ticket = self.browser.call("startCall", mode, "submit", [job(f"ff-killed-{mode}", title)])
                    deadline = time.monotonic() + 30
                    while len(self.host.starts()) == started and time.monotonic() < deadline:
                        time.sleep(0.02)
                    time.sleep(0.3)  # the request is written; the host waits for the lock
                    os.kill(self.host.starts()[started], signal.SIGKILL)
                    time.sleep(0.3)
                    lock.release()
                result = self.ok(self.browser.call("finishCall", ticket))
                self.assertEqual((result["duplicate"], result["resubmitted"]), (False, True), result)
                self.assertEqual(len(self.printed(title)), 1)

    def test_host_not_registered_and_host_not_for_this_extension_are_both_not_found(self):
        # Firefox tells the two apart only on its browser console.
        for name in ("com.vantrel.absent", "com.vantrel.other"):
            for mode in ("port", "oneShot"):
                with self.subTest(name=name, mode=mode):
                    self.configure("elsewhere", hostName=name, mode=mode)
                    error = self.failed(self.call("elsewhere", "hello"))
                    self.assertEqual(
                        (error["code"], error["action"], error["attempts"], error["browserMessage"]),
                        ("HOST_NOT_FOUND", "never", 1, f"No such native application {name}"))

    def test_answer_above_the_browser_limit_is_its_own_error(self):
        self.ok(self.call("port", "hello"))
        now = now_ms()
        huge = record("ff-huge", "FAILED", printer=QUEUE, os_job_id="", created_at_ms=now,
                      updated_at_ms=now, error_code="SUBMISSION_REJECTED",
                      error_message="x" * 1_100_000)
        (self.state / "ledger.json").write_text(ledger_text({"ff-huge": huge}, now))
        error = self.failed(self.call("port", "getJob", "ff-huge"))
        self.assertEqual((error["code"], error["action"], error["attempts"]), ("ANSWER_TOO_LARGE", "never", 1))
        self.assertRegex(error["browserMessage"], r"^Native application tried to send a message of "
                         r"\d+ bytes, which exceeds the limit of 1048576 bytes\.$")


def main():
    global HOST
    HOST, rest = testing.built_file_argument("--host")
    testing.run_script(rest, HOST, testing.FIREFOX_NEEDED, testing.CUPSD_NEEDED,
                       testing.CLIENT_NEEDED)


if __name__ == "__main__":
    main()
