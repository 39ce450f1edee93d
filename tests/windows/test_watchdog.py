"""The Windows watchdog under Wine: the real host ended with the PLATFORM_TIMEOUT line and
status 70 when printing hangs (its last line in the diagnostics log), and tests/e2e/watchdog_probe.cpp (vantrel-watchdog-probe.exe of
the Windows build), linked with the host's own watchdog sources, for what the host cannot show
on demand: a short deadline, silence when a stretch ends in time or its signal is given up, and
no thread left behind."""

import time
import sys
from pathlib import Path


from rig.cups import CupsScheduler
from rig.images import black_png
from rig.ledger import records
from rig.programs import host_executable
from rig.protocol import submit_payload
from rig.testing import HostTestCase, main, skip_or_fail


def line(label: str) -> bytes:
    return f"vantrel-print-host: PLATFORM_TIMEOUT ({label})\n".encode()


class HostWatchdog(HostTestCase):
    def test_print_that_hangs_ends_the_host_with_status_70_and_no_answer(self):
        with CupsScheduler() as cups:
            cups.add_queue("Label", default=True)
            payload = submit_payload("hung", "Label", black_png(812, 1218), 812, 1218)
            host = self.start_host(cups=cups)
            self.assertTrue(host.request("list_printers", "listed")["ok"])
            # The host's first device context waits for the stopped scheduler.
            cups.freeze()
            try:
                host.send("submit", "hangs", payload)
                started = time.monotonic()
                host.wait(40)
                elapsed = time.monotonic() - started
            finally:
                cups.thaw()
            result = host.finish(10)
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (70, b"", line("submit")))
            # Counted from the send, which comes before the arming: never less than 12 s.
            self.assertGreaterEqual(elapsed, 11.99)
            self.assertLess(elapsed, 30)
            self.assertEqual(records(self.prefix)["hung"]["state"], "DISPATCHING")
            # The watchdog's own line reaches the diagnostics log before the process ends.
            log = (self.prefix.state_dir / "logs" / "host.log").read_text()
            self.assertIn(" end status=70 code=PLATFORM_TIMEOUT stretch=submit\n", log)
            self.assertIn(" message type=list_printers request_id=listed outcome=ok ", log)


class Watchdog(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.probe = host_executable().parent / "vantrel-watchdog-probe.exe"
        if not cls.probe.is_file():
            skip_or_fail([f"{cls.probe} (run: bash scripts/build)"])

    def run_probe(self, *args, timeout=60):
        started = time.monotonic()
        result = self.prefix.run([str(self.probe), *args], timeout=timeout)
        return result, time.monotonic() - started

    def test_stretch_that_never_ends_writes_the_line_and_exits_70(self):
        result, elapsed = self.run_probe("hang", "400")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (70, b"", line("probe_hang")))
        self.assertGreaterEqual(elapsed, 0.4)

    def test_stretch_ending_in_time_is_silent(self):
        for mode in ("disarm", "drop"):
            with self.subTest(mode):
                result, _ = self.run_probe(mode, "300")
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, b"survived\n", b""))

    def test_many_stretches_leave_no_thread_behind(self):
        result, _ = self.run_probe("many", "300")
        self.assertEqual((result.returncode, result.stdout), (0, b"left 0\n"), result.stderr)


if __name__ == "__main__":
    main()
