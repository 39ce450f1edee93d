"""A wave of labels through the Wine-run host's submit_batch against a private CUPS scheduler:
the host killed at each stage of the batch (tests/rig/batch.py), then the same batch again on a
fresh host. Each chunk is one document of Wine's PostScript driver; its pages are counted."""

from rig.batch import BatchKillTable
from rig.testing import PrintingTestCase, main

QUEUE = "Label_Batch"


class WindowsBatch(BatchKillTable, PrintingTestCase):
    QUEUES = ((QUEUE, "label-4x6-203"),)
    BATCH_QUEUE = QUEUE

    def reset_batch_state(self):
        self.prefix.reset_state()

    def start_batch_host(self):
        return self.start_host(cups=self.cups)

    def ledger_path(self):
        return self.prefix.state_file("ledger.json")


    def test_kill_at_each_stage_then_the_same_batch_prints_each_label_once_or_unknown(self):
        self.run_kill_table()


if __name__ == "__main__":
    main()
