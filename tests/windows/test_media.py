"""Media under Wine: get_printer on the rig's queues, and a submit's media choosing the page it
prints on, checked in the captured PostScript turned back into pixels. Wine's driver lists a
PPD's page sizes as papers, claims custom sizes and applies none, and keeps a merged selection
as the queue's settings for the rest of the process (the host merges the defaults back); a PPD
whose "Env10" and "Comm10" share one paper id is a driver that ignores the selection of its
4x6 in "Comm10"."""

import time

from rig.images import black_png, pages
from rig.ledger import records
from rig.protocol import envelope, frame, submit_payload
from rig.testing import PrintingTestCase, main

MULTI = "Media_Multi"        # Letter (default, 1/4 in margins), A4, 4x6, 4x4, 2.25x1.25 in
IGNORES = "Media_Ignores"    # #10 envelope (default), and a 4x6 in it never prints on
MANY = "Media_Many"          # 400 sizes, 4x6 in the default and last
EXACT = "Media_4x6"          # 4x6 in, no margins
MARGINS = "Media_4x6_Margins"
LETTER = "Media_Letter_300"
TWO = "Media_Two_4x6"         # 4x6 in edge to edge, and with 0.1 in margins (the default)

LETTER_MEDIA = {"name": "na_letter_8.5x11in", "width_um": 215900, "height_um": 279400}
FOUR_BY_SIX = {"name": "na_index-4x6_4x6in", "width_um": 101600, "height_um": 152400}
DPI_203 = {"x_dpi": 203, "y_dpi": 203}


def media(entry: dict, area=None) -> dict:
    return dict(entry, printable_area=area)


def area(x, y, width, height) -> dict:
    return {"x_um": x, "y_um": y, "width_um": width, "height_um": height}


