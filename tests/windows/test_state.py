"""The durable state of the Wine-run host: the state folder and the ledger lock, the
ledger file (strict reading, exact writing, never overwritten when unreadable), recovery
and retention at every message, the bridge status file, and durable replacement."""

import json
import os
import subprocess
import time
import sys
from pathlib import Path


from rig.programs import HOST_VERSION
from rig.ledger import hold_ledger_lock, ledger_text, now_ms, record, write_ledger
from rig.protocol import frame, get_job, hello, submit
from rig.testing import HostTestCase, main

DAY_MS = 86_400_000
BUSY = {"code": "BRIDGE_BUSY",
        "message": "Another print-helper request is still finishing. Check status again shortly."}
RESTARTED = "The helper restarted before the operating system acknowledged this job."


def chattr_supported(path) -> bool:
    """Whether the file system lets root make a file immutable (as root, modes stop nothing)."""
    probe = path / ".chattr-probe"
    probe.write_bytes(b"")
    try:
        return subprocess.run(["chattr", "+i", str(probe)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    finally:
        subprocess.run(["chattr", "-i", str(probe)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        probe.unlink()


class StateTestCase(HostTestCase):
    def hello(self, request_id="r1") -> dict:
        result = self.run_host(frame(hello(request_id)))
        self.assertEqual((result.returncode, result.stderr), (0, b""), result.stderr_text)
        (answer,) = result.answers
        return answer

    def write_ledger(self, text: str | bytes):
        write_ledger(self.prefix, text)

    def state_names(self) -> set[str]:
        """The state's files; the diagnostics log's folder is not one of them."""
        return {p.name for p in self.prefix.state_dir.iterdir()} - {"logs"}

    def assert_error(self, answer: dict, code: str, message: str | None = None,
                     request_id: str = "r1"):
        self.assertEqual((answer["request_id"], answer["ok"]), (request_id, False), answer)
        self.assertEqual(answer["error"]["code"], code, answer)
        if message is not None:
            self.assertEqual(answer["error"]["message"], message)


class StateFolder(StateTestCase):
    def test_first_hello_creates_folder_lock_and_bridge_status_but_no_ledger(self):
        before = now_ms()
        self.assertTrue(self.hello()["ok"])
        self.assertEqual(self.state_names(), {"ledger.lock", "bridge-status.json"})
        self.assertEqual(self.prefix.state_file("ledger.lock").stat().st_size, 0)
        text = self.prefix.read_state_file("bridge-status.json").decode()
        status = json.loads(text)
        self.assertEqual(list(status), ["schema", "version", "protocol", "last_contact_ms"])
        self.assertEqual(text, json.dumps(status, indent=2))
        self.assertEqual((status["schema"], status["version"], status["protocol"]),
                         (1, HOST_VERSION, 1))
        self.assertGreaterEqual(status["last_contact_ms"], before)
        self.assertLessEqual(status["last_contact_ms"], now_ms())

    def test_existing_folder_is_used_unchanged_and_the_lock_file_stays_empty(self):
        self.prefix.write_state_file("notes.txt", "kept")
        host = self.start_host()
        for i in range(5):
            self.assertTrue(host.request("hello", f"r{i}")["ok"])
        self.assertEqual(host.finish().returncode, 0)
        self.assertEqual(self.prefix.read_state_file("notes.txt"), b"kept")
        self.assertEqual(self.prefix.state_file("ledger.lock").stat().st_size, 0)
        self.assertEqual(self.state_names(), {"ledger.lock", "bridge-status.json", "notes.txt"})

    def test_file_in_place_of_the_folder_cannot_be_state(self):
        self.prefix.local_appdata.mkdir(parents=True, exist_ok=True)
        self.prefix.state_dir.write_bytes(b"not a folder")
        answer = self.hello()
        self.assert_error(answer, "STATE_UNAVAILABLE")
        self.assertRegex(answer["error"]["message"],
                         r"^Cannot create print-helper state: .+ \(os error 183\)$")
        result = self.run_host(frame(submit("s1", {})))
        self.assert_error(result.answers[0], "PRE_SUBMIT_UNAVAILABLE", answer["error"]["message"],
                          request_id="s1")
        self.assertEqual(self.prefix.state_dir.read_bytes(), b"not a folder")

    def test_known_folder_lookup_failure(self):
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
        query = self.prefix.run(["reg", "query", key, "/v", "Local AppData"])
        original = next((line.split("REG_EXPAND_SZ", 1)[1].strip()
                         for line in query.text.splitlines() if "REG_EXPAND_SZ" in line), None)
        self.prefix.reg_add(key, "Local AppData", "REG_EXPAND_SZ", r"Q:\missing\nowhere")
        try:
            answer = self.hello()
        finally:
            if original is None:
                self.prefix.reg_delete(key, "Local AppData")
            else:
                self.prefix.reg_add(key, "Local AppData", "REG_EXPAND_SZ", original)
        self.assert_error(answer, "STATE_UNAVAILABLE",
                          "Cannot locate the current user's application-data directory.")
        self.assertTrue(self.hello()["ok"])


class LedgerLock(StateTestCase):
    def warm_host(self):
        host = self.start_host()
        self.assertTrue(host.request("hello", "warm")["ok"])
        return host

    def test_lock_held_elsewhere_gives_busy_no_sooner_than_750_ms(self):
        host = self.warm_host()
        with hold_ledger_lock(self.prefix):
            started = time.monotonic()
            answer = host.request("submit", "s1", {})
            elapsed = time.monotonic() - started
        self.assertEqual(answer, {"protocol": 1, "request_id": "s1", "ok": False, "error": BUSY})
        self.assertGreaterEqual(elapsed, 0.75)
        self.assertLess(elapsed, 5.0)
        self.assertTrue(host.request("hello", "after")["ok"])

    def test_lock_released_100_ms_into_the_wait_is_taken_at_the_next_attempt(self):
        host = self.warm_host()
        holder = hold_ledger_lock(self.prefix)
        self.addCleanup(holder.kill)
        started = time.monotonic()
        host.send("hello", "waited")
        time.sleep(0.1)
        holder.release()
        answer = host.read_answer()
        elapsed = time.monotonic() - started
        self.assertTrue(answer["ok"], answer)
        self.assertLess(elapsed, 0.6)

    def test_killed_holder_frees_the_lock_at_once(self):
        host = self.warm_host()
        hold_ledger_lock(self.prefix).kill()  # SIGKILL
        started = time.monotonic()
        self.assertTrue(host.request("hello", "free")["ok"])
        self.assertLess(time.monotonic() - started, 0.5)

    def test_lock_file_that_is_a_link_to_a_device_fails_at_once(self):
        self.prefix.state_dir.mkdir(parents=True)
        os.symlink("/dev/null", self.prefix.state_file("ledger.lock"))
        host = self.start_host()
        started = time.monotonic()
        answer = host.request("hello")
        elapsed = time.monotonic() - started
        self.assert_error(answer, "STATE_UNAVAILABLE")
        self.assertRegex(answer["error"]["message"], r"^Cannot open print-helper lock: .+"
                         r"ledger\.lock is a link, a folder or a special file, not a file$")
        self.assertLess(elapsed, 0.75)  # not the lock's wait


class LedgerFile(StateTestCase):
    def test_unreadable_ledgers_are_refused_and_left_untouched(self):
        good = ledger_text({"a": record("a")})
        without_time = record("a")
        del without_time["updated_at_ms"]
        cases = {
            "empty": b"",
            "white space only": b" \n\t ",
            "byte-order mark": b"\xef\xbb\xbf" + good.encode(),
            "truncated": good.encode()[:-40],
            "hand edit with a trailing comma": good.replace('"error_message": ""',
                                                            '"error_message": "",').encode(),
            "record without updated_at_ms": ledger_text({"a": without_time}).encode(),
            "schema -1": good.replace('"schema": 1', '"schema": -1').encode(),
            "schema 1.5": good.replace('"schema": 1', '"schema": 1.5').encode(),
            "invalid UTF-8": good.replace("Label", "Lab\udcffel").encode("utf-8", "surrogateescape"),
        }
        for name, data in cases.items():
            with self.subTest(name):
                self.prefix.reset_state()
                self.write_ledger(data)
                # The loop goes on after the refusal and refuses the next message the same way.
                result = self.run_host(frame(hello("h1")) +
                                       frame(get_job("g1", "a")))
                self.assertEqual(result.returncode, 0)
                first, second = result.answers
                self.assert_error(first, "STATE_CORRUPT", "The print-helper ledger is unreadable.",
                                  request_id="h1")
                self.assert_error(second, "STATE_CORRUPT", request_id="g1")
                self.assertEqual(self.prefix.read_state_file("ledger.json"), data)
                self.assertEqual(self.state_names(), {"ledger.lock", "ledger.json"})

    def test_other_schema_is_an_incompatible_version(self):
        data = ledger_text({}).replace('"schema": 1', '"schema": 2')
        self.write_ledger(data)
        self.assert_error(self.hello(), "STATE_VERSION",
                          "The print-helper state was created by an incompatible version.")
        self.assertEqual(self.prefix.read_state_file("ledger.json"), data.encode())

    def test_ledger_with_nothing_to_recover_is_not_rewritten(self):
        data = ledger_text({"a": record("a", "SUBMITTED"), "b": record("b", "FAILED")})
        self.write_ledger(data)
        inode = self.prefix.state_file("ledger.json").stat().st_ino
        self.assertTrue(self.hello()["ok"])
        self.assertEqual(self.prefix.read_state_file("ledger.json"), data.encode())
        self.assertEqual(self.prefix.state_file("ledger.json").stat().st_ino, inode)

    def test_saved_ledger_is_byte_exact_apart_from_its_time(self):
        # An expired record makes the host save; everything else must come back unchanged,
        # unknown members dropped.
        kept = {
            "B": record("B", "FAILED", os_job_id="", error_code="SUBMISSION_REJECTED",
                        error_message='Windows "rejected"\n\tthe job: \\ / \u0001 \u00e9 (os error 5)'),
            "a": record("a", "SUBMITTED"),
            "b": record("b", "OBSERVED"),
        }
        on_disk = dict(kept)
        on_disk["expired"] = record("expired", updated_at_ms=now_ms() - 31 * DAY_MS)
        text = ledger_text(on_disk)
        self.write_ledger(text.replace('"jobs": {', '"extra": [1, {"x": null}],\n  "jobs": {', 1))
        before = now_ms()
        self.assertTrue(self.hello()["ok"])
        saved = self.prefix.read_state_file("ledger.json").decode()
        updated = json.loads(saved)["updated_at_ms"]
        self.assertGreaterEqual(updated, before)
        self.assertEqual(saved, ledger_text(kept, updated))
        self.assertFalse([n for n in self.state_names() if n.endswith(".tmp")])


class Recovery(StateTestCase):
    def test_dispatching_record_becomes_unknown_even_for_an_undecodable_message(self):
        created = now_ms() - 5000
        self.write_ledger(ledger_text({
            "x": record("x", "DISPATCHING", updated_at_ms=created, created_at_ms=created,
                        os_job_id="")}))
        before = now_ms()
        result = self.run_host(frame(b"not json"))
        self.assert_error(result.answers[0], "BAD_REQUEST", request_id="")
        rewritten = self.prefix.read_state_json("ledger.json")["jobs"]["x"]
        self.assertEqual((rewritten["state"], rewritten["error_code"], rewritten["error_message"]),
                         ("UNKNOWN", "HOST_RESTARTED", RESTARTED))
        self.assertEqual((rewritten["created_at_ms"], rewritten["os_job_id"]), (created, ""))
        self.assertGreaterEqual(rewritten["updated_at_ms"], before)
        # An undecodable message is no contact with the extension.
        self.assertNotIn("bridge-status.json", self.state_names())

    def test_records_older_than_30_days_are_dropped(self):
        now = now_ms()
        self.write_ledger(ledger_text({
            "old": record("old", updated_at_ms=now - 30 * DAY_MS - 60_000),
            "young": record("young", updated_at_ms=now - 30 * DAY_MS + 60_000),
        }))
        self.assertTrue(self.hello()["ok"])
        self.assertEqual(list(self.prefix.read_state_json("ledger.json")["jobs"]), ["young"])

    def test_more_than_5000_records_lose_the_oldest_with_ties_in_key_order(self):
        now = now_ms()
        jobs = {f"k{i:05d}": record(f"k{i:05d}", updated_at_ms=now - 1000 + i % 50)
                for i in range(4999)}
        for key in ("z", "b", "y", "a"):  # tied, and older than all the others
            jobs[key] = record(key, updated_at_ms=now - 2000)
        self.write_ledger(ledger_text(dict(sorted(jobs.items()))))
        self.assertTrue(self.hello()["ok"])
        kept = self.prefix.read_state_json("ledger.json")["jobs"]
        self.assertEqual(len(kept), 5000)
        self.assertEqual([k for k in ("a", "b", "y", "z") if k in kept], ["z"])

    def test_failed_recovery_save_is_the_answer_and_keeps_the_previous_file(self):
        self.prefix.state_dir.mkdir(parents=True)
        if not chattr_supported(self.prefix.state_dir):
            self.skipTest("the file system does not support chattr +i")
        data = ledger_text({"x": record("x", "DISPATCHING")})
        self.write_ledger(data)
        self.prefix.state_file("ledger.lock").write_bytes(b"")
        # An immutable folder: no temporary file can be created beside the ledger.
        subprocess.run(["chattr", "+i", str(self.prefix.state_dir)], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", str(self.prefix.state_dir)])
        result = self.run_host(frame(hello("h1")) + frame(submit("s1", {})))
        first, second = result.answers
        self.assert_error(first, "STATE_UNAVAILABLE", request_id="h1")
        self.assertRegex(first["error"]["message"],
                         r"^Cannot save print-helper state: .+ \(os error \d+\)$")
        self.assert_error(second, "PRE_SUBMIT_UNAVAILABLE", first["error"]["message"],
                          request_id="s1")
        self.assertEqual(self.prefix.read_state_file("ledger.json"), data.encode())


class BridgeStatus(StateTestCase):
    def test_contact_is_recorded_for_bad_request_ids_but_not_for_other_protocols(self):
        result = self.run_host(frame(hello("x" * 129)))
        self.assert_error(result.answers[0], "BAD_REQUEST", request_id="x" * 129)
        first_contact = self.prefix.read_state_json("bridge-status.json")["last_contact_ms"]
        time.sleep(0.01)
        result = self.run_host(frame(hello("p2", protocol=2)))
        self.assert_error(result.answers[0], "PROTOCOL_MISMATCH", request_id="p2")
        self.assertEqual(self.prefix.read_state_json("bridge-status.json")["last_contact_ms"],
                         first_contact)

    def test_unwritable_bridge_status_changes_nothing_in_the_answer(self):
        self.assertTrue(self.hello()["ok"])
        status = self.prefix.state_file("bridge-status.json")
        if not chattr_supported(self.prefix.state_dir):
            self.skipTest("the file system does not support chattr +i")
        before = status.read_bytes()
        subprocess.run(["chattr", "+i", str(status)], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", str(status)])
        answer = self.hello("again")
        self.assertTrue(answer["ok"], answer)
        self.assertEqual(status.read_bytes(), before)

    def test_bridge_status_in_place_of_a_folder_changes_nothing(self):
        self.prefix.state_file("bridge-status.json").mkdir(parents=True)
        self.assertTrue(self.hello()["ok"])
        self.assertTrue(self.prefix.state_file("bridge-status.json").is_dir())



class HostileStateFiles(StateTestCase):
    """What stands at a state file and is no regular file is refused at once with the state
    error, never waited on nor followed; the log's lines are lost, the answer never. Wine
    follows a link without showing a reparse point: the host sees it by the name the handle
    reached."""

    def test_fifos_and_folders_at_state_files_are_refused_never_waited_on(self):
        def cleared(path: Path) -> Path:
            path.unlink(missing_ok=True)
            return path

        victim = self.prefix.local_appdata / "victim.txt"
        rows = [
            # (what stands there, arrange(state folder), hello's error code or None)
            ("the ledger is a FIFO", lambda f: os.mkfifo(f / "ledger.json"), "STATE_UNAVAILABLE"),
            ("the ledger is a folder", lambda f: (f / "ledger.json").mkdir(), "STATE_UNAVAILABLE"),
            ("the log is a FIFO", lambda f: os.mkfifo(cleared(f / "logs" / "host.log")), None),
            ("the log is a link", lambda f: cleared(f / "logs" / "host.log").symlink_to(victim),
             None),
        ]
        for name, arrange, code in rows:
            with self.subTest(name):
                self.prefix.reset_state()
                victim.write_text("kept\n")
                self.assertTrue(self.hello("first")["ok"])
                arrange(self.prefix.state_dir)
                result = self.run_host(frame(hello("r1")) + frame(hello("r2")), timeout=10)
                self.assertEqual(result.returncode, 0, result.stderr_text)
                for answer, request_id in zip(result.answers, ("r1", "r2"), strict=True):
                    if code is None:
                        self.assertTrue(answer["ok"], answer)
                    else:
                        self.assert_error(answer, code, request_id=request_id)
                if victim.exists():
                    self.assertEqual(victim.read_text(), "kept\n")


if __name__ == "__main__":
    main()
