#!/usr/bin/env python3
"""The client library in a real browser against the real host: headless Chromium runs a
test extension (tests/browser/client_extension) that imports the package exactly as
`npm pack` made it (build/dist/vantrel-print-client-*.tgz, unpacked beside the
extension's service worker) and prints through the Wine-run host on the private CUPS
queue. What was printed is counted in the queue's capture folder, never taken from the
answers alone.

    python3 tests/browser/test_client.py

Exit status 77 (skipped) without Chromium, the Windows build or the packed client, unless
VANTREL_E2E_REQUIRED or CI is set, where that fails.
"""

from __future__ import annotations

import os
import signal
import sys
import time
from pathlib import Path


from rig.browser import QUEUE, ClientRig, client_missing
from rig.cups import PausingProxy
from rig.images import page_boxes
from rig.ledger import hold_ledger_lock, now_ms, record, records, write_ledger
from rig.raw_labels import RawLabelCases, add_raw_queues
from rig.testing import ClientOutcomes, HostTestCase, main, skip_or_fail


def job(intent_id: str, title: str, **changes) -> dict:
    return dict({"intentId": intent_id, "printer": QUEUE, "title": title, "copies": 1,
                 "label": {"width": 4, "height": 6, "dpi": 203, "text": title}}, **changes)


class ClientInChromium(ClientOutcomes, RawLabelCases, HostTestCase):
    rig: ClientRig

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        skip_or_fail(client_missing())
        cls.rig = ClientRig(cls.prefix)
        cls.addClassCleanup(cls.rig.close)
        # Raw capture queues, and every host reaching the scheduler through a proxy that can
        # hold back the answer to a document.
        add_raw_queues(cls.rig.cups)
        cls.proxy = PausingProxy(cls.rig.cups.socket)
        cls.addClassCleanup(cls.proxy.close)
        wrapper = cls.rig.registration.wrapper
        wrapper.write_text(wrapper.read_text().replace(str(cls.rig.cups.socket), str(cls.proxy.socket)))

    def host_pids(self) -> list[int]:
        return [pid for pid, _ in self.rig.registration.starts()]

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
            return records(self.prefix)[intent_id]["state"]
        except (OSError, ValueError, KeyError):
            return None

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
        self.assertEqual(page_boxes(document.path, 203), [(0, 0, 812, 1218)])

    def test_wave_of_120_labels_prints_each_once_in_chunks_and_again_answers_from_the_ledger(self):
        wave = [{"intentId": f"wave-{n}", "copies": 1,
                 "label": {"width": 2, "height": 1, "dpi": 203, "text": f"W{n}"}} for n in range(120)]
        options = {"dpi": 203, "title": "Client wave"}
        outcomes = self.ok(self.rig.call("a", "printLabels", QUEUE, wave, options, timeout=300))
        self.assertEqual([(o["intentId"], o["verdict"], o["duplicate"]) for o in outcomes],
                         [(f"wave-{n}", "printed", False) for n in range(120)])
        # One job per chunk of 25, a page per label: 25, 25, 25, 25, 20.
        self.assertEqual(len({o["osJobId"] for o in outcomes}), 5)
        # Wine numbers jobs per process, so the scheduler's documents are found by their title.
        wave_documents = lambda: sorted((d for d in self.rig.cups.captured_documents(QUEUE)
                                         if d.title == "Client wave"), key=lambda d: d.job_id)
        self.wait_for(lambda: len(wave_documents()) == 5, "five wave documents", timeout=120)
        self.assertEqual([d.read().count(b"%%Page:") for d in wave_documents()], [25, 25, 25, 25, 20])
        again = self.ok(self.rig.call("a", "printLabels", QUEUE, wave, options, timeout=300))
        self.assertTrue(all(o["verdict"] == "printed" and o["duplicate"] for o in again), again[:3])
        self.assertEqual(self.printed("Client wave"), 5)

    def test_host_killed_before_recording_the_attempt_prints_once_after_resubmission(self):
        with hold_ledger_lock(self.prefix) as lock:
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
        with hold_ledger_lock(self.prefix, seconds=2):
            result = self.ok(self.rig.call("a", "submit", job("busy-1", "Busy lock")))
        self.assertEqual(result["duplicate"], False)
        self.assertGreaterEqual(result["attempts"], 2)
        self.assertEqual(self.printed("Busy lock"), 1)

    def test_concurrent_submits_of_one_intent_print_one_label(self):
        tickets = [self.rig.start("a", "submit", job("twice-1", "Twice")),
                   self.rig.start("a", "submit", job("twice-1", "Twice")),
                   self.rig.start("b", "submit", job("twice-1", "Twice"))]
        results = [self.ok(self.rig.finish(t)) for t in tickets]
        # The second call joined the first's request, and is told it printed nothing itself.
        same = lambda r: {k: v for k, v in r.items() if k not in ("duplicate", "joined")}
        self.assertEqual(same(results[0]), same(results[1]))
        self.assertEqual((results[1]["duplicate"], results[1]["joined"]), (True, True), results)
        self.assertEqual(sorted(r["duplicate"] for r in (results[0], results[2])), [False, True], results)
        self.assertEqual(len({r["osJobId"] for r in results}), 1)
        self.assertEqual(self.printed("Twice"), 1)

    def test_answer_above_the_browser_limit_is_its_own_error(self):
        # A stored record whose message makes get_job's answer exceed 1 MiB.
        now = now_ms()
        huge = record("huge-1", "FAILED", printer=QUEUE, os_job_id="", payload_sha256="0" * 64,
                      created_at_ms=now, updated_at_ms=now, error_code="SUBMISSION_REJECTED",
                      error_message="x" * 1_100_000)
        write_ledger(self.prefix, {"huge-1": huge}, now)
        error = self.failed(self.rig.call("a", "getJob", "huge-1"))
        self.assertEqual((error["code"], error["source"], error["action"], error["attempts"]),
                         ("ANSWER_TOO_LARGE", "transport", "never", 1), error)
        self.assertEqual(len(self.new_starts()), 1)

    def test_bad_arguments_start_no_host(self):
        for change, argument in (({"intentId": "with space"}, "intentId"), ({"copies": 11}, "copies")):
            error = self.failed(self.rig.call("a", "submit", job("x", "Bad", **change)))
            self.assertEqual((error["code"], error["argument"]), ("INVALID_ARGUMENT", argument))
        self.assertEqual(self.new_starts(), [])


if __name__ == "__main__":
    main(client_missing())
