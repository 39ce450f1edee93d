#!/usr/bin/env python3
"""The client library in a real browser against the real host: headless Chromium runs a
test extension (tests/browser/client_extension) that imports the package exactly as
`npm pack` made it (build/dist/vantrel-print-client-*.tgz, unpacked beside the
extension's service worker) and prints through the Wine-run host on the private CUPS
queue. What was printed is counted in the queue's capture folder, never taken from the
answers alone.

    python3 tests/browser/test_client.py

Exit status 77 (skipped) without Chromium, the Winelib build or the packed client, unless
VANTREL_E2E_REQUIRED or CI is set, where that fails.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import sys
import tarfile
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[0] / "e2e"))
sys.path.insert(0, str(HERE))
import chromium_rig  # noqa: E402
import harness  # noqa: E402
import run_browser_test  # noqa: E402

QUEUE = run_browser_test.QUEUE
PACKAGE_DIR = harness.REPO_ROOT / "build" / "dist"
CLIENT_EXTENSION = HERE / "client_extension"


def packed_client() -> Path | None:
    found = sorted(PACKAGE_DIR.glob("vantrel-print-client-*.tgz"))
    return found[-1] if found else None


def assemble_extension(target: Path) -> Path:
    """The test extension with the packed client unpacked into print-client/."""
    shutil.copytree(CLIENT_EXTENSION, target)
    with tarfile.open(packed_client()) as archive:
        for member in archive.getmembers():
            if not member.isfile() or not member.name.startswith("package/"):
                continue
            destination = target / "print-client" / member.name[len("package/"):]
            destination.parent.mkdir(parents=True, exist_ok=True)
            destination.write_bytes(archive.extractfile(member).read())
    return target


def missing() -> list[str]:
    found = harness.missing_prerequisites()
    if run_browser_test.chromium_missing():
        found.append(run_browser_test.chromium_missing())
    if packed_client() is None:
        found.append("build/dist/vantrel-print-client-*.tgz (run: bash scripts/build-client)")
    return found


class ClientRig(run_browser_test.BrowserRig):
    """The browser rig with the client-test extension."""

    def __init__(self, prefix: harness.WinePrefix):
        self.extension_root = Path(tempfile.mkdtemp(prefix="vantrel-client-ext-"))
        try:
            super().__init__(prefix, assemble_extension(self.extension_root / "extension"))
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


def job(intent_id: str, title: str, **changes) -> dict:
    return dict({"intentId": intent_id, "printer": QUEUE, "title": title, "copies": 1,
                 "label": {"width": 4, "height": 6, "dpi": 203, "text": title}}, **changes)


class ClientInChromium(harness.HostTestCase):
    rig: ClientRig

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        absent = missing()
        if absent:
            if harness.e2e_required():
                raise RuntimeError(", ".join(absent))
            raise unittest.SkipTest(", ".join(absent))
        cls.rig = ClientRig(cls.prefix)
        cls.addClassCleanup(cls.rig.close)

    def setUp(self):
        super().setUp()
        self.rig.cups.clear_captured()
        self.rig.configure("a")
        self.rig.configure("b")
        self.starts_before = len(self.rig.registration.starts())

    def new_starts(self) -> list[int]:
        return [pid for pid, _ in self.rig.registration.starts()[self.starts_before:]]

    def wait_for(self, condition, what: str, timeout: float = 30):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail(f"no {what} within {timeout} s")
            time.sleep(0.02)

    def printed(self, title: str) -> int:
        """Documents with `title` in the capture folder, once no more are arriving."""
        time.sleep(1.5)
        return sum(1 for d in self.rig.cups.captured_documents() if d.title == title)

    def ledger_state(self, intent_id: str) -> str | None:
        try:
            return self.prefix.read_state_json("ledger.json")["jobs"][intent_id]["state"]
        except (OSError, ValueError, KeyError):
            return None

    def ok(self, outcome: dict):
        self.assertTrue(outcome["ok"], outcome)
        return outcome["value"]

    def failed(self, outcome: dict) -> dict:
        self.assertFalse(outcome["ok"], outcome)
        return outcome["error"]

    def kill(self, pid: int):
        os.kill(pid, signal.SIGKILL)

    # ----

    def test_label_printed_once_at_its_physical_size_and_reported(self):
        printers = self.ok(self.rig.call("a", "listPrinters"))
        self.assertEqual(printers["defaultPrinter"], QUEUE)
        self.assertIn({"name": QUEUE, "state": "idle", "enabled": True, "uri": "winspool"},
                      printers["printers"])
        first = self.ok(self.rig.call("a", "submit", job("once-1", "Client once")))
        self.assertEqual((first["duplicate"], first["state"], first["attempts"]), (False, "SUBMITTED", 1))
        again = self.ok(self.rig.call("a", "submit", job("once-1", "Client once")))
        self.assertEqual((again["duplicate"], again["osJobId"]), (True, first["osJobId"]))
        # One process per call answers from the same ledger.
        self.rig.configure("one", mode="oneShot")
        record = self.ok(self.rig.call("one", "waitForJob", "once-1", {"until": ["SUBMITTED"], "pollMs": 100}))
        self.assertEqual((record["state"], record["osJobId"], record["printer"]),
                         ("SUBMITTED", first["osJobId"], QUEUE))
        self.assertEqual(self.printed("Client once"), 1)
        # The frame along the label's edges lands on the edges of the 4x6 in page.
        (document,) = [d for d in self.rig.cups.captured_documents() if d.title == "Client once"]
        (page,) = harness.rasterise(document.path, 203)
        self.assertEqual(harness.read_pnm(page).dark_box(), (0, 0, 812, 1218))

    def test_host_killed_before_recording_the_attempt_prints_once_after_resubmission(self):
        with harness.hold_ledger_lock(self.prefix) as lock:
            ticket = self.rig.start("a", "submit", job("killed-early", "Killed early"))
            self.wait_for(lambda: self.new_starts(), "host start")
            time.sleep(0.3)  # the request is written; the host waits for the lock
            self.kill(self.new_starts()[0])
            time.sleep(0.3)
            lock.release()
        result = self.ok(self.rig.finish(ticket))
        self.assertEqual((result["duplicate"], result["resubmitted"]), (False, True), result)
        self.assertEqual(self.printed("Killed early"), 1)

    def test_host_killed_while_printing_is_maybe_printed_and_never_printed_twice(self):
        self.ok(self.rig.call("a", "hello"))  # the host is running before the queue stops
        self.rig.cups.freeze()
        try:
            ticket = self.rig.start("a", "submit", job("killed-printing", "Killed printing"))
            self.wait_for(lambda: self.ledger_state("killed-printing") == "DISPATCHING", "recorded attempt")
            time.sleep(0.3)
            self.kill(self.new_starts()[0])
        finally:
            self.rig.cups.thaw()
        error = self.failed(self.rig.finish(ticket))
        self.assertEqual((error["code"], error["mayHavePrinted"], error["action"], error["attempts"]),
                         ("UNKNOWN_OUTCOME", "maybe", "reconcile", 2), error)
        self.assertLessEqual(self.printed("Killed printing"), 1)
        self.assertEqual(self.ledger_state("killed-printing"), "UNKNOWN")

    def test_frozen_queue_ends_the_host_by_its_watchdog_and_the_resubmission_is_unknown(self):
        self.ok(self.rig.call("a", "hello"))
        self.rig.cups.freeze()
        try:
            ticket = self.rig.start("a", "submit", job("frozen-1", "Frozen queue"))
            first = self.new_starts()[0]
            self.wait_for(lambda: self.rig.registration.stderr_of(first), "watchdog line", timeout=40)
        finally:
            self.rig.cups.thaw()
        self.assertEqual(self.rig.registration.stderr_of(first),
                         "vantrel-print-host: PLATFORM_TIMEOUT (submit)\n")
        error = self.failed(self.rig.finish(ticket))
        self.assertEqual((error["code"], error["mayHavePrinted"], error["action"], error["attempts"]),
                         ("UNKNOWN_OUTCOME", "maybe", "reconcile", 2), error)
        self.assertLessEqual(self.printed("Frozen queue"), 1)

    def test_lock_held_two_seconds_by_another_process_is_waited_out(self):
        with harness.hold_ledger_lock(self.prefix, seconds=2):
            result = self.ok(self.rig.call("a", "submit", job("busy-1", "Busy lock")))
        self.assertEqual(result["duplicate"], False)
        self.assertGreaterEqual(result["attempts"], 2)
        self.assertEqual(self.printed("Busy lock"), 1)

    def test_concurrent_submits_of_one_intent_print_one_label(self):
        tickets = [self.rig.start("a", "submit", job("twice-1", "Twice")),
                   self.rig.start("a", "submit", job("twice-1", "Twice")),
                   self.rig.start("b", "submit", job("twice-1", "Twice"))]
        results = [self.ok(self.rig.finish(t)) for t in tickets]
        self.assertEqual(results[0], results[1])  # joined into one request
        self.assertEqual(sorted(r["duplicate"] for r in results[1:]), [False, True], results)
        self.assertEqual(len({r["osJobId"] for r in results}), 1)
        self.assertEqual(self.printed("Twice"), 1)

    def test_answer_above_the_browser_limit_is_its_own_error(self):
        # A stored record whose message makes get_job's answer exceed 1 MiB.
        now = int(time.time() * 1000)
        record = {"intent_id": "huge-1", "payload_sha256": "0" * 64, "state": "FAILED",
                  "printer": QUEUE, "os_job_id": "", "created_at_ms": now, "updated_at_ms": now,
                  "error_code": "SUBMISSION_REJECTED", "error_message": "x" * 1_100_000}
        self.prefix.write_state_file("ledger.json", json.dumps(
            {"schema": 1, "updated_at_ms": now, "jobs": {"huge-1": record}}, indent=2))
        error = self.failed(self.rig.call("a", "getJob", "huge-1"))
        self.assertEqual((error["code"], error["source"], error["action"], error["attempts"]),
                         ("ANSWER_TOO_LARGE", "transport", "never", 1), error)
        self.assertEqual(len(self.new_starts()), 1)

    def test_bad_arguments_start_no_host(self):
        for change, argument in (({"intentId": "with space"}, "intentId"), ({"copies": 11}, "copies")):
            error = self.failed(self.rig.call("a", "submit", job("x", "Bad", **change)))
            self.assertEqual((error["code"], error["argument"]), ("INVALID_ARGUMENT", argument))
        self.assertEqual(self.new_starts(), [])


def main():
    absent = missing()
    if absent:
        print("missing: " + ", ".join(absent), flush=True)
        sys.exit(1 if harness.e2e_required() else harness.SKIP_EXIT_CODE)
    unittest.main(module="__main__", verbosity=2)


if __name__ == "__main__":
    main()
