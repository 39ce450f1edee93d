"""Concurrent Wine-run hosts over one state folder: four host processes at once, each sending a
mix of hello, list_printers, submit (intents shared by all hosts and intents of its own; labels
that print, labels refused after they are recorded, and labels for a queue that rejects jobs)
and get_job, for a bounded time. Every request gets exactly one valid answer; BRIDGE_BUSY only
after the 750 ms the lock is waited for (the answer's latency is measured); every intent is
printed at most once and each outcome is reported once as new; and the final ledger holds every
attempt that an answer reported as recorded, in the state that answer implies.

Now and then the scheduler is stopped for one to two seconds, as a slow print system would be:
the host holding the lock then keeps it that long, so the others wait out the lock and answer
BRIDGE_BUSY.

Environment: VANTREL_CONCURRENT_HOSTS (default 4), VANTREL_CONCURRENT_SECONDS (default 30),
VANTREL_CONCURRENT_SEED (default: random, printed), VANTREL_CONCURRENT_FREEZES (default 1; 0
keeps the scheduler running)."""

import os
import random
import statistics
import sys
import threading
import time
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path


from rig.programs import HELLO_CAPABILITIES, HOST_VERSION
from rig.images import black_png
from rig.ledger import records
from rig.protocol import submit_payload
from rig.testing import PrintingTestCase, main

QUEUE = "Label_Shared"
REJECTING = "Label_Rejecting"  # accepts the document but fails EndDoc: an unknown outcome
HOSTS = int(os.environ.get("VANTREL_CONCURRENT_HOSTS", "4"))
SECONDS = float(os.environ.get("VANTREL_CONCURRENT_SECONDS", "30"))
SEED = int(os.environ.get("VANTREL_CONCURRENT_SEED") or random.SystemRandom().randrange(1 << 32))
FREEZES = os.environ.get("VANTREL_CONCURRENT_FREEZES", "1") != "0"
LOCK_WAIT_S = 0.75
SHARED = 6  # intents of each kind that every host submits

BUSY = {"code": "BRIDGE_BUSY",
        "message": "Another print-helper request is still finishing. Check status again shortly."}
HELLO = {"arch": "x86_64", "capabilities": HELLO_CAPABILITIES, "platform": "windows",
         "protocol": 1, "version": HOST_VERSION}
MEDIA_UNSUPPORTED = ("Windows media tokens are not supported yet; select the label size in the "
                     "queue preferences.")
ATTEMPT_FAILED = ("This attempt already failed. Use a deliberate reprint attempt with a new "
                  "identifier.")
UNKNOWN_REFUSAL = ("This attempt may already be in the operating-system queue. Use a deliberate "
                   "reprint attempt instead of resubmitting it.")
NOT_FOUND = {"code": "JOB_NOT_FOUND", "message": "No print attempt has that identifier."}

# An intent's kind decides its queue and what its attempt becomes.
KINDS = {"print": "SUBMITTED", "media": "FAILED", "reject": "UNKNOWN"}


def kind_of(intent_id: str) -> str:
    return intent_id.split("-", 1)[0]


def is_busy(answer: dict) -> bool:
    return not answer["ok"] and answer["error"]["code"] == "BRIDGE_BUSY"


@dataclass
class Exchange:
    host: int
    request_id: str
    type: str
    intent_id: str | None
    latency_s: float
    answer: dict


class Worker(threading.Thread):
    """One host process and the requests it is sent, one after another, until the deadline."""

    def __init__(self, number: int, prefix, cups, label: bytes, deadline: float, seed: int):
        super().__init__(name=f"host-{number}", daemon=True)
        self.number = number
        self.host = prefix.start_host(cups=cups)
        self.label = label
        self.deadline = deadline
        self.random = random.Random(seed)
        self.exchanges: list[Exchange] = []
        self.own = 0
        self.failure: BaseException | None = None

    def payload(self, intent_id: str) -> dict:
        kind = kind_of(intent_id)
        extra = {"media": "4x6"} if kind == "media" else {}
        return submit_payload(intent_id, REJECTING if kind == "reject" else QUEUE, self.label,
                              812, 1218, **extra)

    def pick_intent(self) -> str:
        if self.random.random() < 0.5 or not self.own:
            kind = self.random.choices(list(KINDS), weights=[6, 1, 1])[0]
            if self.random.random() < 0.5:
                self.own += 1
                return f"{kind}-h{self.number}-{self.own}"
            return f"{kind}-shared-{self.random.randrange(SHARED)}"
        return f"print-h{self.number}-{self.random.randint(1, self.own)}"

    def run(self):
        try:
            sequence = 0
            while time.monotonic() < self.deadline:
                sequence += 1
                request_id = f"h{self.number}-{sequence}"
                kind = self.random.choices(["hello", "list_printers", "submit", "get_job"],
                                           weights=[2, 1, 5, 2])[0]
                intent_id = None
                payload = None
                if kind == "submit":
                    intent_id = self.pick_intent()
                    payload = self.payload(intent_id)
                elif kind == "get_job":
                    intent_id = self.pick_intent()
                    payload = {"intent_id": intent_id}
                started = time.monotonic()
                answer = self.host.request(kind, request_id, payload, timeout=60)
                latency = time.monotonic() - started
                self.exchanges.append(Exchange(self.number, request_id, kind, intent_id,
                                               latency, answer))
                time.sleep(self.random.uniform(0, 0.02))
        except BaseException as error:  # reported by the test, on the main thread
            self.failure = error


