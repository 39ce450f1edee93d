"""submit in the Wine-run host against a private CUPS scheduler: a label printed once, at its
physical size and centred in the printable area (checked in the captured PostScript turned
back into pixels), repetitions answered from the ledger, and every refusal recorded so that
the same intent is never printed twice."""

import hashlib
import os
import signal
import time
import sys
from pathlib import Path


from rig.images import black_png, page_boxes
from rig.ledger import records
from rig.protocol import envelope, frame, submit_payload
from rig.testing import PrintingTestCase, main

EXACT = "Label_Exact"          # 4x6 in at 203 dpi, no margins: 812 x 1218
MARGINS = "Label_Margins"      # 4x6 in at 203 dpi, 0.1 in margins: 771 x 1177 at 20/21
LETTER = "Letter_300"          # Letter at 300 dpi, 1/6 in margins: 2450 x 3200 at 50/50
REJECTING = "Label_Rejecting"  # refuses jobs, so EndDoc fails


class Submit(PrintingTestCase):
    QUEUES = ((EXACT, "label-4x6-203"), (MARGINS, "label-4x6-203-margins"),
              (LETTER, "letter-300"), (REJECTING, "label-4x6-203"))
    REJECTING_QUEUES = (REJECTING,)

    label = black_png(812, 1218)

    def ask(self, *requests) -> list[dict]:
        """Runs one host over the requests (type, payload) and returns the answers."""
        data = b"".join(frame(envelope(kind, f"r{i}", payload))
                        for i, (kind, payload) in enumerate(requests))
        result = self.run_host(data, cups=self.cups, timeout=60)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result.stderr_text)
        self.assertEqual(len(result.answers), len(requests))
        return result.answers

    def documents(self, title: str, expected: int, wait_s: float = 15):
        """The captured documents with this title, once `expected` of them have arrived (and
        a moment more, so that a second copy would be seen)."""
        deadline = time.time() + wait_s
        while True:
            found = [d for d in self.cups.captured_documents() if d.title == title]
            if len(found) >= expected or time.time() > deadline:
                break
            time.sleep(0.2)
        if expected == 0 or len(found) == expected:
            time.sleep(1.0)
            found = [d for d in self.cups.captured_documents() if d.title == title]
        return found

    def ledger_record(self, intent_id: str) -> dict | None:
        return records(self.prefix).get(intent_id)

    def dark_box_of_page(self, title: str, dpi: int):
        (document,) = self.documents(title, 1)
        return page_boxes(document.path, dpi)

    def assert_box_near(self, box, expected, slack=2):
        self.assertIsNotNone(box)
        for got, want in zip(box, expected):
            self.assertLessEqual(abs(got - want), slack, f"{box} vs {expected}")

    # ---- a label printed once, where it belongs

    def test_new_attempt_is_printed_once_and_its_repetition_is_answered_from_the_ledger(self):
        request = submit_payload("ship-1", EXACT, self.label, 812, 1218, title="Ship 1")
        first, again, retitled = self.ask(
            ("submit", request), ("submit", request),
            ("submit", dict(request, title="Another title")))
        self.assertTrue(first["ok"], first)
        result = first["result"]
        self.assertEqual((result["duplicate"], result["state"], result["printer"]),
                         (False, "SUBMITTED", EXACT))
        self.assertRegex(result["os_job_id"], r"^[1-9][0-9]*$")
        self.assertEqual(again["result"], dict(result, duplicate=True))
        self.assertEqual(retitled["result"], dict(result, duplicate=True))
        self.assertEqual(len(self.documents("Ship 1", 1)), 1)
        self.assertEqual(self.documents("Another title", 0), [])
        self.assertEqual(self.ledger_record("ship-1")["state"], "SUBMITTED")

    def test_label_that_fits_exactly_fills_the_page(self):
        self.ask(("submit", submit_payload("fit", EXACT, self.label, 812, 1218)))
        (box,) = self.dark_box_of_page("fit", 203)
        self.assert_box_near(box, (0, 0, 812, 1218))

    def test_label_on_a_queue_with_margins_is_shrunk_and_centred(self):
        self.ask(("submit", submit_payload("shrunk", MARGINS, self.label, 812, 1218)))
        # 771 x 1156 (width limits) at y (1177 - 1156) / 2 = 10, plus the offset 20/21.
        (box,) = self.dark_box_of_page("shrunk", 203)
        self.assert_box_near(box, (20, 31, 791, 1187))

    def test_small_label_keeps_its_physical_size_centred_on_a_larger_page(self):
        png = black_png(400, 600)
        self.ask(("submit", submit_payload("small", LETTER, png, 400, 600)))
        # 400 x 600 at 203 dpi is 591 x 886 at 300 dpi, centred in 2450 x 3200, offset 50/50.
        (box,) = self.dark_box_of_page("small", 300)
        self.assert_box_near(box, (979, 1207, 1570, 2093))

    def test_three_copies_are_three_identical_pages_of_one_document(self):
        self.ask(("submit", submit_payload("copies", EXACT, black_png(400, 600), 400, 600,
                                           copies=3)))
        boxes = self.dark_box_of_page("copies", 203)
        self.assertEqual(len(boxes), 3)
        self.assertEqual(len(set(boxes)), 1)
        self.assert_box_near(boxes[0], (206, 309, 606, 909))

    # ---- refusals

    def test_other_output_under_the_same_intent_is_a_conflict(self):
        request = submit_payload("conflict", EXACT, self.label, 812, 1218)
        first, more_copies, other_queue = self.ask(
            ("submit", request), ("submit", dict(request, copies=2)),
            ("submit", dict(request, printer=MARGINS)))
        self.assertTrue(first["ok"], first)
        for answer in (more_copies, other_queue):
            self.assertEqual(answer["error"]["code"], "INTENT_CONFLICT", answer)
        self.assertEqual(len(self.documents("conflict", 1)), 1)

    def test_queue_that_rejects_jobs_leaves_an_unknown_outcome_that_is_never_retried(self):
        request = submit_payload("rejected", REJECTING, self.label, 812, 1218)
        first, again = self.ask(("submit", request), ("submit", request))
        self.assertEqual(first["error"]["code"], "UNKNOWN_OUTCOME", first)
        self.assertTrue(first["error"]["message"].startswith(
            "Windows may have queued the label but did not acknowledge the completed "
            "document: "), first)
        self.assertRegex(first["error"]["message"], r" \(os error \d+\)$")
        self.assertEqual(again["error"], {
            "code": "UNKNOWN_OUTCOME",
            "message": "This attempt may already be in the operating-system queue. Use a "
                       "deliberate reprint attempt instead of resubmitting it."})
        record = self.ledger_record("rejected")
        self.assertEqual((record["state"], record["error_code"]), ("UNKNOWN", "UNKNOWN_OUTCOME"))

    def test_media_token_records_a_failed_attempt(self):
        request = submit_payload("media", EXACT, self.label, 812, 1218, media="4x6")
        first, again = self.ask(("submit", request), ("submit", request))
        self.assertEqual(first["error"]["code"], "MEDIA_UNSUPPORTED", first)
        self.assertEqual(again["error"]["code"], "ATTEMPT_FAILED", again)
        record = self.ledger_record("media")
        self.assertEqual((record["state"], record["error_code"]), ("FAILED", "MEDIA_UNSUPPORTED"))
        self.assertEqual(self.documents("media", 0), [])
        # The output digest from Windows' own SHA-256: PNG, queue, media, dpi and copies.
        digested = self.label + EXACT.encode() + b"4x6" + (203).to_bytes(4, "little") + \
            (1).to_bytes(2, "little")
        self.assertEqual(record["payload_sha256"], hashlib.sha256(digested).hexdigest())

    def test_missing_queue_leaves_no_record_and_the_intent_can_print_later(self):
        missing = submit_payload("late", "No_Such_Queue", self.label, 812, 1218)
        first, later = self.ask(("submit", missing),
                                ("submit", dict(missing, printer=EXACT)))
        self.assertEqual(first["error"]["code"], "PRE_SUBMIT_UNAVAILABLE", first)
        self.assertRegex(first["error"]["message"],
                         r"^Windows could not open the selected print queue: .+ \(os error \d+\)$")
        self.assertTrue(later["ok"], later)
        self.assertEqual(later["result"]["duplicate"], False)
        self.assertEqual(len(self.documents("late", 1)), 1)

    def test_validation_failure_leaves_the_state_untouched(self):
        (answer,) = self.ask(("submit", submit_payload("bad", EXACT, b"not a png", 812, 1218)))
        self.assertEqual(answer["error"], {"code": "BAD_REQUEST",
                                           "message": "The raster payload is not a PNG."})
        self.assertFalse(self.prefix.state_file("ledger.json").exists())

    # ---- never twice

    def test_host_killed_while_printing_leaves_an_attempt_that_is_never_repeated(self):
        request = submit_payload("killed", EXACT, self.label, 812, 1218)
        host = self.start_host(cups=self.cups)
        self.assertTrue(host.request("hello", "h")["ok"])
        # With the scheduler frozen the print calls block, holding the host right after it
        # recorded the attempt.
        self.cups.freeze()
        try:
            host.send("submit", "s", request)
            deadline = time.time() + 10
            while time.time() < deadline:
                record = self.ledger_record("killed")
                if record is not None:
                    break
                time.sleep(0.05)
            self.assertEqual(record["state"], "DISPATCHING")
            os.kill(host.process.pid, signal.SIGKILL)
            host.process.wait(10)
        finally:
            self.cups.thaw()
        hello, again = self.ask(("hello", None), ("submit", request))
        self.assertTrue(hello["ok"])
        record = self.ledger_record("killed")
        self.assertEqual((record["state"], record["error_code"]), ("UNKNOWN", "HOST_RESTARTED"))
        self.assertEqual(again["error"]["code"], "UNKNOWN_OUTCOME", again)
        self.assertEqual(self.documents("killed", 0, wait_s=3), [])


if __name__ == "__main__":
    main()
