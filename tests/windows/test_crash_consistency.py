"""Crash consistency of the Wine-run host against a private CUPS scheduler: submits of new and
repeated intents, each host killed with SIGKILL at a random moment of its submit (after a
delay from 0 to a whole measured submit, or right when a temporary ledger file appears, or
while the attempt is being printed, or while a frozen scheduler holds the print calls). After
every kill the next message must find a readable ledger (a hello answers ok), no "DISPATCHING"
record may survive that message, no attempt that an answer reported may be lost or changed,
no intent may have been printed twice (documents counted by title, which is the intent_id),
and the state folder may hold only the host's files and temporary files named after a host
process that was killed, at most one per process and target, each kill adding at most one (the
Windows process ids come from Wine's debug prefix on the host's standard error).

Environment: VANTREL_CRASH_KILLS (default 200), VANTREL_CRASH_SEED (default: random, printed),
VANTREL_CRASH_REPEAT_SHARE (default 0.3): the share of submits that reuse an earlier intent."""

import json
import os
import random
import re
import select
import signal
import sys
import time
from collections import Counter
from pathlib import Path


from rig.host import HostProtocolError
from rig.images import black_png
from rig.protocol import decode_answer, split_frames, submit_payload
from rig.testing import PrintingTestCase, main

QUEUE = "Label_Crash"
KILLS = int(os.environ.get("VANTREL_CRASH_KILLS", "200"))
SEED = int(os.environ.get("VANTREL_CRASH_SEED") or random.SystemRandom().randrange(1 << 32))
REPEAT_SHARE = float(os.environ.get("VANTREL_CRASH_REPEAT_SHARE", "0.3"))

# How the moment of each kill is chosen, with weights; the last two need a save or a print
# ahead, so they apply to attempts that the ledger does not know yet.
MODES = {"timed": 40, "temp file appears": 20, "temp file of the settling save": 15,
         "while printing": 15, "scheduler frozen": 10}
TEMP_NAME = re.compile(r"^\.(ledger\.json|bridge-status\.json)\.(\d+)\.tmp$")
# Wine starts every debug line with the process and thread ids; loaddll speaks at start-up.
PROCESS_ID_DEBUG = {"WINEDEBUG": "pid,+loaddll"}
DEBUG_PREFIX = re.compile(r"^([0-9a-f]{4,8}):[0-9a-f]{4,8}:", re.M)
HOST_FILES = {"ledger.json", "ledger.lock", "bridge-status.json", "logs"}
SETTLED = {"SUBMITTED", "UNKNOWN"}  # what a record can be here once its message is over


def now() -> float:
    return time.monotonic()


