#!/usr/bin/env python3
"""The Linux host and the Windows host under Wine side by side in one run: start to first
answer, hello round trips, a new 4 x 6 in label at 203 dpi split into its stages, and
list_printers with 1, 10 and 100 queues. Each host prints on a private CUPS scheduler of its
own rig (the Linux host on a ZPL label queue, the Windows host through Wine's PostScript
driver on a capture queue); the requests alternate between the hosts.

    PYTHONPATH=tests python3 bench/linux_and_windows.py
        [--linux build/linux/vantrel-print-host] [--windows build/windows/vantrel-print-host.exe]
        [--rounds N]

The stages are differences of medians, as in wine_submit.py:
  state work       hello (lock, ledger load, recovery, bridge status)
  verification     duplicate submit - hello (Base64, PNG check and digest)
  saves            media-refused submit - duplicate (the DISPATCHING save and the settling one)
  decoding         submit to a missing queue - media-refused (the second decoding; the queue
                   is refused on opening: on Linux a question to the scheduler)
  printing         new submit - missing queue (Linux: the PDF written and sent to CUPS;
                   Windows: GDI to the spooler)

The Linux host's new submit against lp on the same scheduler: bench/linux_submit.py."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
from rig.cups import ZEBRA_ZPL, CupsScheduler
from rig.figures import print_side_by_side, submit_stages
from rig.labels import shipping_label
from rig.protocol import decode_answer, envelope, frame, split_frames, submit_payload
from rig.wine import WinePrefix

QUEUE = "Bench_4x6"


class LinuxHost:
    """The Linux host as a browser runs it: frames on its standard streams."""

    def __init__(self, executable: Path, env: dict):
        self.process = subprocess.Popen([str(executable)], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pending = b""

    def request(self, kind: str, request_id: str, payload=None, timeout: float = 60) -> dict:
        self.process.stdin.write(frame(envelope(kind, request_id, payload)))
        self.process.stdin.flush()
        while True:
            bodies, self.pending = split_frames(self.pending)
            if bodies:
                self.pending = b"".join(frame(b) for b in bodies[1:]) + self.pending
                return decode_answer(bodies[0])
            chunk = os.read(self.process.stdout.fileno(), 1 << 20)
            if not chunk:
                raise RuntimeError(f"the Linux host ended: {self.process.stderr.read()!r}")
            self.pending += chunk

    def close(self):
        self.process.stdin.close()
        self.process.wait(30)


def timed(host, kind, request_id, payload=None) -> tuple[float, dict]:
    started = time.perf_counter()
    answer = host.request(kind, request_id, payload)
    return (time.perf_counter() - started) * 1000, answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--linux", default=str(ROOT / "build/linux/vantrel-print-host"))
    parser.add_argument("--windows", default=str(ROOT / "build/windows/vantrel-print-host.exe"))
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--starts", type=int, default=5)
    args = parser.parse_args()
    png = shipping_label()
    kinds = ("hello", "duplicate", "media", "missing", "new")
    times = {"linux": {k: [] for k in kinds}, "windows": {k: [] for k in kinds}}
    starts = {"linux": [], "windows": []}
    listing = {"linux": {}, "windows": {}}

    state_home = Path(tempfile.mkdtemp(prefix="vantrel-bench-state-"))
    linux_cups = CupsScheduler()
    windows_cups = CupsScheduler()
    prefix = WinePrefix()
    try:
        linux_cups.add_queue(QUEUE, model=ZEBRA_ZPL, options=("media=w288h432",))
        windows_cups.add_queue(QUEUE, "label-4x6-203", default=True)
        linux_env = dict(linux_cups.client_env, XDG_STATE_HOME=str(state_home))

        def start(name):
            if name == "linux":
                return LinuxHost(Path(args.linux), linux_env)
            return prefix.start_host(cups=windows_cups, executable=Path(args.windows).resolve())

        for _ in range(args.starts):
            for name in ("linux", "windows"):
                t0 = time.perf_counter()
                host = start(name)
                host.request("hello", "start")
                starts[name].append((time.perf_counter() - t0) * 1000)
                host.close()

        hosts = {name: start(name) for name in ("linux", "windows")}
        try:
            def body(name, kind, i):
                return {"hello": None,
                        "duplicate": submit_payload("warm", QUEUE, png, 812, 1218),
                        "media": submit_payload(f"m{i}", QUEUE, png, 812, 1218, media="w288h432"),
                        "missing": submit_payload(f"x{i}", "No_Such_Queue", png, 812, 1218),
                        "new": submit_payload(f"n{i}", QUEUE, png, 812, 1218)}[kind]

            for name, host in hosts.items():
                assert host.request("submit", "w", body(name, "duplicate", 0))["ok"]
            for i in range(args.rounds):
                for kind in kinds:
                    for name in (("linux", "windows") if i % 2 == 0 else ("windows", "linux")):
                        ms, answer = timed(hosts[name], "hello" if kind == "hello" else "submit",
                                           f"{kind}{i}", body(name, kind, i))
                        if answer["ok"] != (kind in ("hello", "duplicate", "new")):
                            sys.exit(f"unexpected answer of the {name} host for {kind}: {answer}")
                        times[name][kind].append(ms)

            for count in (1, 10, 100):
                for rig, model in ((linux_cups, ZEBRA_ZPL), (windows_cups, None)):
                    present = set(rig.queues())
                    for n in range(count - 1):
                        if f"Extra_{n:03d}" not in present:
                            rig.add_queue(f"Extra_{n:03d}", model=model)
                for name in ("linux", "windows"):
                    # The Windows host's first listing copies the queues into Wine's registry.
                    fresh = start(name)
                    fresh.request("list_printers", "first")
                    samples = [timed(fresh, "list_printers", f"l{i}")[0] for i in range(5)]
                    fresh.close()
                    listing[name][count] = statistics.median(samples)
        finally:
            for host in hosts.values():
                host.close()
    finally:
        prefix.close()
        windows_cups.close()
        linux_cups.close()
        subprocess.run(["rm", "-rf", str(state_home)])

    figures = {}
    for name in ("linux", "windows"):
        figures[name] = {
            "start to first hello answer": f"{statistics.median(starts[name]):.1f}",
            **submit_stages(times[name], "printing (PDF + CUPS / GDI + spooler)"),
            **{f"list_printers, {n} queue{'s' if n > 1 else ''}": f"{listing[name][n]:.2f}"
               for n in (1, 10, 100)},
        }
    print_side_by_side(figures, f"milliseconds, medians; {args.rounds} rounds, {args.starts} "
                                "starts, 5 listings per queue count")


if __name__ == "__main__":
    main()
