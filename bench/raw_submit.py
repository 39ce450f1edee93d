#!/usr/bin/env python3
"""A 4 x 6 in ZPL label submitted raw to the Linux host, against `lp -o raw` of the same bytes
to the same queue in one run (the ratio the host's raw submit is held to: at most 1.1); with
--wine, the Windows host under Wine: the raw submit of the label beside the PNG submit of the
same label drawn as a picture.

    PYTHONPATH=tests python3 bench/raw_submit.py [--rounds N] [--linux PATH] [--wine [PATH]]

Linux: one raw capture queue (4 x 6 in, 203 dpi) of a private scheduler; `lp` is a new process
each time, as a user runs it; the host is one running process answering framed submits of new
intents, as a browser's port keeps it. The samples alternate, each after the queue has printed
everything before it. Wine: one host process, a raw queue for the ZPL label and a PostScript
capture queue of the same paper for the PNG, taking turns. Prints medians in milliseconds."""

import argparse
import base64
import statistics
import sys
import tempfile
import time
from pathlib import Path

from linux_and_windows import LinuxHost, timed
from rig.cups import CupsScheduler
from rig.figures import print_side_by_side
from rig.labels import shipping_label_picture
from rig.protocol import submit_payload
from rig.raw_labels import RAW_203, add_raw_queues

ROOT = Path(__file__).resolve().parents[1]


def zpl_label() -> bytes:
    """A 4 x 6 in shipping label in ZPL at 203 dpi: text, lines, a Code 128 barcode."""
    lines = [b"^XA^CI28^PW812^LL1218^FO0,0^GB812,1218,4^FS",
             b"^FO40,40^A0N,36,36^FDSHIP TO^FS",
             b"^FO40,100^A0N,44,44^FDAda Lovelace^FS",
             b"^FO40,160^A0N,44,44^FD12 Analytical Row^FS",
             b"^FO40,220^A0N,44,44^FDLondon NW1 6XE^FS",
             b"^FO0,406^GB812,4,4^FS",
             b"^FO60,460^BY3^BCN,240,Y,N,N^FDVT123456789GB^FS",
             b"^FO40,1100^A0N,32,32^FDOrder A-1001^FS",
             b"^XZ"]
    return b"\r\n".join(lines) + b"\r\n"


def raw_payload(intent_id: str, printer: str, label: bytes) -> dict:
    return {"intent_id": intent_id, "printer": printer, "title": intent_id, "copies": 1,
            "dpi": 203, "payload": {"format": "zpl", "base64": base64.b64encode(label).decode()}}


def linux_figures(executable: Path, rounds: int) -> dict[str, dict[str, str]]:
    label = zpl_label()
    state_home = Path(tempfile.mkdtemp(prefix="vantrel-bench-state-"))
    samples = {"lp -o raw": [], "host": []}
    with CupsScheduler() as cups:
        add_raw_queues(cups)
        path = cups.root / "label.zpl"
        path.write_bytes(label)

        def idle():
            cups.wait_for(lambda: not cups.jobs("not-completed").strip(), timeout=120,
                          what="the queue to print everything")

        def lp() -> float:
            started = time.perf_counter()
            cups.tool(["lp", "-d", RAW_203, "-o", "raw", str(path)])
            return (time.perf_counter() - started) * 1000

        host = LinuxHost(executable, dict(cups.client_env, XDG_STATE_HOME=str(state_home)))
        try:
            assert timed(host, "submit", "warm", raw_payload("warm", RAW_203, label))[1]["ok"]
            for n in range(rounds):
                order = ["lp -o raw", "host"] if n % 2 == 0 else ["host", "lp -o raw"]
                for name in order:
                    idle()
                    if name == "host":
                        ms, answer = timed(host, "submit", f"r{n}", raw_payload(f"r{n}", RAW_203, label))
                        if not answer["ok"]:
                            sys.exit(f"the host refused the label: {answer}")
                        samples[name].append(ms)
                    else:
                        samples[name].append(lp())
        finally:
            host.close()
        idle()
        captured = [d.read() for d in cups.captured_documents(RAW_203)]
        if any(document != label for document in captured):
            sys.exit("a captured document is not the label's bytes")
    lp_ms = statistics.median(samples["lp -o raw"])
    host_ms = statistics.median(samples["host"])
    return {"lp -o raw": {"4 x 6 ZPL, new": f"{lp_ms:.2f}", "ratio to lp": "1.00"},
            "Linux host": {"4 x 6 ZPL, new": f"{host_ms:.2f}", "ratio to lp": f"{host_ms / lp_ms:.2f}"}}


def wine_figures(executable: Path, rounds: int) -> dict[str, str]:
    from rig.wine import WinePrefix

    label = zpl_label()
    png = shipping_label_picture().png()
    times = {"raw ZPL submit": [], "PNG submit": []}
    with CupsScheduler() as cups:
        add_raw_queues(cups)
        cups.add_queue("Bench_PNG", "label-4x6-203", default=True)
        with WinePrefix() as prefix:
            with prefix.start_host(cups=cups, executable=executable) as host:
                assert timed(host, "submit", "w1", raw_payload("w-raw", RAW_203, label))[1]["ok"]
                assert timed(host, "submit", "w2", submit_payload("w-png", "Bench_PNG", png, 812, 1218))[1]["ok"]
                for n in range(rounds):
                    for kind in (list(times) if n % 2 == 0 else list(reversed(times))):
                        body = (raw_payload(f"z{n}", RAW_203, label) if kind.startswith("raw")
                                else submit_payload(f"p{n}", "Bench_PNG", png, 812, 1218))
                        ms, answer = timed(host, "submit", f"{kind[0]}{n}", body)
                        if not answer["ok"]:
                            sys.exit(f"unexpected answer for {kind}: {answer}")
                        times[kind].append(ms)
                host.finish()
            cups.wait_for_documents(2 * (rounds + 1))
            captured = [d.read() for d in cups.captured_documents(RAW_203)]
            if any(document != label for document in captured):
                sys.exit("a captured raw document is not the label's bytes")
    return {kind: f"{statistics.median(values):.2f}" for kind, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--linux", type=Path, default=ROOT / "build/linux/vantrel-print-host")
    parser.add_argument("--wine", nargs="?", type=Path, const=ROOT / "build/windows/vantrel-print-host.exe")
    args = parser.parse_args()
    if not args.linux.is_file():
        sys.exit(f"missing: {args.linux} (run: bash scripts/build)")
    print_side_by_side(linux_figures(args.linux, args.rounds),
                       f"milliseconds, medians of {args.rounds} samples each, alternating, "
                       "each on an idle queue")
    if args.wine:
        print_side_by_side({"Windows host under Wine": wine_figures(args.wine, args.rounds)},
                           f"milliseconds, medians of {args.rounds} samples each, taking turns")


if __name__ == "__main__":
    main()
