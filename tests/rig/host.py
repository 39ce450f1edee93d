"""One Wine-run host process with pipes on its standard streams, spoken to in frames."""

from __future__ import annotations

import contextlib
import os
import select
import struct
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from rig import cleanup, programs
from rig.protocol import decode_answer, envelope, frame, split_frames

DEFAULT_TIMEOUT_S = 20.0


class HostProtocolError(AssertionError):
    pass


@dataclass
class HostResult:
    returncode: int
    stdout: bytes
    stderr: bytes

    @property
    def frames(self) -> list[bytes]:
        bodies, tail = split_frames(self.stdout)
        if tail:
            raise HostProtocolError(f"standard output ends inside a frame: {tail[:64]!r}")
        return bodies

    @property
    def answers(self) -> list[dict]:
        return [decode_answer(body) for body in self.frames]

    @property
    def stderr_text(self) -> str:
        return self.stderr.decode("utf-8", "replace")


# What Wine writes when it could not set a new process up at all.
WINE_START_FAILURE = "failed to map the shared user data"


class HostProcess(cleanup.Closing):
    """The Wine-run host with pipes on its standard streams. `prefix` is a WinePrefix."""

    _restarts = 0

    def __init__(self, prefix, extra_env: dict[str, str] | None = None,
                 executable: Path | None = None):
        self.prefix = prefix
        self.executable = Path(executable or programs.host_executable())
        self._start([programs.WINE64, str(self.executable)], prefix.env(extra_env), prefix.root)

    def _start(self, command: list[str], env: dict[str, str], cwd=None):
        """The process with pipes on its three standard streams, as a browser starts a host."""
        self._launch = (command, env, cwd)
        self._sent = bytearray()  # what was written before the first answer
        self._answered = False
        self.started_at = time.monotonic()
        self.process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        start_new_session=True)
        self._stdout = bytearray()
        self._stdout_eof = False
        self._stderr = bytearray()
        self._stderr_thread = threading.Thread(target=self._drain_stderr, daemon=True)
        self._stderr_thread.start()
        cleanup.register(self)

    def _drain_stderr(self):
        while True:
            chunk = self.process.stderr.read1(65536) if hasattr(self.process.stderr, "read1") \
                else self.process.stderr.read(65536)
            if not chunk:
                return
            self._stderr.extend(chunk)

    # ---- input

    def send_raw(self, data: bytes, *, ignore_broken_pipe: bool = False):
        if not self._answered:
            self._sent.extend(data)
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except BrokenPipeError:
            if not ignore_broken_pipe:
                raise

    def send_frame(self, body: bytes | str):
        self.send_raw(frame(body))

    def send(self, message_type: str, request_id: str = "r1", payload=None, **extra):
        self.send_frame(envelope(message_type, request_id, payload, **extra))

    def close_stdin(self):
        with contextlib.suppress(BrokenPipeError):
            if not self.process.stdin.closed:
                self.process.stdin.close()

    # ---- output

    def _fill(self, wanted: int, deadline: float) -> bool:
        """Reads until `wanted` bytes are buffered; False at end of output first."""
        fd = self.process.stdout.fileno()
        while len(self._stdout) < wanted:
            if self._stdout_eof:
                return False
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(
                    f"no complete answer from the host within the time limit "
                    f"(have {len(self._stdout)} of {wanted} bytes; stderr: {self.stderr_text!r})")
            ready, _, _ = select.select([fd], [], [], remaining)
            if not ready:
                continue
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                self._stdout_eof = True
            else:
                self._stdout.extend(chunk)
        return True

    def _start_again_if_wine_failed(self) -> bool:
        """Wine now and then fails to set a new process up, before any of its code runs
        ("failed to map the shared user data", an address the kernel gave away first): the
        host never started, so it is started again and given what it was sent. True when so."""
        if self._answered or self._restarts >= 2:
            return False
        self.process.wait(10)
        self._stderr_thread.join(5)
        if WINE_START_FAILURE not in self.stderr_text:
            return False
        self._restarts += 1
        cleanup.unregister(self)
        sent = bytes(self._sent)
        self._start(*self._launch)
        self.send_raw(sent, ignore_broken_pipe=True)
        return True

    def read_frame(self, timeout: float = DEFAULT_TIMEOUT_S) -> bytes | None:
        """The next answer body; None when standard output ends between frames."""
        deadline = time.monotonic() + timeout
        while not self._stdout and not self._fill(4, deadline) and self._start_again_if_wine_failed():
            pass
        if not self._fill(4, deadline):
            if self._stdout:
                raise HostProtocolError(f"output ends inside a length prefix: {bytes(self._stdout)!r}")
            return None
        (length,) = struct.unpack_from("<I", self._stdout, 0)
        if not self._fill(4 + length, deadline):
            raise HostProtocolError(f"output ends inside a body of {length} bytes")
        body = bytes(self._stdout[4:4 + length])
        del self._stdout[:4 + length]
        self._answered = True
        return body

    def read_answer(self, timeout: float = DEFAULT_TIMEOUT_S) -> dict:
        body = self.read_frame(timeout)
        if body is None:
            raise HostProtocolError(
                f"host ended its output instead of answering (stderr: {self.stderr_text!r})")
        return decode_answer(body)

    def request(self, message_type: str, request_id: str = "r1", payload=None,
                timeout: float = DEFAULT_TIMEOUT_S, **extra) -> dict:
        self.send(message_type, request_id, payload, **extra)
        return self.read_answer(timeout)

    def read_rest(self, timeout: float = DEFAULT_TIMEOUT_S) -> bytes:
        """Everything still to come on standard output, up to its end."""
        deadline = time.monotonic() + timeout
        while self._fill(len(self._stdout) + 1, deadline):
            pass
        rest = bytes(self._stdout)
        self._stdout.clear()
        return rest

    # ---- end

    def wait(self, timeout: float = DEFAULT_TIMEOUT_S) -> int:
        return self.process.wait(timeout)

    def finish(self, timeout: float = DEFAULT_TIMEOUT_S, *, close_input: bool = True) -> HostResult:
        """Closes standard input, reads the rest of standard output, waits for the exit."""
        deadline = time.monotonic() + timeout
        if close_input:
            self.close_stdin()
        rest = self.read_rest(timeout)
        returncode = self.wait(max(0.1, deadline - time.monotonic()))
        self._stderr_thread.join(max(0.1, deadline - time.monotonic()))
        return HostResult(returncode, rest, bytes(self._stderr))

    def feed_and_finish(self, data: bytes, timeout: float = DEFAULT_TIMEOUT_S) -> HostResult:
        """Writes `data` as the whole standard input while reading the answers (so a host
        answering early never blocks on a full pipe), then finishes as `finish` does."""
        def feed():
            self.send_raw(data, ignore_broken_pipe=True)
            self.close_stdin()

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        try:
            return self.finish(timeout, close_input=False)
        finally:
            writer.join(timeout)

    @property
    def stderr_text(self) -> str:
        return bytes(self._stderr).decode("utf-8", "replace")

    def kill(self):
        if self.process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                self.process.kill()
            self.process.wait(10)

    def close(self):
        self.close_stdin()
        self.kill()
        self._stderr_thread.join(5)
        for stream in (self.process.stdout, self.process.stderr):
            with contextlib.suppress(Exception):
                stream.close()
        cleanup.unregister(self)
