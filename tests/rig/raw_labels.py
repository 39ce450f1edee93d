"""Printer-language labels end to end, for either host: the raw capture queues at 203 and 300 dpi,
the labels, and one table of cases run through the client library in a real browser. What was
printed is read from the capture folder, byte for byte, never taken from the answers alone.

A test case class mixes RawLabelCases in and provides `rig` (with `cups`, `call`, `start`,
`finish`), `proxy` (a PausingProxy every host of the rig reaches the scheduler through) and
`host_pids()` (the hosts the browser started, in order)."""

from __future__ import annotations

import os
import signal
import time

RAW_203 = "Raw_4x6_203dpi"
RAW_300 = "Raw_4x6_300dpi"

# A 4 x 6 in label at 203 dpi in each language; a binary graphic (^GFB) in the ZPL one, whose
# bytes must arrive as they are.
ZPL_4X6 = (b"^XA^PW812^LL1218^FO50,50^A0N,40,40^FDRaw ZPL 4x6^FS"
           b"^FO50,120^GFB,8,8,2,\x00\xff\x5e\x7e\xff\x00\x0d\x0a^FS^XZ\r\n")
EPL_4X6 = b"\r\nN\r\nq812\r\nQ1218,24\r\nA50,50,0,3,1,1,N,\"Raw EPL 4x6\"\r\nP1\r\n"
SETTINGS = b"^XA^MMT^JUS^XZ"


def add_raw_queues(cups):
    cups.add_queue(RAW_203, "raw-203")
    cups.add_queue(RAW_300, "raw-300")


def raw_job(intent_id: str, queue: str, data: bytes, language: str = "zpl", **changes) -> dict:
    # Bytes as a Latin-1 string cross the DevTools protocol; the extension turns it back.
    return dict({"intentId": intent_id, "printer": queue, "title": intent_id, "copies": 1,
                 "dpi": 203, "format": language, "rawLatin1": data.decode("latin-1")}, **changes)


def raw_wave(prefix: str, labels: list[bytes], language: str = "zpl", copies=None, **options) -> dict:
    """printLabels' arguments for labels intent `<prefix>-<n>` on the 203 dpi queue."""
    wave = [{"intentId": f"{prefix}-{n}", "format": language, "rawLatin1": data.decode("latin-1"),
             "copies": (copies or [1] * len(labels))[n]} for n, data in enumerate(labels)]
    return {"wave": [RAW_203, wave, dict({"dpi": 203, "title": prefix}, **options)]}


# name, job, what the call ends with (a result's fields, or an error code), what is captured
CASES = [
    ("zpl byte for byte", raw_job("raw-zpl", RAW_203, ZPL_4X6),
     {"state": "SUBMITTED", "duplicate": False, "geometry": "checked"}, [ZPL_4X6]),
    ("epl byte for byte", raw_job("raw-epl", RAW_203, EPL_4X6, "epl"),
     {"state": "SUBMITTED", "duplicate": False, "geometry": "checked"}, [EPL_4X6]),
    ("a repeat prints nothing", raw_job("raw-zpl", RAW_203, ZPL_4X6),
     {"state": "SUBMITTED", "duplicate": True}, []),
    ("a kill after the job was sent", raw_job("raw-killed", RAW_203, ZPL_4X6),
     "UNKNOWN_OUTCOME", [ZPL_4X6]),
    ("203 dpi on the 300 dpi queue", raw_job("raw-203-on-300", RAW_300, ZPL_4X6),
     "MEDIA_MISMATCH", []),
    ("4x6 on 4x2 media", raw_job("raw-4x6-on-4x2", RAW_203, ZPL_4X6, media="custom_4x2in"),
     "MEDIA_MISMATCH", []),
    ("^JUS refused before sending", raw_job("raw-jus", RAW_203, SETTINGS), "INVALID_ARGUMENT", []),
    # A wave (printLabels): each case's outcome per label, and the one job of its chunk.
    ("a wave is one job of its labels' bytes",
     raw_wave("wave", [ZPL_4X6, ZPL_4X6.replace(b"ZPL", b"two"), ZPL_4X6.replace(b"LL1218", b"LL2436")],
              copies=[1, 2, 1]),
     [{"verdict": "printed", "duplicate": False, "geometry": "checked"}] * 2 + ["MEDIA_MISMATCH"],
     [ZPL_4X6 + ZPL_4X6.replace(b"ZPL", b"two") * 2]),
    ("a wave again prints nothing", raw_wave("wave", [ZPL_4X6]),
     [{"verdict": "printed", "duplicate": True, "geometry": "checked"}], []),
    ("an EPL wave with the opt-in", raw_wave("epl-wave", [EPL_4X6, b"\r\nN\r\n^default\r\nP1\r\n"],
                                            "epl", printerSettings="allow"),
     [{"verdict": "printed", "duplicate": False}] * 2,
     [EPL_4X6 + b"\r\nN\r\n^default\r\nP1\r\n"]),
]


class RawLabelCases:
    def captured(self) -> list[bytes]:
        return [d.read() for queue in (RAW_203, RAW_300)
                for d in self.rig.cups.captured_documents(queue)]

    def run_case(self, name: str, job: dict, expected, printed: list[bytes]):
        before = self.captured()
        if name.startswith("a kill"):
            self.proxy.arm()
            ticket = self.rig.start("a", "submit", job)
            self.assertTrue(self.proxy.document_sent.wait(60), "the document never reached CUPS")
            # The host serving the client's port is the one started last.
            os.kill(self.host_pids()[-1], signal.SIGKILL)
            outcome = self.rig.finish(ticket)
        elif "wave" in job:
            outcome = self.rig.call("a", "printLabels", *job["wave"])
            self.assertTrue(outcome["ok"], outcome)
            got = [{k: label.get(k) for k in want} if isinstance(want, dict) else label["error"]["code"]
                   for want, label in zip(expected, outcome["value"])]
            self.assertEqual(got, expected)
        else:
            outcome = self.rig.call("a", "submit", job)
        if "wave" in job:
            pass
        elif isinstance(expected, str):
            self.assertFalse(outcome["ok"], outcome)
            self.assertEqual(outcome["error"]["code"], expected, outcome)
        else:
            self.assertTrue(outcome["ok"], outcome)
            self.assertEqual({k: outcome["value"].get(k) for k in expected}, expected)
        deadline = time.monotonic() + 30
        while len(self.captured()) < len(before) + len(printed) and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)  # a second document would have arrived by now
        self.assertEqual(self.captured()[len(before):], printed)

    def test_printer_language_labels(self):
        for name, job, expected, printed in CASES:
            with self.subTest(name):
                self.run_case(name, job, expected, printed)
