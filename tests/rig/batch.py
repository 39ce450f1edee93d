"""A wave of labels killed at each stage of its submit_batch, for both hosts: the same table of
stages, and the same checks of the batch sent again on a fresh host. What printed is counted in
the capture queue's pages and matched to the ledger's jobs, never taken from the answers alone."""

from __future__ import annotations

import json
import os
import signal
import time
from collections import Counter
from pathlib import Path

from rig.host import HostProtocolError
from rig.images import black_png, page_boxes
from rig.protocol import decode_answer, split_frames
from rig.protocol import submit_payload

WAVE_LABELS = 60  # three chunks: 25, 25 and 10
CHUNK = 25


def label_width(n: int) -> int:
    """Label n is this many pixels wide, so that a printed page tells which label it is."""
    return 200 + 4 * n


def wave_payload(queue: str, count: int = WAVE_LABELS, prefix: str = "wave") -> dict:
    """A batch of `count` distinct small black labels."""
    labels = []
    for n in range(count):
        width = label_width(n)
        single = submit_payload(f"{prefix}-{n}", queue, black_png(width, 100), width, 100)
        labels.append({"intent_id": single["intent_id"], "copies": 1, "payload": single["payload"]})
    return {"printer": queue, "title": "Wave", "dpi": 203, "labels": labels}


def read_ledger(path: Path) -> dict:
    try:
        return json.loads(path.read_text())["jobs"]
    except (FileNotFoundError, ValueError, KeyError):
        return {}


def states(path: Path) -> Counter:
    return Counter(record["state"] for record in read_ledger(path).values())


# Each stage: its name, and the moment of the kill as a condition on (ledger path, host). The
# scheduler is frozen for the stage inside a chunk's spooling, so that the host waits in it.
STAGES = [
    ("before the first chunk", False,
     lambda ledger, started: time.monotonic() - started > 0.02 and not read_ledger(ledger)),
    ("inside a chunk's spooling", True,
     lambda ledger, started: states(ledger)["DISPATCHING"] == CHUNK),
    ("between chunks", False, lambda ledger, started: states(ledger)["SUBMITTED"] >= CHUNK),
    ("before the answer", False,
     lambda ledger, started: states(ledger)["SUBMITTED"] == WAVE_LABELS),
]


def kill_host(host) -> list[dict]:
    """SIGKILL, then whatever answers the host wrote."""
    if host.process.poll() is None:
        os.kill(host.process.pid, signal.SIGKILL)
    host.process.wait(10)
    try:
        rest = host.read_rest(timeout=15)
    except HostProtocolError:
        rest = b""
    return [decode_answer(body) for body in split_frames(rest)[0]]


class BatchKillTable:
    """The mixin of a host's test case: run_kill_table() runs the stages as subtests. The case
    provides start_batch_host(), ledger_path(), reset_batch_state(), `cups` and BATCH_QUEUE."""

    def printed_labels(self) -> list[int]:
        """The label of each page the device received, in job order."""
        labels = []
        for document in self.cups.captured_documents(self.BATCH_QUEUE):
            for box in page_boxes(document.path, 203):
                if box is not None:
                    labels.append(round((box[2] - box[0] - label_width(0)) / 4))
        return labels

    def run_kill_table(self):
        payload = wave_payload(self.BATCH_QUEUE)
        for stage, freeze, moment in STAGES:
            with self.subTest(stage=stage):
                self.reset_batch_state()
                self.cups.clear_captured()
                warm = self.start_batch_host()
                self.assertTrue(warm.request("hello", "h", timeout=60)["ok"])
                if freeze:
                    self.cups.freeze()
                try:
                    warm.send("submit_batch", "b1", payload)
                    started = time.monotonic()
                    deadline = started + 60
                    while not moment(self.ledger_path(), started) and time.monotonic() < deadline:
                        if warm.process.poll() is not None:
                            break
                        time.sleep(0.002)
                    if freeze:
                        time.sleep(0.3)  # the host is in the chunk's calls to the scheduler
                    kill_host(warm)
                    left = dict(states(self.ledger_path()))
                finally:
                    self.cups.thaw()
                print(f"  {stage}: killed with the ledger at {left or 'nothing recorded'}", flush=True)
                self.check_again(payload, stage)

    def check_again(self, payload: dict, stage: str):
        """The same batch on a fresh host: each label printed exactly once or UNKNOWN_OUTCOME,
        never twice, never answered printed without its job's pages."""
        host = self.start_batch_host()
        answer = host.request("submit_batch", "b2", payload, timeout=120)
        self.assertTrue(answer["ok"], answer)
        results = answer["result"]["results"]
        self.assertEqual(len(results), WAVE_LABELS)
        codes = [None if r["ok"] else r["error"]["code"] for r in results]
        self.assertTrue(set(codes) <= {None, "UNKNOWN_OUTCOME"}, f"{stage}: {Counter(codes)}")
        self.assertLessEqual(codes.count("UNKNOWN_OUTCOME"), CHUNK, f"{stage}: more than one chunk unknown")
        ledger = read_ledger(self.ledger_path())
        for n, result in enumerate(results):
            if result["ok"]:
                self.assertEqual(result["result"]["os_job_id"], ledger[f"wave-{n}"]["os_job_id"])
        # What reached the device, page by page: each label's page by its width at 203 dpi.
        jobs = {record["os_job_id"] for record in ledger.values() if record["state"] == "SUBMITTED"}
        self.cups.wait_for(lambda: len(self.cups.captured_documents(self.BATCH_QUEUE)) >= len(jobs),
                           120, "the jobs the ledger names")
        time.sleep(1.0)
        printed = Counter(self.printed_labels())
        jobs = len(self.cups.captured_documents(self.BATCH_QUEUE))
        for n, result in enumerate(results):
            self.assertLessEqual(printed[n], 1, f"{stage}: label {n} printed twice")
            if result["ok"]:
                self.assertEqual(printed[n], 1, f"{stage}: label {n} answered printed, not on paper")
        print(f"  {stage}: {Counter(codes)[None]} printed once, {codes.count('UNKNOWN_OUTCOME')} "
              f"UNKNOWN_OUTCOME, {jobs} jobs, {sum(printed.values())} pages", flush=True)
        host.close()
