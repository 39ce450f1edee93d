"""The Wine-run host's message loop as the browser sees it: frames in, frames out,
exit status and the standard-error line."""

import struct
import sys
from pathlib import Path


from rig.programs import HOST_VERSION
from rig.protocol import MAX_MESSAGE_LEN, envelope, frame, hello
from rig.testing import HostTestCase, main

HELLO_ANSWER = (
    b'{"protocol":1,"request_id":"r1","ok":true,"result":{"arch":"x86_64",'
    b'"capabilities":["list_printers","submit_png","get_job","durable_idempotency","media",'
    b'"get_printer","submit_batch","submit_raw","submit_batch_raw"],"platform":"windows","protocol":1,"version":"' + HOST_VERSION.encode() +
    b'"}}')
IO_ERROR_LINE = b"vantrel-print-host: IO_ERROR\n"


class MessageLoop(HostTestCase):
    def test_empty_input_exits_0_without_output(self):
        result = self.run_host(b"")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_hello_answer_is_exact(self):
        result = self.run_host(frame(hello("r1")))
        self.assertEqual(result.returncode, 0, result.stderr_text)
        self.assertEqual(result.stdout, struct.pack("<I", len(HELLO_ANSWER)) + HELLO_ANSWER)
        self.assertEqual(result.stderr, b"")

    def test_two_requests_then_end_of_input_give_two_answers_in_order(self):
        result = self.run_host(frame(hello("first")) +
                               frame(envelope("no_such_type", "second")))
        self.assertEqual(result.returncode, 0, result.stderr_text)
        answers = result.answers
        self.assertEqual([a["request_id"] for a in answers], ["first", "second"])
        self.assertTrue(answers[0]["ok"])
        self.assertEqual(answers[1]["error"]["code"], "UNKNOWN_MESSAGE")

    def test_each_answer_is_flushed_before_the_next_request_arrives(self):
        host = self.start_host()
        self.assertTrue(host.request("hello", "a")["ok"])
        self.assertTrue(host.request("hello", "b")["ok"])
        result = host.finish()
        self.assertEqual((result.returncode, result.stdout), (0, b""))

    def test_undecodable_body_is_answered_and_the_next_request_served(self):
        result = self.run_host(frame(b'{"protocol":1,"request_id":"x"') +
                               frame(hello("after")))
        self.assertEqual(result.returncode, 0, result.stderr_text)
        first, second = result.answers
        self.assertEqual(first, {
            "protocol": 1, "request_id": "", "ok": False,
            "error": {"code": "BAD_REQUEST",
                      "message": "The native message is not valid protocol JSON."}})
        self.assertEqual((second["request_id"], second["ok"]), ("after", True))

    def test_broken_framing_ends_with_status_1_and_no_answer(self):
        cases = {
            "length prefix cut after two bytes": b"\x10\x00",
            "length 0": struct.pack("<I", 0),
            "length above 8 MiB": struct.pack("<I", 8_388_609) + b"{" * 16,
            "body cut short": struct.pack("<I", 100) + b'{"protocol":1',
        }
        for name, data in cases.items():
            with self.subTest(name):
                result = self.run_host(data)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr, IO_ERROR_LINE)

    def test_answers_before_a_framing_error_are_kept(self):
        result = self.run_host(frame(hello("kept")) + b"\x05")
        self.assertEqual(result.returncode, 1)
        self.assertEqual([a["request_id"] for a in result.answers], ["kept"])
        self.assertEqual(result.stderr, IO_ERROR_LINE)

    def test_body_of_exactly_8_mib_is_accepted(self):
        body = hello("big")
        body += b" " * (MAX_MESSAGE_LEN - len(body))
        result = self.run_host(frame(body), timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr_text)
        self.assertEqual([a["request_id"] for a in result.answers], ["big"])


if __name__ == "__main__":
    main()
