"""Clean-up of last resort: everything still open at interpreter exit is closed, and a
SIGTERM (ctest's timeout) becomes a normal exit so that this runs."""

from __future__ import annotations

import atexit
import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import threading
from pathlib import Path

_open_resources: list = []
_open_lock = threading.Lock()


class Closing:
    """A rig object that closes at the end of a with block."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def register(resource):
    with _open_lock:
        _open_resources.append(resource)


def unregister(resource):
    with _open_lock:
        if resource in _open_resources:
            _open_resources.remove(resource)


@atexit.register
def _close_everything():
    with _open_lock:
        resources = list(reversed(_open_resources))
    for resource in resources:
        with contextlib.suppress(Exception):
            resource.close()


def _exit_on_sigterm(signum, frame):
    raise SystemExit(128 + signum)


if threading.current_thread() is threading.main_thread():
    with contextlib.suppress(ValueError):
        signal.signal(signal.SIGTERM, _exit_on_sigterm)


def kill_process(process: subprocess.Popen, timeout_s: float = 5.0):
    if process.poll() is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        process.terminate()
    try:
        process.wait(timeout_s)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            process.kill()
        process.wait(timeout_s)


def end_process_group(process: subprocess.Popen, timeout_s: float):
    """Gives a process that leads its own group (start_new_session), such as a browser asked
    to close, `timeout_s` to end; then ends the group with SIGTERM, and SIGKILL after 5 s."""
    try:
        process.wait(timeout_s)
    except subprocess.TimeoutExpired:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, sig)
            try:
                process.wait(5)
                break
            except subprocess.TimeoutExpired:
                continue


class _ScratchDir:
    """A temporary folder for this process, removed at exit."""

    def __init__(self):
        self.path = Path(tempfile.mkdtemp(prefix="vantrel-scratch-"))
        register(self)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)
        unregister(self)


_scratch: _ScratchDir | None = None


def scratch_dir() -> Path:
    global _scratch
    if _scratch is None:
        _scratch = _ScratchDir()
    return _scratch.path
