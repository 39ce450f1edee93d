"""The ledger as the host writes it (records and the file form), for tests and benchmarks
that start from a given ledger, and the ledger lock held from Linux as a second host
would hold it."""

from __future__ import annotations

import contextlib
import json
import subprocess
import sys
import time
from pathlib import Path

from rig import cleanup

LEDGER = "ledger.json"
LOCK = "ledger.lock"
SHA = "0123456789abcdef" * 4
CREATED_AT_MS = 1_700_000_000_000


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def record(intent_id: str, state: str = "COMPLETED", *, printer: str = "Label \u00c9tiquettes",
           os_job_id: str = "17", payload_sha256: str = SHA, created_at_ms: int = CREATED_AT_MS,
           updated_at_ms: int | None = None, error_code: str = "",
           error_message: str = "") -> dict:
    """A record as the host writes it, members in file order; updated now by default."""
    return {"intent_id": intent_id, "payload_sha256": payload_sha256, "state": state,
            "printer": printer, "os_job_id": os_job_id, "created_at_ms": created_at_ms,
            "updated_at_ms": now_ms() if updated_at_ms is None else updated_at_ms,
            "error_code": error_code, "error_message": error_message}


def ledger_text(jobs: dict, updated_at_ms: int = CREATED_AT_MS) -> str:
    """The file form: two-space indentation, line feeds, no final newline, raw UTF-8."""
    return json.dumps({"schema": 1, "updated_at_ms": updated_at_ms, "jobs": jobs}, indent=2,
                      ensure_ascii=False)


def write_ledger(prefix, ledger: dict | str | bytes, updated_at_ms: int = CREATED_AT_MS) -> Path:
    """Writes the prefix's ledger file: records (by intent id) in the file form, or the
    exact text given."""
    if isinstance(ledger, dict):
        ledger = ledger_text(ledger, updated_at_ms)
    return prefix.write_state_file(LEDGER, ledger)


def records(prefix) -> dict:
    """The records of the prefix's ledger by intent id; none while there is no file."""
    path = prefix.state_file(LEDGER)
    return prefix.read_state_json(LEDGER)["jobs"] if path.exists() else {}


# ---- the lock

_LOCK_HOLDER = r"""
import fcntl, os, sys, time
path, seconds = sys.argv[1], float(sys.argv[2])
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
fcntl.lockf(fd, fcntl.LOCK_EX)
sys.stdout.write("locked\n"); sys.stdout.flush()
if seconds < 0:
    sys.stdin.read()
else:
    time.sleep(seconds)
"""


class LedgerLockHolder(cleanup.Closing):
    """A separate process holding an fcntl lock on the ledger lock file (a lock Wine's
    LockFileEx respects), until `seconds` pass, `release()` or `kill()`."""

    def __init__(self, path: Path, seconds: float | None = None):
        path.parent.mkdir(parents=True, exist_ok=True)
        self.process = subprocess.Popen(
            [sys.executable, "-c", _LOCK_HOLDER, str(path), str(-1 if seconds is None else seconds)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if line != b"locked\n":
            self.kill()
            raise RuntimeError(f"could not lock {path}")
        cleanup.register(self)

    def release(self):
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()
        self.process.wait(10)
        cleanup.unregister(self)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(10)
        cleanup.unregister(self)

    close = kill


def hold_ledger_lock(prefix, seconds: float | None = None) -> LedgerLockHolder:
    return LedgerLockHolder(prefix.state_file(LOCK), seconds)