class CrashConsistency(PrintingTestCase):
    QUEUES = ((QUEUE, "label-4x6-203"),)

    label = black_png(812, 1218)

    def setUp(self):
        super().setUp()
        self.random = random.Random(SEED)
        self.known: dict[str, dict] = {}  # the ledger's records as the last message left them
        self.intents: list[str] = []
        self.counts = Counter()
        self.phases = Counter()
        self.modes = Counter()
        self.temp_files: dict[str, tuple] = {}
        self.process_ids: set[int] = set()  # Windows ids of every host started

    # ---- the state folder

    def payload(self, intent_id: str) -> dict:
        return submit_payload(intent_id, QUEUE, self.label, 812, 1218)

    def ledger_path(self) -> Path:
        return self.prefix.state_file("ledger.json")

    def read_ledger(self) -> dict:
        """The ledger's records; the file must always be whole JSON (or absent)."""
        path = self.ledger_path()
        if not path.exists():
            return {}
        text = path.read_bytes()
        try:
            return json.loads(text)["jobs"]
        except (ValueError, KeyError) as error:
            self.fail(f"the ledger file is not whole: {error}: {text[:200]!r}...{text[-200:]!r}")

    def temp_snapshot(self) -> dict[str, tuple]:
        """Temporary files of the state folder with what identifies a rewrite."""
        found = {}
        with os.scandir(self.prefix.state_dir) as entries:
            for entry in entries:
                if entry.name.endswith(".tmp"):
                    try:
                        st = entry.stat()
                    except FileNotFoundError:
                        continue
                    found[entry.name] = (st.st_ino, st.st_mtime_ns, st.st_size)
        return found

    def check_state_folder(self, before: dict[str, tuple], killed_process_id: int):
        names = {p.name for p in self.prefix.state_dir.iterdir()}
        strangers = {n for n in names - HOST_FILES if not TEMP_NAME.match(n)}
        self.assertEqual(strangers, set(), "unexpected files in the state folder")
        after = self.temp_snapshot()
        owners = {n: int(TEMP_NAME.match(n).group(2)) for n in after}
        self.assertLessEqual(set(owners.values()), self.process_ids,
                             f"temporary files of no host process: {sorted(after)}")
        changed = [n for n, sig in after.items() if before.get(n) != sig]
        self.assertLessEqual(len(changed), 1, f"one kill left several temporary files: {changed}")
        for name in changed:
            self.assertEqual(owners[name], killed_process_id,
                             f"the kill of process {killed_process_id} left {name}")
        self.temp_files = after
        return changed

    # ---- one host, one submit, one kill

    def start_host(self):
        host = self.prefix.start_host(cups=self.cups, extra_env=PROCESS_ID_DEBUG)
        self.addCleanup(host.close)
        return host

    def process_id(self, host) -> int:
        """The host's Windows process id, once it has answered a message."""
        deadline = now() + 10
        while not (found := DEBUG_PREFIX.search(host.stderr_text)) and now() < deadline:
            time.sleep(0.01)
        self.assertIsNotNone(found, f"no Wine debug line: {host.stderr_text[:200]!r}")
        self.process_ids.add(int(found.group(1), 16))
        return int(found.group(1), 16)

    def next_message(self):
        """A new host's hello, the first message after a kill: it must find a readable ledger,
        and what recovery leaves must hold every attempt known so far, unchanged."""
        host = self.start_host()
        hello = host.request("hello", "after-kill", timeout=30)
        self.assertTrue(hello["ok"], f"the ledger did not load after a kill: {hello}")
        ledger = self.read_ledger()
        dispatching = [k for k, r in ledger.items() if r["state"] == "DISPATCHING"]
        self.assertEqual(dispatching, [], "a DISPATCHING record survived the next message")
        for intent_id, record in self.known.items():
            self.assertEqual(ledger.get(intent_id), record,
                             f"the attempt {intent_id} was lost or changed")
        return host, ledger

    def wait_until(self, host, condition, limit_s: float = 10.0) -> bool:
        """Polls as fast as it can; False when the host exits or answers first, or time runs
        out."""
        deadline = now() + limit_s
        stdout = host.process.stdout.fileno()
        while now() < deadline:
            if condition():
                return True
            if host.process.poll() is not None or select.select([stdout], [], [], 0)[0]:
                return False
        return False

    def temp_changed(self, before: dict[str, tuple]):
        def changed():
            try:
                return any(before.get(n) != sig for n, sig in self.temp_snapshot().items()
                           if n.startswith(".ledger.json."))
            except FileNotFoundError:
                return False
        return changed

    def recorded_as(self, intent_id: str, state: str):
        path = self.ledger_path()

        def recorded():
            try:
                return f'"state": "{state}"' in path.read_text() and \
                    self.read_ledger().get(intent_id, {}).get("state") == state
            except (FileNotFoundError, AssertionError):
                return False
        return recorded

    def kill(self, host) -> list[dict]:
        """SIGKILL, then every answer the host wrote (a cut-off answer counts as none)."""
        if host.process.poll() is None:
            os.kill(host.process.pid, signal.SIGKILL)
        self.assertIn(host.process.wait(10), (-signal.SIGKILL,),
                      f"the host ended by itself: {host.stderr_text!r}")
        try:
            rest = host.read_rest(timeout=15)
        except HostProtocolError:
            rest = b""
        bodies, _tail = split_frames(rest)
        return [decode_answer(body) for body in bodies]

    def run_submit(self, host, intent_id: str, mode: str, duration_s: float,
                   print_window_s: float) -> list[dict]:
        before = self.temp_snapshot()
        frozen = mode == "scheduler frozen"
        if frozen:
            self.cups.freeze()
        try:
            host.send("submit", "s", self.payload(intent_id))
            if mode == "timed":
                time.sleep(self.random.uniform(0, duration_s))
            elif mode == "temp file appears":
                self.wait_until(host, self.temp_changed(before))
            elif mode == "temp file of the settling save":
                if self.wait_until(host, self.recorded_as(intent_id, "DISPATCHING")):
                    self.wait_until(host, self.temp_changed(self.temp_snapshot()))
            else:  # while printing, with or without a frozen scheduler
                if self.wait_until(host, self.recorded_as(intent_id, "DISPATCHING")):
                    time.sleep(self.random.uniform(0, 0.5 if frozen else print_window_s))
            return self.kill(host)
        finally:
            if frozen:
                self.cups.thaw()

    def classify(self, intent_id: str, new: bool, answered: bool, changed: list[str]) -> str:
        if answered:
            return "after the answer" if new else "repeat, after the answer"
        if not new:
            return "repeat, before the answer"
        state = self.read_ledger().get(intent_id, {}).get("state")
        temp = changed[0] if changed else ""
        if state is None:
            if temp.startswith(".ledger"):
                return "while recording (temporary file not yet moved)"
            if temp.startswith(".bridge-status"):
                return "while writing the bridge status (temporary file not yet moved)"
            return "before the attempt was recorded"
        if state == "DISPATCHING":
            if temp.startswith(".ledger"):
                return "while settling (temporary file not yet moved)"
            return "while printing (record DISPATCHING)"
        return "after settling, before the answer"

    # ---- answers against the model

    def check_answer(self, answer: dict, intent_id: str, stored: dict | None, ledger: dict):
        self.assertEqual(answer["request_id"], "s")
        if stored is None:
            self.assertTrue(answer["ok"], f"a new attempt failed: {answer}")
            result = answer["result"]
            self.assertEqual((result["duplicate"], result["state"]), (False, "SUBMITTED"))
            self.assertEqual(ledger[intent_id]["os_job_id"], result["os_job_id"])
        elif stored["state"] == "SUBMITTED":
            self.assertTrue(answer["ok"], f"a printed attempt was refused: {answer}")
            self.assertEqual(answer["result"], {
                "duplicate": True, "intent_id": intent_id, "os_job_id": stored["os_job_id"],
                "printer": QUEUE, "state": "SUBMITTED"})
        else:
            self.assertEqual(answer.get("error", {}).get("code"), "UNKNOWN_OUTCOME", answer)

    def documents_by_title(self) -> Counter:
        return Counter(d.title for d in self.cups.captured_documents())

    def assert_printed_at_most_once(self):
        twice = {t: n for t, n in self.documents_by_title().items() if n > 1}
        self.assertEqual(twice, {}, "intents printed more than once")

    # ---- the test

    def calibrate(self) -> tuple[float, float]:
        """Seconds from sending a submit to a fresh host (after its hello) to its answer, and
        from its record appearing to the answer: the largest of three."""
        totals, windows = [], []
        for i in range(3):
            intent_id = f"calibrate-{i}"
            host = self.start_host()
            self.assertTrue(host.request("hello", "warm")["ok"])
            started = now()
            host.send("submit", "s", self.payload(intent_id))
            self.wait_until(host, self.recorded_as(intent_id, "DISPATCHING"), 30)
            recorded = now()
            answer = host.read_answer(30)
            done = now()
            self.assertTrue(answer["ok"], answer)
            self.process_id(host)
            self.assertEqual(host.finish().returncode, 0)
            totals.append(done - started)
            windows.append(done - recorded)
            self.intents.append(intent_id)
            self.counts["attempts"] += 1
            self.counts["answered"] += 1
        self.known = self.read_ledger()
        return max(totals), max(windows)

    def test_killed_submits_never_lose_an_answered_attempt_nor_print_twice(self):
        started = now()
        duration_s, print_window_s = self.calibrate()
        print(f"\nseed {SEED}; a submit takes up to {duration_s * 1000:.0f} ms, "
              f"{print_window_s * 1000:.0f} ms of it after the record is saved", flush=True)
        host, ledger = self.next_message()
        for kill in range(KILLS):
            process_id = self.process_id(host)
            # A new intent, or one used before (answered, refused, unknown or never recorded).
            if self.intents and self.random.random() < REPEAT_SHARE:
                intent_id = self.random.choice(self.intents)
            else:
                intent_id = f"crash-{kill:04d}"
                self.intents.append(intent_id)
            stored = self.known.get(intent_id)
            new = stored is None
            modes = MODES if new else {"timed": 1}
            mode = self.random.choices(list(modes), weights=list(modes.values()))[0]
            self.modes[mode] += 1
            self.counts["attempts"] += 1

            before = dict(self.temp_files)
            answers = self.run_submit(host, intent_id, mode, duration_s, print_window_s)
            self.counts["kills"] += 1
            answers = [a for a in answers if a["request_id"] == "s"]
            self.assertLessEqual(len(answers), 1)
            changed = self.check_state_folder(before, process_id)
            if answers:
                self.assertEqual(changed, [], "an answered submit left a temporary file")
            phase = self.classify(intent_id, new, bool(answers), changed)
            self.phases[phase] += 1

            host, ledger = self.next_message()
            if answers:
                self.counts["answered"] += 1
                self.check_answer(answers[0], intent_id, stored, ledger)
            record = ledger.get(intent_id)
            if stored is not None:
                self.assertEqual(record, stored, "a repeated submit changed its attempt")
            elif record is not None:
                self.assertIn(record["state"], SETTLED, record)
                if record["state"] == "UNKNOWN":
                    self.assertEqual(record["error_code"], "HOST_RESTARTED", record)
                    self.counts["UNKNOWN after recovery"] += 1
            strangers = set(ledger) - set(self.known) - {intent_id}
            self.assertEqual(strangers, set(), "records of attempts never sent")
            self.known = ledger
            self.assert_printed_at_most_once()
        self.assertEqual(host.finish().returncode, 0)
        self.check_final_prints()
        self.counts["temporary files left"] = len(self.temp_files)
        self.report(now() - started)

    def check_final_prints(self):
        deadline = now() + 60
        while self.cups.jobs("not-completed").strip() and now() < deadline:
            time.sleep(0.2)
        time.sleep(1.0)
        printed = self.documents_by_title()
        self.assert_printed_at_most_once()
        for intent_id in self.intents:
            record = self.known.get(intent_id)
            if record is None:
                self.assertEqual(printed[intent_id], 0, f"{intent_id} printed without a record")
            elif record["state"] == "SUBMITTED":
                self.assertEqual(printed[intent_id], 1, f"{intent_id} SUBMITTED but not printed")
            elif printed[intent_id]:
                self.counts["UNKNOWN that did print"] += 1
        self.counts["printed"] = sum(printed.values())
        self.counts["recorded attempts"] = len(self.known)
        self.counts["SUBMITTED"] = sum(r["state"] == "SUBMITTED" for r in self.known.values())
        self.counts["UNKNOWN"] = sum(r["state"] == "UNKNOWN" for r in self.known.values())

    def report(self, seconds: float):
        order = ["kills", "attempts", "answered", "recorded attempts", "SUBMITTED", "UNKNOWN",
                 "UNKNOWN after recovery", "printed", "UNKNOWN that did print",
                 "temporary files left"]
        print("counts: " + ", ".join(f"{k} {self.counts[k]}" for k in order))
        print("kill moments chosen: " + ", ".join(f"{k} {v}" for k, v in self.modes.items()))
        print("where the kills landed:")
        for phase, count in self.phases.most_common():
            print(f"  {count:4d}  {phase}")
        print(f"temporary files: {sorted(self.temp_files)}")
        if not any("not yet moved" in phase for phase in self.phases):
            print("note: no kill landed while a temporary ledger file was being written")
        print(f"{seconds:.1f} s", flush=True)


if __name__ == "__main__":
    main()