class Media(PrintingTestCase):
    maxDiff = None
    QUEUES = ((MULTI, "wine-multi-size"), (IGNORES, "wine-ignores-4x6"),
              (MANY, "wine-many-sizes"), (EXACT, "label-4x6-203"),
              (MARGINS, "label-4x6-203-margins"), (LETTER, "letter-300"), (TWO, "two-4x6"))

    def ask(self, *requests) -> list[dict]:
        """One host over the requests (type, payload); its answers."""
        data = b"".join(frame(envelope(kind, f"r{i}", payload))
                        for i, (kind, payload) in enumerate(requests))
        result = self.run_host(data, cups=self.cups, timeout=120)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result.stderr_text)
        return result.answers

    def details(self, queue: str) -> dict:
        (answer,) = self.ask(("get_printer", {"printer": queue}))
        self.assertTrue(answer["ok"], answer)
        return answer["result"]

    def page_of(self, title: str):
        """The one page of the one document with this title, at 203 dpi."""
        found = self.cups.wait_for(
            lambda: [d for d in self.cups.captured_documents() if d.title == title], 30, title)
        self.assertEqual(len(found), 1)
        (page,) = pages(found[0].path, 203)
        return page

    def assert_nothing_printed(self, intent_id: str, code: str):
        time.sleep(2)
        self.assertEqual(self.cups.captured_documents(), [])
        record = records(self.prefix)[intent_id]
        self.assertEqual((record["state"], record["error_code"]), ("FAILED", code))

    # ---- get_printer

    def test_get_printer_tells_each_queue_its_media_default_and_printable_area(self):
        multi = self.details(MULTI)
        self.assertEqual(multi, {
            "color": False, "default_media": "na_letter_8.5x11in",
            "default_resolution": DPI_203, "enabled": True, "is_default": True,
            "media": [
                # 50/51 and 1624 x 2132 pixels at 203 dpi: the PPD's quarter-inch margins.
                media(LETTER_MEDIA, area(6256, 6381, 203200, 266763)),
                media({"name": "iso_a4_210x297mm", "width_um": 209900, "height_um": 297000}),
                media(FOUR_BY_SIX),
                media({"name": "custom_4x4in", "width_um": 101600, "height_um": 101600}),
                media({"name": "custom_2.25x1.25in", "width_um": 57100, "height_um": 31700})],
            "media_ready": [], "media_truncated": False, "name": MULTI, "custom_range": None, "raw": None,
            "resolutions": [DPI_203], "state": "idle", "uri": "winspool"})
        expected = {EXACT: ([media(FOUR_BY_SIX, area(0, 0, 101600, 152400))], DPI_203),
                    MARGINS: ([media(FOUR_BY_SIX, area(2502, 2628, 96470, 147270))], DPI_203),
                    LETTER: ([media(LETTER_MEDIA, area(4233, 4233, 207433, 270933))],
                             {"x_dpi": 300, "y_dpi": 300})}
        for queue, (listed, resolution) in expected.items():
            with self.subTest(queue):
                details = self.details(queue)
                self.assertEqual((details["media"], details["default_media"],
                                  details["default_resolution"], details["is_default"]),
                                 (listed, listed[0]["name"], resolution, False))
        # Two papers of one size: each its own media, the default with its margins.
        details = self.details(TWO)
        self.assertEqual((details["media"], details["default_media"]), (
            [media(FOUR_BY_SIX), media(dict(FOUR_BY_SIX, name="oe_4x-6-margins_4x6in"),
                                      area(2502, 2628, 96470, 147270))],
            "oe_4x-6-margins_4x6in"))

    def test_unknown_queue_is_refused_as_a_submit_to_it(self):
        asked, submitted = self.ask(
            ("get_printer", {"printer": "No_Such_Queue"}),
            ("submit", submit_payload("none", "No_Such_Queue", black_png(100, 100), 100, 100)))
        for answer in (asked, submitted):
            self.assertEqual(answer["error"]["code"], "PRE_SUBMIT_UNAVAILABLE", answer)
            self.assertTrue(answer["error"]["message"].startswith(
                "Windows could not open the selected print queue: "), answer)

    def test_queue_with_hundreds_of_sizes_answers_256_keeping_the_default(self):
        data = frame(envelope("get_printer", "many", {"printer": MANY}))
        result = self.run_host(data, cups=self.cups, timeout=120)
        details = result.answers[0]["result"]
        self.assertEqual((len(details["media"]), details["media_truncated"]), (256, True))
        self.assertEqual(details["default_media"], "na_index-4x6_4x6in")
        self.assertEqual(details["media"][-1], media(FOUR_BY_SIX, area(0, 0, 101600, 152400)))
        self.assertLess(len(result.frames[0]), 64 * 1024)

    def test_get_printer_on_a_frozen_scheduler_ends_the_host_with_status_70(self):
        # A host whose spooler did not copy the queues itself asks the scheduler when it first
        # opens one: that call waits.
        self.prefix.sync_printers(self.cups)
        host = self.start_host(cups=self.cups)
        self.assertTrue(host.request("hello", "started")["ok"])
        self.cups.freeze()
        try:
            host.send("get_printer", "hangs", {"printer": MULTI})
            host.wait(40)
        finally:
            self.cups.thaw()
        result = host.finish(10)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (70, b"", b"vantrel-print-host: PLATFORM_TIMEOUT (get_printer)\n"))

    # ---- media selected for one job

    def test_media_selects_the_page_of_one_job_and_the_queue_keeps_its_own(self):
        label_4x6, label_6x4 = black_png(812, 1218), black_png(1218, 812)
        answers = self.ask(
            ("submit", submit_payload("on-4x6", MULTI, label_4x6, 812, 1218,
                                      media="na_index-4x6_4x6in")),
            ("submit", submit_payload("plain", MULTI, label_4x6, 812, 1218)),
            ("submit", submit_payload("turned", MULTI, label_6x4, 1218, 812,
                                      media="custom_6x4in")),
            ("submit", submit_payload("two-edge", TWO, label_4x6, 812, 1218,
                                      media="na_index-4x6_4x6in")),
            ("submit", submit_payload("two-margins", TWO, label_4x6, 812, 1218,
                                      media="oe_4x-6-margins_4x6in")),
            ("submit", submit_payload("two-plain", TWO, label_4x6, 812, 1218)),
            ("get_printer", {"printer": MULTI}))
        for answer in answers:
            self.assertTrue(answer["ok"], answer)
        self.assertEqual(answers[-1]["result"]["default_media"], "na_letter_8.5x11in")
        # Page and label box in pixels at 203 dpi: the 4x6 in page filled; the job without
        # media on the queue's Letter; the 6x4 in label on the 4x6 in paper turned.
        expected = {"on-4x6": ((812, 1218), (0, 0, 812, 1218)),
                    "plain": ((1725, 2233), (456, 507, 1268, 1725)),
                    "turned": ((812, 1218), (0, 0, 812, 1218)),
                    # Of two 4x6 in papers, each prints on its own: edge to edge, or shrunk
                    # into the margins, as a job without media does on the default.
                    "two-edge": ((812, 1218), (0, 0, 812, 1218)),
                    "two-margins": ((812, 1218), (20, 31, 791, 1187)),
                    "two-plain": ((812, 1218), (20, 31, 791, 1187))}
        for title, (size, box) in expected.items():
            with self.subTest(title):
                page = self.page_of(title)
                self.assertLessEqual(abs(page.width - size[0]) + abs(page.height - size[1]), 2,
                                     (page.width, page.height))
                for got, want in zip(page.dark_box(), box):
                    self.assertLessEqual(abs(got - want), 2, page.dark_box())
        self.assertIn(b"<</PageSize[288 432]", self.cups.captured_documents()[0].read())

    def test_size_the_queue_does_not_offer_is_refused_with_nothing_printed(self):
        # Sizes between the queue's, and 0.6 mm off its 4x6 in: Wine's driver claims custom
        # sizes and takes none, so that the queue tells no custom range.
        for intent_id, name in (("tiny", "custom_1x1in"), ("large", "iso_a3_297x420mm"),
                                ("between", "custom_5x5in"), ("near", "custom_102.2x152.4mm"),
                                ("custom", "na_index-3x5_3x5in")):
            with self.subTest(name):
                (answer,) = self.ask(("submit", submit_payload(
                    intent_id, MULTI, black_png(100, 100), 100, 100, media=name)))
                self.assertEqual(answer["error"]["code"], "MEDIA_UNSUPPORTED", answer)
                self.assertTrue(answer["error"]["message"].startswith(
                    f"The selected print queue does not offer the media {name} ("), answer)
                self.assert_nothing_printed(intent_id, "MEDIA_UNSUPPORTED")

    def test_driver_that_ignores_the_selection_is_a_mismatch_with_nothing_printed(self):
        # A listed paper that is not the one its id selects.
        cases = (("ignored", IGNORES, "na_index-4x6_4x6in", "104.7 x 241.2", "101.6 x 152.4"),)
        for intent_id, queue, name, page, size in cases:
            with self.subTest(name):
                (answer,) = self.ask(("submit", submit_payload(
                    intent_id, queue, black_png(400, 600), 400, 600, media=name)))
                self.assertEqual(answer["error"], {
                    "code": "MEDIA_MISMATCH",
                    "message": f"The selected print queue would print on {page} mm instead of "
                               f"the requested media {name} ({size} mm): its driver does not "
                               "apply the selection. Nothing was printed."})
                self.assert_nothing_printed(intent_id, "MEDIA_MISMATCH")


if __name__ == "__main__":
    main()
