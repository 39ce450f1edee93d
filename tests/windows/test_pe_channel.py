"""The framing over the real standard handles in the static MinGW-w64 PE build
(pe_channel_probe.cpp, vantrel-channel-probe.exe beside the host), run under Wine: frames pass
byte for byte whatever they hold, and standard error gets no carriage return, as they
would not through the Windows C runtime's text-mode streams."""

import re
import sys
from pathlib import Path


from rig.host import HostProcess, HostResult
from rig.programs import host_executable
from rig.protocol import frame
from rig.testing import HostTestCase, main, skip_or_fail

PROBE = host_executable().parent / "vantrel-channel-probe.exe"


class PeChannel(HostTestCase):
    @classmethod
    def setUpClass(cls):
        if not PROBE.is_file():
            skip_or_fail([f"{PROBE} (run: bash scripts/build)"])
        super().setUpClass()

    def run_probe(self, data: bytes) -> HostResult:
        with HostProcess(self.prefix, executable=PROBE) as probe:
            return probe.feed_and_finish(data)

    def test_frames_come_back_byte_for_byte(self):
        bodies = [b"a\r\nb\nc\r", b"\x1a\x00\xff\xfe end", bytes(range(256)) * 300]
        result = self.run_probe(b"".join(frame(b) for b in bodies))
        self.assertEqual(result.returncode, 0, result.stderr_text)
        self.assertEqual(result.frames, bodies)
        self.assertEqual(result.stderr, b"")

    def test_empty_input_exits_0_without_output(self):
        result = self.run_probe(b"")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_cut_length_prefix_gives_one_plain_error_line(self):
        result = self.run_probe(b"\x03\x00")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.stderr, b"vantrel-print-host: IO_ERROR\n")

    def test_os_error_text_is_one_trimmed_line(self):
        known = self.prefix.run([str(PROBE), "os-error", "5"]).text
        self.assertRegex(known, r"^[^\r\n]*\S \(os error 5\)$")
        unknown = self.prefix.run([str(PROBE), "os-error", "10035"]).text
        self.assertTrue(re.fullmatch(
            r"OS Error 10035 \(FormatMessageW\(\) returned error \d+\) \(os error 10035\)",
            unknown), unknown)


if __name__ == "__main__":
    main()
