#!/usr/bin/env python3
"""A wave of labels through the Linux host's submit_batch against a private CUPS scheduler whose
capture queue keeps each job's PDF as the host sent it: the host killed at each stage of the
batch (tests/rig/batch.py), then the same batch again on a fresh host.

    PYTHONPATH=tests python3 tests/linux/test_linux_batch.py --host build/linux/vantrel-print-host

Exits 77 (skipped) without cupsd or the build, unless CI or VANTREL_E2E_REQUIRED is set.
"""

import subprocess
import tempfile
import unittest
from pathlib import Path

from rig import testing
from rig.batch import BatchKillTable
from rig.cups import CupsScheduler
from rig.linux_host import STATE_FOLDER, LinuxHostProcess, add_pdf_queue

HOST = None


class LinuxBatch(BatchKillTable, unittest.TestCase):
    BATCH_QUEUE = "Label_Batch"

    @classmethod
    def setUpClass(cls):
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        add_pdf_queue(cls.cups, cls.BATCH_QUEUE, default=True)

    def setUp(self):
        self.state_home = Path(tempfile.mkdtemp(prefix="vantrel-state-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.state_home)])

    def reset_batch_state(self):
        subprocess.run(["rm", "-rf", str(self.state_home / STATE_FOLDER)], check=True)

    def start_batch_host(self):
        env = dict(self.cups.client_env, XDG_STATE_HOME=str(self.state_home))
        host = LinuxHostProcess(env, HOST)
        self.addCleanup(host.close)
        return host

    def ledger_path(self) -> Path:
        return self.state_home / STATE_FOLDER / "ledger.json"


    def test_kill_at_each_stage_then_the_same_batch_prints_each_label_once_or_unknown(self):
        self.run_kill_table()


def main():
    global HOST
    HOST, rest = testing.built_file_argument("--host")
    testing.run_script(rest, HOST, testing.CUPSD_NEEDED, testing.LPADMIN_NEEDED)


if __name__ == "__main__":
    main()
