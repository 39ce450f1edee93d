#!/usr/bin/env python3
"""The Linux host as a browser drives it: framed requests on standard input against a private
CUPS scheduler with a ZPL label queue, the state under a private XDG_STATE_HOME.

    PYTHONPATH=tests python3 tests/linux/test_linux_host.py --host build/linux/vantrel-print-host

A session prints one label and answers its repetition from the ledger (one capture, never
two); get_printer tells each kind of queue in one request; a media the job names is the page, and
one the queue cannot give is refused before anything reaches it; the state folder and files are
private to the user; get_job never calls a label that may have printed failed, and moves a record
only by a job of its own queue; a queue named in other bytes than UTF-8 is listed in UTF-8; a
ledger written by the Linux host is answered byte for byte by the Windows host under Wine, and the
other way round. Exits 77 (skipped) without cupsd or the builds, unless CI or
VANTREL_E2E_REQUIRED is set.
"""

import json
import os
import re
import resource
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from rig import images, protocol, testing
from rig.cups import DYMO_450, GENERIC_POSTSCRIPT, ZEBRA_ZPL, CupsScheduler, StubScheduler
from rig.labels import notched_label
from rig.ledger import ledger_text
from rig.ledger import record as ledger_record
from rig.programs import missing_prerequisites as wine_missing
from rig.wine import WinePrefix

HOST = None
QUEUE = "Label_ZPL"
LABEL = notched_label(406, 609, (40, 40, 60))


def label_request(intent_id: str) -> dict:
    return protocol.submit_payload(intent_id, QUEUE, LABEL, 406, 609, title=intent_id)


def get_printer(printer: str) -> bytes:
    return protocol.envelope("get_printer", printer, {"printer": printer})


def size_named(name: str) -> tuple[float, float]:
    """The width and height in micrometres that a self-describing media name says."""
    dimensions = name.rpartition("_")[2]
    width, height = dimensions[:-2].split("x")
    unit = 25_400 if dimensions.endswith("in") else 1000
    return float(width) * unit, float(height) * unit


def run_host(requests: list[bytes], env: dict, host: str | None = None) -> list[dict]:
    result = subprocess.run([host or HOST], input=b"".join(protocol.frame(r) for r in requests), env=env,
                            capture_output=True, timeout=60)
    assert result.returncode == 0, (result.returncode, result.stderr)
    bodies, rest = protocol.split_frames(result.stdout)
    assert rest == b"", rest
    return [protocol.decode_answer(body) for body in bodies]


class LinuxHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scheduler = CupsScheduler()
        cls.addClassCleanup(cls.scheduler.close)
        cls.scheduler.add_queue(QUEUE, model=ZEBRA_ZPL, options=("media=w288h432",), default=True)

    def setUp(self):
        self.state_home = Path(tempfile.mkdtemp(prefix="vantrel-state-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.state_home)])
        self.env = dict(self.scheduler.client_env, XDG_STATE_HOME=str(self.state_home))
        self.folder = self.state_home / "com.vantrel.print"

    def captures(self) -> list:
        return self.scheduler.captured_documents(QUEUE)

    def settled_job(self, intent_id: str) -> dict:
        """get_job, asked until the record is past SUBMITTED and OBSERVED."""
        def settled():
            (answer,) = run_host([protocol.get_job("g", intent_id)], self.env)
            return answer if answer["result"]["state"] not in ("SUBMITTED", "OBSERVED") else None
        return self.scheduler.wait_for(settled, what=f"the job of {intent_id} to end")

    def test_session_prints_once_and_answers_the_repetition_from_the_ledger(self):
        before = len(self.captures())
        hello, listing, first, again, job = run_host([
            protocol.hello("h"), protocol.list_printers("l"),
            protocol.submit("s1", label_request("order-1")),
            protocol.submit("s2", label_request("order-1")),
            protocol.get_job("g", "order-1")], self.env)

        self.assertEqual(hello["result"]["platform"], "linux")
        self.assertEqual(listing["result"]["default_printer"], QUEUE)
        self.assertIn({"enabled": True, "name": QUEUE, "state": "idle", "uri": "cups"},
                      listing["result"]["printers"])
        self.assertTrue(first["ok"], first)
        self.assertEqual((first["result"]["duplicate"], first["result"]["state"]),
                         (False, "SUBMITTED"))
        self.assertEqual(again["result"], dict(first["result"], duplicate=True))
        self.assertEqual(job["result"]["os_job_id"], first["result"]["os_job_id"])
        self.scheduler.capture(QUEUE, int(first["result"]["os_job_id"]))
        time.sleep(1)  # a second document would have arrived by now
        self.assertEqual(len(self.captures()), before + 1)

        # The state is the user's alone.
        self.assertEqual(stat.S_IMODE(self.folder.stat().st_mode), 0o700)
        self.assertEqual(stat.S_IMODE((self.folder / "ledger.json").stat().st_mode), 0o600)

    def test_frozen_scheduler_fails_a_submit_and_a_get_printer_at_its_deadline(self):
        for request in (protocol.submit("s", label_request("hung")), get_printer(QUEUE)):
            host = subprocess.Popen([HOST], env=self.env, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.scheduler.freeze()
            try:
                started = time.monotonic()
                out, err = host.communicate(protocol.frame(request), timeout=60)
                elapsed = time.monotonic() - started
            finally:
                self.scheduler.thaw()
            (answer,), _ = protocol.split_frames(out)
            self.assertEqual(protocol.decode_answer(answer)["error"]["code"],
                             "PRE_SUBMIT_UNAVAILABLE")
            self.assertEqual((host.returncode, err), (0, b""))
            # The bound is the behaviour: the scheduler's deadline ends the request before the
            # 12 s watchdog would end the host.
            self.assertLess(elapsed, 11)
        # Nothing of the submit was recorded.
        (again,) = run_host([protocol.submit("s", label_request("hung"))], self.env)
        self.assertEqual((again["result"]["state"], again["result"]["duplicate"]),
                         ("SUBMITTED", False), again)

    def test_get_printer_tells_each_kind_of_queue_in_one_request(self):
        queues = {QUEUE: {}, "Label_DYMO": {"model": DYMO_450},
                  "Office": {"model": GENERIC_POSTSCRIPT}, "Letter_4x6": {"ppd": "letter-and-4x6"},
                  "Many_Sizes": {"ppd": "many-sizes"}}
        for name, driver in queues.items():
            if driver:
                self.scheduler.add_queue(name, **driver)
                self.addCleanup(self.scheduler.remove_queue, name)
        (listing,) = run_host([protocol.list_printers("l")], self.env)
        listed = {printer["name"]: printer for printer in listing["result"]["printers"]}
        before = len(self.scheduler.operations())
        answers = dict(zip(queues, run_host([get_printer(name) for name in queues], self.env)))
        time.sleep(0.3)  # the access log is written after the answer
        self.assertEqual(self.scheduler.operations()[before:],
                         ["Get-Printer-Attributes"] * len(queues))

        for name, answer in answers.items():
            with self.subTest(name):
                details = answer["result"]
                self.assertEqual({key: details[key] for key in listed[name]}, listed[name])
                self.assertEqual(details["is_default"],
                                 name == listing["result"]["default_printer"])
                self.assertIn(details["default_resolution"], details["resolutions"])
                self.assertIn(details["default_media"], [m["name"] for m in details["media"]])
                # CUPS lists its default paper's family as ready on every queue: a guess, left out.
                self.assertEqual(details["media_ready"], [])
                self.assertEqual(details["media_truncated"], name == "Many_Sizes")
                for media in details["media"]:
                    width, height = size_named(media["name"])
                    self.assertLessEqual(abs(width - media["width_um"]), 500, media)
                    self.assertLessEqual(abs(height - media["height_um"]), 500, media)
                    area = media["printable_area"]
                    self.assertLessEqual(area["x_um"] + area["width_um"], media["width_um"])
                    self.assertLessEqual(area["y_um"] + area["height_um"], media["height_um"])
        self.assertEqual(answers[QUEUE]["result"]["default_media"], "na_index-4x6_4x6in")
        self.assertEqual((answers["Office"]["result"]["color"], answers[QUEUE]["result"]["color"]),
                         (True, False))
        def area(x, y, width, height):
            return {"x_um": x, "y_um": y, "width_um": width, "height_um": height}
        self.assertEqual([(m["name"], m["printable_area"])
                          for m in answers["Letter_4x6"]["result"]["media"]],
                         [("na_index-4x6_4x6in", area(0, 0, 101600, 152400)),
                          ("na_letter_8.5x11in", area(4230, 4230, 207440, 270940))])
        # 300 sizes, the default last: the first 255 and the default.
        many = answers["Many_Sizes"]["result"]
        self.assertEqual((len(many["media"]), many["media"][-1]["name"], many["default_media"]),
                         (256, "na_index-4x6_4x6in", "na_index-4x6_4x6in"))

    def test_a_4x6_label_with_its_media_lands_on_a_4x6_page_of_a_letter_queue(self):
        queue = "Letter_Media"
        self.scheduler.add_queue(queue, "letter-and-4x6")
        self.addCleanup(self.scheduler.remove_queue, queue)
        label = notched_label(812, 1218, (40, 40, 60))
        request = protocol.submit_payload("media-4x6", queue, label, 812, 1218,
                                          media="na_index-4x6_4x6in")
        (answer,) = run_host([protocol.submit("s", request)], self.env)
        self.assertEqual(answer["result"]["state"], "SUBMITTED", answer)
        document = self.scheduler.capture(queue, int(answer["result"]["os_job_id"]))
        self.assertEqual(document.options["media"], "na_index-4x6_4x6in")
        (page,) = images.pages(document.path, 203)
        self.assertEqual((page.width, page.height), (812, 1218))
        for got, expected in zip(page.dark_box(), (0, 0, 812, 1218)):
            self.assertLessEqual(abs(got - expected), 1)

    def test_media_the_queue_cannot_give_is_refused_before_anything_reaches_it(self):
        # A size the queue lacks; and a queue whose answer names its Letter sheet as 4 x 6 in, as
        # one whose driver keeps its own paper whatever is selected would (a stub scheduler).
        letter = {"media-size": {"x-dimension": 21590, "y-dimension": 27940},
                  "media-size-name": "na_index-4x6_4x6in"}
        with StubScheduler({"printer-is-accepting-jobs": True,
                            "printer-resolution-default": (203, 203),
                            "media-col-database": [letter]}) as stub:
            for env, operations, media, code in (
                    # Beyond the ZPL driver's custom range (8 in wide at most).
                    (self.env, self.scheduler.operations, "custom_9x9.9in", "MEDIA_UNSUPPORTED"),
                    (dict(stub.client_env, XDG_STATE_HOME=str(self.state_home)),
                     lambda: stub.operations, "na_index-4x6_4x6in", "MEDIA_MISMATCH")):
                with self.subTest(code):
                    intent = f"refused-{code}"
                    before = len(operations())
                    request = dict(label_request(intent), media=media)
                    refused, job = run_host([protocol.submit("s", request),
                                             protocol.get_job("g", intent)], env)
                    self.assertEqual(refused["error"]["code"], code, refused)
                    self.assertEqual(job["result"]["state"], "FAILED")
                    time.sleep(0.3)
                    self.assertEqual(operations()[before:], ["Get-Printer-Attributes"])

    def test_hosts_killed_mid_submit_never_print_twice(self):
        # Each intent is submitted by a host killed at a different moment, then by a host that
        # finishes: at most one label per intent, and the ledger always loads.
        before = len(self.captures())
        intents = [f"killed-{i}" for i in range(12)]
        for i, intent in enumerate(intents):
            host = subprocess.Popen([HOST], env=self.env, stdin=subprocess.PIPE,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            host.stdin.write(protocol.frame(protocol.submit("s", label_request(intent))))
            host.stdin.flush()
            time.sleep(0.004 * i)
            host.kill()
            host.wait()
            host.stdin.close()
        answers = run_host([protocol.submit(f"r{i}", label_request(intent))
                            for i, intent in enumerate(intents)], self.env)
        for answer in answers:
            self.assertIn(answer.get("error", {}).get("code", "ok"), ("ok", "UNKNOWN_OUTCOME"),
                          answer)
        time.sleep(2)  # let every queued job reach the capture
        titles = [document.title for document in self.captures()[before:]]
        for intent in intents:
            self.assertLessEqual(titles.count(intent), 1, f"{intent} printed twice")
        ledger = json.loads((self.folder / "ledger.json").read_text())["jobs"]
        self.assertEqual(sorted(ledger), sorted(intents))
        self.assertNotIn("DISPATCHING", {record["state"] for record in ledger.values()})

    def test_browser_gone_is_an_io_error_not_a_signal_and_the_label_is_logged(self):
        # The browser closed its end of our standard output: the answer cannot be written, yet
        # the label it printed leaves its line, with its intent and job.
        reader, writer = os.pipe()
        os.close(reader)
        result = subprocess.run([HOST], input=protocol.frame(
            protocol.submit("s", label_request("order-gone"))), stdout=writer,
            stderr=subprocess.PIPE, env=self.env, timeout=30)
        os.close(writer)
        self.assertEqual((result.returncode, result.stderr), (1, b"vantrel-print-host: IO_ERROR\n"))
        job = json.loads((self.folder / "ledger.json").read_text())["jobs"]["order-gone"]["os_job_id"]
        self.scheduler.capture(QUEUE, int(job))
        self.settled_job("order-gone")  # the queue idle again for the tests after this one
        log = (self.folder / "logs" / "host.log").read_text()
        self.assertRegex(log, rf" message type=submit request_id=s outcome=ok duration_ms=\d+ "
                              rf"intent_id=order-gone queue={QUEUE} state=SUBMITTED job={job} "
                              rf"answer=unwritten\n")

    def test_hostile_state_files_are_refused_never_followed_nor_waited_on(self):
        """One row per thing that may stand at a state file: the host answers at once, follows
        no link, and a file-size limit below the log's size costs only its lines."""
        def cleared(path: Path) -> Path:
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path)
            elif path.exists() or path.is_symlink():
                path.unlink()
            return path

        def link(path: Path, target: Path):
            cleared(path).symlink_to(target)

        size_limit = 64 * 1024
        rows = [
            # (what stands there, arrange(folder, outside), hello's error code or None, check)
            ("the log is a link", lambda f, o: link(f / "logs/host.log", o / "bashrc"), None,
             lambda f, o: self.assertEqual((o / "bashrc").read_text(), "kept\n")),
            ("the log's folder is a link", lambda f, o: link(f / "logs", o), None,
             lambda f, o: self.assertFalse((o / "host.log").exists())),
            ("the lock is a link", lambda f, o: link(f / "ledger.lock", o / "made"),
             "STATE_UNAVAILABLE", lambda f, o: self.assertFalse((o / "made").exists())),
            ("the log is a FIFO", lambda f, o: os.mkfifo(cleared(f / "logs/host.log")), None, None),
            ("the ledger is a FIFO", lambda f, o: os.mkfifo(cleared(f / "ledger.json")),
             "STATE_UNAVAILABLE", None),
            ("the ledger is a folder", lambda f, o: cleared(f / "ledger.json").mkdir(),
             "STATE_UNAVAILABLE", None),
            ("a file-size limit below the log's size",
             lambda f, o: (f / "logs/host.log").write_bytes(b"x\n" * size_limit), None,
             lambda f, o: self.assertEqual((f / "logs/host.log").stat().st_size, 2 * size_limit)),
            # A line pasted into a shell runs nothing.
            ("a request_id that is shell text", lambda f, o: None, "BAD_REQUEST",
             lambda f, o: self.assertNotIn("$(", (f / "logs/host.log").read_text())),
        ]
        for name, arrange, code, check in rows:
            with self.subTest(name):
                home = Path(tempfile.mkdtemp(prefix="vantrel-hostile-"))
                self.addCleanup(shutil.rmtree, home, True)
                folder, outside = home / "com.vantrel.print", home / "outside"
                outside.mkdir()
                (outside / "bashrc").write_text("kept\n")
                env = dict(self.env, XDG_STATE_HOME=str(home))
                run_host([protocol.hello("h")], env)  # the state as a first message leaves it
                arrange(folder, outside)
                limited = name.startswith("a file-size limit")
                request_id = f"$(touch {outside}/ran)" if name.startswith("a request_id") else "h"
                result = subprocess.run(
                    [HOST], input=protocol.frame(protocol.hello(request_id)), env=env,
                    capture_output=True, timeout=10,
                    preexec_fn=(lambda: resource.setrlimit(
                        resource.RLIMIT_FSIZE, (size_limit, size_limit))) if limited else None)
                self.assertEqual(result.returncode, 0, result.stderr)
                (answer,) = [protocol.decode_answer(b) for b in protocol.split_frames(result.stdout)[0]]
                self.assertEqual(None if answer["ok"] else answer["error"]["code"], code, answer)
                if check:
                    check(folder, outside)
                # Nothing holds the state: the next host answers.
                for path in (folder / "ledger.json", folder / "ledger.lock", folder / "logs"):
                    if path.is_symlink() or (path.exists() and not path.is_file()):
                        cleared(path)
                (again,) = run_host([protocol.hello("h2")], env)
                self.assertTrue(again["ok"], again)

    def test_a_label_the_device_took_whole_before_failing_is_an_unknown_outcome(self):
        # Under abort-job, a device that fails after taking the whole label aborts the job.
        queue = "Label_Aborting"
        self.scheduler.add_queue(queue, model=ZEBRA_ZPL,
                                 options=("printer-error-policy=abort-job",))
        self.scheduler.fail_after_output(queue)
        request = protocol.submit("s", dict(label_request("aborted"), printer=queue))
        (first,) = run_host([request], self.env)
        self.assertEqual(first["result"]["state"], "SUBMITTED", first)
        self.scheduler.capture(queue, int(first["result"]["os_job_id"]))

        self.assertEqual(self.settled_job("aborted")["result"]["state"], "UNKNOWN")
        (again,) = run_host([request], self.env)
        self.assertEqual(again["error"]["code"], "UNKNOWN_OUTCOME", again)

    def test_a_job_number_held_by_another_queues_job_is_a_job_gone(self):
        # The scheduler's job numbers start again from 1 when its history is reset: a record's
        # number may come to belong to a job on another queue, which must not move the record.
        other = "Label_Other"
        self.scheduler.add_queue(other, model=ZEBRA_ZPL)
        raw = self.state_home / "raw.txt"
        raw.write_text("raw\n")
        printed = self.scheduler.tool(["lp", "-d", other, "-o", "raw", str(raw)]).stdout
        job = int(re.search(rf"{other}-(\d+)", printed).group(1))
        self.scheduler.wait_for(lambda: f"{other}-{job} " in self.scheduler.jobs("completed"),
                                what=f"job {job} to complete")
        self.folder.mkdir(mode=0o700)
        (self.folder / "ledger.json").write_text(ledger_text({
            intent: ledger_record(intent, state, printer=QUEUE, os_job_id=str(job))
            for intent, state in (("moved-1", "SUBMITTED"), ("moved-2", "OBSERVED"))}))

        submitted, observed = run_host([protocol.get_job("g1", "moved-1"),
                                        protocol.get_job("g2", "moved-2")], self.env)
        self.assertEqual(submitted["result"]["state"], "SUBMITTED", submitted)
        self.assertEqual(observed["result"]["state"], "UNKNOWN", observed)

    def test_a_queue_named_in_latin_1_is_listed_in_utf_8(self):
        # CUPS takes a queue name in any bytes; the browser reads UTF-8 only.
        latin_1 = "Caf\udce9"  # the byte 0xE9, as the file system's encoding escapes it
        self.scheduler.add_queue(latin_1, model=ZEBRA_ZPL)
        self.addCleanup(self.scheduler.remove_queue, latin_1)
        (listing,) = run_host([protocol.list_printers("l")], self.env)
        self.assertIn("Caf\ufffd", [printer["name"] for printer in listing["result"]["printers"]])

    def test_unknown_queue_refuses_before_anything_is_recorded(self):
        (answer,) = run_host([protocol.submit("s", dict(label_request("order-2"),
                                                         printer="No_Such_Queue"))], self.env)
        self.assertEqual(answer["error"]["code"], "PRE_SUBMIT_UNAVAILABLE", answer)
        ledger = self.folder / "ledger.json"
        self.assertFalse(ledger.exists() and "order-2" in json.loads(ledger.read_text())["jobs"])


class LedgerAcrossPlatforms(unittest.TestCase):
    """A ledger is plain JSON in one format: each host answers from the other's file."""

    @classmethod
    def setUpClass(cls):
        missing = wine_missing()
        if missing:
            testing.skip_or_fail(missing)
        cls.prefix = WinePrefix()
        cls.addClassCleanup(cls.prefix.close)

    def test_each_host_answers_get_job_from_the_others_ledger(self):
        state_home = Path(tempfile.mkdtemp(prefix="vantrel-state-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(state_home)])
        env = dict(os.environ, XDG_STATE_HOME=str(state_home))
        linux_folder = state_home / "com.vantrel.print"
        linux_folder.mkdir(mode=0o700)
        windows_ledger = self.prefix.state_file("ledger.json")
        windows_ledger.parent.mkdir(parents=True, exist_ok=True)

        stored = {"schema": 1, "updated_at_ms": int(time.time() * 1000), "jobs": {}}
        for intent_id, state in (("from-linux", "DISPATCHING"), ("from-windows", "DISPATCHING")):
            stored["jobs"][intent_id] = {
                "intent_id": intent_id, "payload_sha256": "ab" * 32, "state": state,
                "printer": "Label \u00e9", "os_job_id": "", "created_at_ms": 1, "updated_at_ms": 2,
                "error_code": "", "error_message": ""}
        text = json.dumps(stored, indent=2)
        (linux_folder / "ledger.json").write_text(text)
        windows_ledger.write_text(text)

        # Each host recovers (and so rewrites) its own ledger, then the other reads it.
        linux_answer = run_host([protocol.get_job("g", "from-linux")], env)[0]
        windows_answer = self.prefix.run_host(protocol.frame(protocol.get_job("g", "from-windows"))
                                              ).answers[0]
        linux_written = (linux_folder / "ledger.json").read_bytes()
        windows_written = windows_ledger.read_bytes()
        (linux_folder / "ledger.json").write_bytes(windows_written)
        windows_ledger.write_bytes(linux_written)
        linux_reads = run_host([protocol.get_job("g", "from-windows")], env)[0]
        windows_reads = self.prefix.run_host(protocol.frame(protocol.get_job("g", "from-linux"))
                                             ).answers[0]

        # Both wrote the same document but for the time of their recovery.
        without_times = [re.sub(rb'"updated_at_ms": \d+', b"", text)
                         for text in (linux_written, windows_written)]
        self.assertEqual(without_times[0], without_times[1])
        self.assertEqual(linux_answer["result"]["state"], "UNKNOWN")
        self.assertEqual(windows_reads["result"], linux_answer["result"])
        self.assertEqual(linux_reads["result"], windows_answer["result"])


def main():
    global HOST
    HOST, rest = testing.built_file_argument("--host")
    testing.run_script(rest, HOST, testing.CUPSD_NEEDED, testing.LPADMIN_NEEDED)


if __name__ == "__main__":
    main()
