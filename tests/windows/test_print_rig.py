"""The printing rig itself: a private CUPS scheduler whose queues Wine sees and whose
captured PostScript shows, to the pixel, what a Wine program drew. The printing tests
of the host build on these properties."""

import sys
from pathlib import Path


from rig.images import page_boxes
from rig.testing import PrintingTestCase, main

# The rig helper's page: a black rectangle at (10, 20), 100 x 50 device pixels.
RECT = (10, 20, 110, 70)


class PrintRig(PrintingTestCase):
    QUEUES = (("Label_4x6", "label-4x6-203"), ("Label_Margins", "label-4x6-203-margins"),
              ("Letter_300", "letter-300"))

    def print_page(self, queue, title):
        result = self.prefix.run_helper(["print", queue, title], extra_env=self.cups.env)
        caps = {}
        for line in result.text.splitlines():
            key, _, value = line.partition(" ")
            if key.isupper():
                caps[key] = int(value)
        return result, caps

    def test_wine_lists_the_schedulers_queues_and_default(self):
        names, default = self.prefix.sync_printers(self.cups)
        self.assertEqual(sorted(names), ["Label_4x6", "Label_Margins", "Letter_300"])
        self.assertEqual(default, "Label_4x6")

    def test_each_driver_gives_its_device_caps_and_pixel_exact_pages(self):
        cases = [
            ("Label_4x6", 203, (812, 1218), (0, 0)),
            ("Label_Margins", 203, (771, 1177), (20, 21)),
            ("Letter_300", 300, (2450, 3200), (50, 50)),
        ]
        for queue, dpi, size, offset in cases:
            with self.subTest(queue):
                result, caps = self.print_page(queue, f"Rig page {queue}")
                self.assertEqual(result.returncode, 0, result.text)
                self.assertEqual(caps["LOGPIXELSX"], dpi)
                self.assertEqual((caps["HORZRES"], caps["VERTRES"]), size)
                self.assertEqual((caps["PHYSICALOFFSETX"], caps["PHYSICALOFFSETY"]), offset)

                (document,) = self.cups.wait_for_documents(1, queue)
                self.assertEqual(document.title, f"Rig page {queue}")
                (box,) = page_boxes(document.path, dpi)
                dx, dy = offset
                self.assertEqual(box, (RECT[0] + dx, RECT[1] + dy, RECT[2] + dx, RECT[3] + dy))

    def test_rejecting_queue_fails_the_end_of_the_document(self):
        self.cups.reject("Letter_300")
        self.addCleanup(self.cups.accept, "Letter_300")
        result, _ = self.print_page("Letter_300", "Rejected")
        self.assertIn("status 5 error 6", result.text)
        self.assertEqual(self.cups.captured_documents(), [])


if __name__ == "__main__":
    main()
