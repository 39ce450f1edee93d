"""list_printers in the Wine-run host: the queues of a private CUPS scheduler as Wine's
spooler reports them, their state words from the status Wine keeps in its registry, the
default queue, and a watchdog that stays quiet once the listing is over."""

import struct
import time
import sys
from pathlib import Path


from rig.protocol import frame, list_printers
from rig.testing import PrintingTestCase, main


def answer_body(result) -> bytes:
    return result.frames[0]


class ListPrinters(PrintingTestCase):
    QUEUES = ()

    def setUp(self):
        super().setUp()
        self.cups.remove_all_queues()

    def list_once(self, request_id="r1"):
        result = self.run_host(frame(list_printers(request_id)), cups=self.cups)
        self.assertEqual((result.returncode, result.stderr), (0, b""), result.stderr_text)
        return result

    def test_no_queues_give_an_empty_list_and_an_empty_default(self):
        result = self.list_once()
        expected = (b'{"protocol":1,"request_id":"r1","ok":true,'
                    b'"result":{"default_printer":"","printers":[]}}')
        self.assertEqual(result.stdout, struct.pack("<I", len(expected)) + expected)

    def test_queues_are_sorted_by_utf8_bytes_with_the_default_named(self):
        for name in ("Zebra_Desk", "alpha", "\u00c9tiquettes"):
            self.cups.add_queue(name)
        self.cups.add_queue("Beta", default=True)
        result = self.list_once()

        def queue(name):
            return ('{"enabled":true,"name":"%s","state":"idle","uri":"winspool"}' % name)

        expected = ('{"protocol":1,"request_id":"r1","ok":true,"result":{"default_printer":"Beta",'
                    '"printers":[' + ",".join(queue(n) for n in
                                              ("Beta", "Zebra_Desk", "alpha", "\u00c9tiquettes"))
                    + "]}}").encode("utf-8")
        self.assertEqual(answer_body(result), expected)

    def test_status_words_become_state_words(self):
        statuses = {
            "q_paused_offline": (0x81, "paused", False),
            "q_offline_paper_out": (0x90, "offline", False),
            "q_paper_jam": (0x8, "error", False),
            "q_printing_toner_low": (0x20400, "printing", True),
            "q_server_offline": (0x2000000, "idle", True),
        }
        for name in statuses:
            self.cups.add_queue(name)
        self.prefix.sync_printers(self.cups)
        for name, (status, _, _) in statuses.items():
            self.prefix.set_printer_status(name, status)
        listed = self.list_once().answers[0]["result"]["printers"]
        self.assertEqual({q["name"]: (q["state"], q["enabled"]) for q in listed},
                         {name: (state, enabled)
                          for name, (_, state, enabled) in statuses.items()})

    def test_disarmed_watchdog_never_fires_after_its_deadline(self):
        self.cups.add_queue("Label", default=True)
        host = self.start_host(cups=self.cups)
        for request_id in ("first", "second"):
            answer = host.request("list_printers", request_id)
            self.assertEqual(answer["result"]["default_printer"], "Label")
        # Idle past both watchdogs' deadlines: a watchdog left armed would end the host with 70.
        time.sleep(13)
        self.assertTrue(host.request("hello", "after")["ok"])
        result = host.finish()
        self.assertEqual((result.returncode, result.stderr), (0, b""))


if __name__ == "__main__":
    main()
