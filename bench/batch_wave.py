#!/usr/bin/env python3
"""A wave of 100 distinct 4 x 6 in labels at 203 dpi, as 100 single submits on one port and as
the submit_batch request that printLabels sends for it, on the Linux host and the Windows host
under Wine side by side in one run. For each: the host's time (first request sent to last
answer read), the durable saves of the ledger (its replacements, counted with inotify on the
state folder) and the spool jobs the queue received. Then the same on a queue whose device
takes 1 s over each job, as a USB printer's backend does: the time until the last label has
reached the device.

    PYTHONPATH=tests python3 bench/batch_wave.py
        [--linux build/linux/vantrel-print-host] [--windows build/windows/vantrel-print-host.exe]

Each host prints on a private CUPS scheduler of its own (the Linux host on a queue that keeps
its PDF, the Windows host through Wine's PostScript driver)."""

import argparse
import ctypes
import os
import struct
import subprocess
import tempfile
import time
from pathlib import Path

from rig.cups import CupsScheduler
from rig.figures import print_side_by_side
from rig.labels import shipping_label_picture
from rig.linux_host import STATE_FOLDER, LinuxHostProcess, add_pdf_queue
from rig.protocol import submit_payload
from rig.wine import WinePrefix

ROOT = Path(__file__).resolve().parents[1]
WAVE = 100
FAST, SLOW = "Bench_Wave", "Bench_Slow"
IN_MOVED_FROM, IN_MOVED_TO = 0x40, 0x80


class Replacements:
    """Counts files moved into a folder under a name (the ledger's durable replacements)."""

    def __init__(self, folder: Path, name: str):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        folder.mkdir(parents=True, exist_ok=True)
        # Both ends of each move: inotify merges an event into an identical one before it.
        self.libc.inotify_add_watch(self.fd, str(folder).encode(), IN_MOVED_FROM | IN_MOVED_TO)
        self.name = name.encode()

    def count(self) -> int:
        found = 0
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                return found
            offset = 0
            while offset < len(data):
                _wd, mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
                found += mask & IN_MOVED_TO != 0 and name == self.name
                offset += 16 + length

    def close(self):
        os.close(self.fd)


def wave_labels() -> list[bytes]:
    labels = []
    for n in range(WAVE):
        picture = shipping_label_picture()
        picture.text(40, 1100, f"ORDER # {2001 + n}", 4)
        labels.append(picture.png())
    return labels


def singles(labels, queue, prefix):
    return [("submit", submit_payload(f"{prefix}-{n}", queue, png, 812, 1218))
            for n, png in enumerate(labels)]


def batch(labels, queue, prefix):
    entries = []
    for n, png in enumerate(labels):
        single = submit_payload(f"{prefix}-{n}", queue, png, 812, 1218)
        entries.append({"intent_id": single["intent_id"], "copies": 1, "payload": single["payload"]})
    return [("submit_batch", {"printer": queue, "title": "Wave", "dpi": 203, "labels": entries})]


def run(host, messages, saves: Replacements) -> tuple[float, int]:
    """The host's time for the messages, sent one after another's answer, and the saves."""
    saves.count()
    started = time.perf_counter()
    for number, (kind, payload) in enumerate(messages):
        answer = host.request(kind, f"m{number}", payload, timeout=600)
        assert answer["ok"], answer
        if kind == "submit_batch":
            bad = [r for r in answer["result"]["results"] if not r["ok"]]
            assert not bad, bad[:2]
    took = time.perf_counter() - started
    return took, saves.count()


def measure(name, start_host, cups, state_folder, labels) -> dict[str, str]:
    figures = {}
    saves = Replacements(state_folder, "ledger.json")
    host = start_host()
    try:
        assert host.request("hello", "h", timeout=120)["ok"]
        for way, messages in (("singles", singles(labels, FAST, "s")), ("batch", batch(labels, FAST, "b"))):
            cups.clear_captured()
            took, saved = run(host, messages, saves)
            jobs = len(cups.wait_for_documents(WAVE if way == "singles" else 4, FAST, timeout=120))
            figures[f"{way}: host time, s"] = f"{took:.2f}"
            figures[f"{way}: durable saves"] = str(saved)
            figures[f"{way}: spool jobs"] = str(jobs)
        # The slow device: from the first request to the last label's job fully received.
        for way, messages, count in (("singles", singles(labels, SLOW, "ss"), WAVE),
                                     ("batch", batch(labels, SLOW, "sb"), 4)):
            cups.clear_captured()
            started = time.time()
            run(host, messages, saves)
            documents = cups.wait_for_documents(count, SLOW, timeout=600)
            assert len(documents) >= count, (way, len(documents))
            last = max(d.path.stat().st_mtime for d in documents)
            figures[f"1 s/job device: last label at, s ({way})"] = f"{last - started:.1f}"
    finally:
        host.close()
        saves.close()
    singles_s = float(figures["singles: host time, s"])
    batch_s = float(figures["batch: host time, s"])
    figures["batch host time / singles'"] = f"{batch_s / singles_s:.2f}"
    slow = [float(figures[f"1 s/job device: last label at, s ({w})"]) for w in ("singles", "batch")]
    figures["1 s/job device: singles / batch"] = f"{slow[0] / slow[1]:.1f}"
    print(f"{name} done", flush=True)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--linux", default=str(ROOT / "build/linux/vantrel-print-host"))
    parser.add_argument("--windows", default=str(ROOT / "build/windows/vantrel-print-host.exe"))
    args = parser.parse_args()
    labels = wave_labels()
    figures = {}

    linux_cups = CupsScheduler()
    state_home = Path(tempfile.mkdtemp(prefix="vantrel-bench-state-"))
    try:
        add_pdf_queue(linux_cups, FAST, default=True)
        add_pdf_queue(linux_cups, SLOW)
        linux_cups.slow_device(SLOW, 1)
        env = dict(linux_cups.client_env, XDG_STATE_HOME=str(state_home))
        figures["linux"] = measure("linux", lambda: LinuxHostProcess(env, Path(args.linux)), linux_cups,
                                   state_home / STATE_FOLDER, labels)
    finally:
        linux_cups.close()
        subprocess.run(["rm", "-rf", str(state_home)])

    windows_cups = CupsScheduler()
    prefix = WinePrefix()
    try:
        windows_cups.add_queue(FAST, "label-4x6-203", default=True)
        windows_cups.add_queue(SLOW, "label-4x6-203")
        windows_cups.slow_device(SLOW, 1)
        figures["windows"] = measure(
            "windows", lambda: prefix.start_host(cups=windows_cups, executable=Path(args.windows).resolve()),
            windows_cups, prefix.state_dir, labels)
    finally:
        prefix.close()
        windows_cups.close()

    print_side_by_side(figures, f"{WAVE} distinct 4 x 6 in labels at 203 dpi; one host process each")


if __name__ == "__main__":
    main()