class Freezer(threading.Thread):
    """Stops the scheduler for 1 to 2 s every 3 to 6 s (well inside the 12 s print watchdog)."""

    def __init__(self, cups, deadline: float, seed: int):
        super().__init__(name="freezer", daemon=True)
        self.cups = cups
        self.deadline = deadline
        self.random = random.Random(seed)
        self.stop = threading.Event()
        self.frozen_s = 0.0

    def run(self):
        while not self.stop.wait(self.random.uniform(3, 6)) and time.monotonic() < self.deadline:
            pause = self.random.uniform(1, 2)
            self.cups.freeze()
            try:
                self.stop.wait(pause)
            finally:
                self.cups.thaw()
            self.frozen_s += pause


class ConcurrentHosts(PrintingTestCase):
    QUEUES = ((QUEUE, "label-4x6-203"), (REJECTING, "label-4x6-203"))
    REJECTING_QUEUES = (REJECTING,)

    label = black_png(812, 1218)

    def test_four_hosts_share_one_ledger_without_losing_or_repeating_an_attempt(self):
        print(f"\nseed {SEED}; {HOSTS} hosts for {SECONDS:g} s", flush=True)
        deadline = time.monotonic() + SECONDS
        workers = [Worker(n, self.prefix, self.cups, self.label, deadline, SEED + n)
                   for n in range(HOSTS)]
        for worker in workers:
            self.addCleanup(worker.host.close)
        freezer = Freezer(self.cups, deadline - 2, SEED)
        if FREEZES:
            freezer.start()
            self.addCleanup(self.cups.thaw)
            self.addCleanup(freezer.stop.set)
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(SECONDS + 120)
            self.assertFalse(worker.is_alive(), f"{worker.name} did not finish")
            if worker.failure is not None:
                raise AssertionError(f"{worker.name} failed") from worker.failure
        freezer.stop.set()
        if FREEZES:
            freezer.join(10)
        self.cups.thaw()
        print(f"scheduler stopped for {freezer.frozen_s:.1f} s in all", flush=True)
        for worker in workers:
            result = worker.host.finish(30)
            # One answer for every request: nothing more comes before the clean end.
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""),
                             worker.name)

        exchanges = [e for w in workers for e in w.exchanges]
        for exchange in exchanges:
            self.check_answer(exchange)
        recorded = self.check_outcomes(exchanges)
        self.check_ledger(recorded)
        printed = self.check_prints(recorded)
        self.report(exchanges, printed)

    # ---- each answer on its own

    def check_answer(self, e: Exchange):
        a = e.answer
        where = f"{e.request_id} ({e.type} {e.intent_id or ''}): {a}"
        self.assertEqual((a["protocol"], a["request_id"]), (1, e.request_id), where)
        members = ["protocol", "request_id", "ok", "result" if a["ok"] else "error"]
        self.assertEqual(list(a), members, where)
        if is_busy(a):
            self.assertEqual(a["error"], BUSY, where)
            self.assertGreaterEqual(e.latency_s, LOCK_WAIT_S, f"busy too early: {where}")
            return
        if e.type == "hello":
            self.assertEqual(a.get("result"), HELLO, where)
        elif e.type == "list_printers":
            self.assertTrue(a["ok"], where)
            self.assertEqual(a["result"]["default_printer"], QUEUE, where)
            self.assertEqual(sorted(p["name"] for p in a["result"]["printers"]),
                             sorted([QUEUE, REJECTING]), where)
        elif e.type == "get_job":
            if not a["ok"]:
                self.assertEqual(a["error"], NOT_FOUND, where)
            else:
                self.assertEqual(a["result"]["intent_id"], e.intent_id, where)
                self.assertEqual(a["result"]["state"], KINDS[kind_of(e.intent_id)], where)
        else:
            self.check_submit_answer(e, where)

    def check_submit_answer(self, e: Exchange, where: str):
        a = e.answer
        kind = kind_of(e.intent_id)
        if kind == "print":
            self.assertTrue(a["ok"], where)
            r = a["result"]
            self.assertEqual((r["intent_id"], r["printer"], r["state"]),
                             (e.intent_id, QUEUE, "SUBMITTED"), where)
            self.assertRegex(r["os_job_id"], r"^[1-9][0-9]*$", where)
        elif kind == "media":
            self.assertIn(a["error"], ({"code": "MEDIA_UNSUPPORTED", "message": MEDIA_UNSUPPORTED},
                                       {"code": "ATTEMPT_FAILED", "message": ATTEMPT_FAILED}),
                          where)
        else:
            self.assertEqual(a["error"]["code"], "UNKNOWN_OUTCOME", where)

    # ---- answers about one intent, across hosts

    @staticmethod
    def is_new_outcome(e: Exchange) -> bool:
        """Whether the answer reports the attempt's own outcome (not a repetition)."""
        a = e.answer
        if a["ok"]:
            return a["result"]["duplicate"] is False
        return a["error"]["code"] == "MEDIA_UNSUPPORTED" or (
            a["error"]["code"] == "UNKNOWN_OUTCOME" and a["error"]["message"] != UNKNOWN_REFUSAL)

    def check_outcomes(self, exchanges: list[Exchange]) -> dict[str, dict | None]:
        """Per intent: exactly one answer with the attempt's own outcome before any repetition
        can exist, and every repetition agreeing with it. Returns, for each intent that an answer
        reported as recorded, the submit result of its printing (None for other kinds)."""
        by_intent = defaultdict(list)
        for e in exchanges:
            if e.intent_id and not is_busy(e.answer):
                by_intent[e.intent_id].append(e)
        recorded = {}
        for intent_id, answers in by_intent.items():
            submits = [e for e in answers if e.type == "submit"]
            new = [e for e in submits if self.is_new_outcome(e)]
            found = [e for e in answers if e.type == "get_job" and e.answer["ok"]]
            self.assertLessEqual(len(new), 1, f"{intent_id} reported as new {len(new)} times")
            if submits:
                self.assertEqual(len(new), 1, f"{intent_id}: repetitions without a first attempt")
            elif found:
                self.fail(f"{intent_id}: get_job found an attempt that was never submitted")
            if not new:
                continue
            first = new[0].answer
            recorded[intent_id] = first["result"] if first["ok"] else None
            for e in submits:
                if e is not new[0] and e.answer["ok"]:
                    self.assertEqual(e.answer["result"], dict(first["result"], duplicate=True),
                                     f"{intent_id}: a repetition differs from the attempt")
            for e in found:
                if first["ok"]:
                    self.assertEqual(e.answer["result"]["os_job_id"], first["result"]["os_job_id"])
        return recorded

    def check_ledger(self, recorded: dict[str, dict | None]):
        ledger = records(self.prefix)
        self.assertEqual([k for k, r in ledger.items() if r["state"] == "DISPATCHING"], [])
        for intent_id, result in recorded.items():
            self.assertIn(intent_id, ledger, f"the ledger lost {intent_id}")
            record = ledger[intent_id]
            self.assertEqual(record["state"], KINDS[kind_of(intent_id)], record)
            if result is not None:
                self.assertEqual(record["os_job_id"], result["os_job_id"], record)
        self.assertEqual(set(ledger) - set(recorded), set(),
                         "records that no answer reported")

    def check_prints(self, recorded: dict[str, dict | None]) -> Counter:
        deadline = time.monotonic() + 60
        while self.cups.jobs("not-completed").strip() and time.monotonic() < deadline:
            time.sleep(0.2)
        time.sleep(1.0)
        printed = Counter(d.title for d in self.cups.captured_documents())
        self.assertEqual({t: n for t, n in printed.items() if n > 1}, {},
                         "intents printed more than once")
        for title in printed:
            self.assertEqual(kind_of(title), "print", f"{title} should never print")
            self.assertIn(title, recorded, f"{title} printed without an answer reporting it")
        for intent_id, result in recorded.items():
            if result is not None:
                self.assertEqual(printed[intent_id], 1, f"{intent_id} was not printed")
        return printed

    def report(self, exchanges: list[Exchange], printed: Counter):
        busy = [e for e in exchanges if is_busy(e.answer)]
        share = 100 * len(busy) / max(1, len(exchanges))
        print(f"requests {len(exchanges)}, BRIDGE_BUSY {len(busy)} ({share:.1f} %), "
              f"printed {sum(printed.values())}")
        for kind in ("hello", "list_printers", "submit", "get_job"):
            mine = [e for e in exchanges if e.type == kind]
            if not mine:
                continue
            latencies = sorted(e.latency_s * 1000 for e in mine)
            busy_here = sum(is_busy(e.answer) for e in mine)
            outcomes = Counter("ok" if e.answer["ok"] else e.answer["error"]["code"] for e in mine)
            p95 = latencies[int(0.95 * (len(latencies) - 1))]
            print(f"  {kind:<14} {len(mine):5d} requests, busy {busy_here:4d}; latency ms median "
                  f"{statistics.median(latencies):.0f}, 95% {p95:.0f}, max {latencies[-1]:.0f}; "
                  f"{dict(outcomes)}")
        if busy:
            shortest = min(e.latency_s for e in busy) * 1000
            print(f"  shortest wait before BRIDGE_BUSY: {shortest:.0f} ms")
        per_host = Counter(e.host for e in exchanges)
        print("  requests per host: " + ", ".join(f"{per_host[n]}" for n in sorted(per_host)),
              flush=True)


if __name__ == "__main__":
    main()
