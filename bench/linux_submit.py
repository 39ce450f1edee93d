#!/usr/bin/env python3
"""A new 4 x 6 in label submitted to the Linux host, against `lp` of the same label as a PDF
on the same scheduler, in one run: the ratio the host's submit is held to; beside it the host's
list_printers, get_printer and a new label that names its media.

    PYTHONPATH=tests python3 bench/linux_submit.py [--linux LABEL=PATH ...] [--rounds N]

Both print on one ZPL label queue (CUPS' sample driver, 4 x 6 in, 203 dpi) of a private
scheduler. `lp` is a new process each time, as a user runs it (it asks about the queue,
then Create-Job and Send-Document); each host is one running process answering framed
submits of new intents, as a browser's port keeps it. Hosts are given as LABEL=PATH
(repeat --linux to put builds side by side; default: build/linux). The samples alternate
between lp and the hosts, each after the queue has printed everything before it, so that no
sample shares the two cores with the driver's filters. Prints the medians in milliseconds,
each host's ratio to lp, the host's own share (a submit of the same label to a queue that does
not exist: the ledger's saves, the checks and the decoding, and one question to the
scheduler), and the IPP operations that one lp and each message of a host make. The messages
of one round are linux_message_samples(), which a script that puts both platforms' hosts in one
table can call round by round."""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from linux_and_windows import LinuxHost, timed
from rig.cups import ZEBRA_ZPL, CupsScheduler
from rig.figures import labelled_hosts, print_side_by_side
from rig.labels import shipping_label_picture
from rig.protocol import submit_payload

ROOT = Path(__file__).resolve().parents[1]
QUEUE = "Bench_4x6"
MEDIA = "na_index-4x6_4x6in"
PLAIN = "new 4 x 6 label"


def linux_messages(queue: str, png: bytes, intent: str) -> list[tuple[str, str, dict | None]]:
    """The Linux host's messages of one round as (row, type, payload), submits last."""
    return [("list_printers", "list_printers", None),
            ("get_printer", "get_printer", {"printer": queue}),
            (PLAIN, "submit", submit_payload(f"{intent}-plain", queue, png, 812, 1218)),
            (f"{PLAIN}, media {MEDIA}", "submit",
             submit_payload(f"{intent}-media", queue, png, 812, 1218, media=MEDIA))]


def linux_message_samples(host: LinuxHost, queue: str, png: bytes, intent: str,
                          idle) -> dict[str, float | None]:
    """One sample in milliseconds of each of linux_messages() on a running Linux host, whose
    scheduler has `queue` (4 x 6 in); `idle()` waits until the queue has printed everything,
    before each submit. None where the host refused (a build without the message)."""
    samples = {}
    for number, (row, kind, payload) in enumerate(linux_messages(queue, png, intent)):
        if kind == "submit":
            idle()
        ms, answer = timed(host, kind, f"m{number}", payload)
        samples[row] = ms if answer["ok"] else None
    return samples


def linux_media_figures(executable: Path, rounds: int = 20) -> dict[str, str]:
    """Milliseconds, medians of `rounds` on one running Linux host and a 4 x 6 in ZPL queue:
    each of linux_messages(), every submit printed before the next message."""
    png = shipping_label_picture().png()
    samples = []
    state_home = Path(tempfile.mkdtemp(prefix="vantrel-bench-state-"))
    with CupsScheduler() as cups:
        cups.add_queue(QUEUE, model=ZEBRA_ZPL, options=("media=w288h432",))

        def idle():
            cups.wait_for(lambda: not cups.jobs("not-completed").strip(), timeout=120,
                          what="the queue to print everything")

        host = LinuxHost(executable, dict(cups.client_env, XDG_STATE_HOME=str(state_home)))
        try:
            for round_number in range(rounds):
                samples.append(linux_message_samples(host, QUEUE, png, f"r{round_number}", idle))
        finally:
            host.close()
    return {row: median_text([sample[row] for sample in samples])
            for row, _, _ in linux_messages(QUEUE, png, "rows")}


def median_text(values: list[float | None]) -> str:
    values = [value for value in values if value is not None]
    return f"{statistics.median(values):.2f}" if values else "refused"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--linux", action="append", metavar="LABEL=PATH",
                        help="a Linux host to measure (repeat to compare builds)")
    parser.add_argument("--rounds", type=int, default=25)
    args = parser.parse_args()
    hosts = labelled_hosts(args.linux or [f"host={ROOT / 'build/linux/vantrel-print-host'}"])
    missing = [str(path) for _, path in hosts if not path.is_file()]
    if missing:
        sys.exit(f"missing: {', '.join(missing)} (run: bash scripts/build)")

    picture = shipping_label_picture()
    png = picture.png()
    state_homes = []
    with CupsScheduler() as cups:
        cups.add_queue(QUEUE, model=ZEBRA_ZPL, options=("media=w288h432",))
        pdf = cups.root / "label.pdf"
        pdf.write_bytes(picture.pdf(203))

        def lp() -> float:
            started = time.perf_counter()
            cups.tool(["lp", "-d", QUEUE, str(pdf)])
            return (time.perf_counter() - started) * 1000

        def idle():
            cups.wait_for(lambda: not cups.jobs("not-completed").strip(), timeout=120,
                          what="the queue to print everything")

        running = {}
        try:
            for label, path in hosts:
                state_homes.append(Path(tempfile.mkdtemp(prefix="vantrel-bench-state-")))
                env = dict(cups.client_env, XDG_STATE_HOME=str(state_homes[-1]))
                running[label] = LinuxHost(path, env)
            serial = iter(range(1_000_000))

            def missing_queue(label) -> float:
                n = next(serial)
                ms, answer = timed(running[label], "submit", f"x{n}",
                                   submit_payload(f"bench-{n}", "No_Such_Queue", png, 812, 1218))
                if answer["ok"]:
                    sys.exit(f"unexpected answer of the {label} host: {answer}")
                return ms

            def operations_of(action) -> list[str]:
                idle()
                time.sleep(0.3)  # the access log is written after the answer, lpstat's too
                before = len(cups.operations())
                action()
                time.sleep(0.3)
                return cups.operations()[before:]

            # What each makes the scheduler do, once, before anything is timed.
            operations = {"lp": operations_of(lp)}
            for label, host in running.items():
                for row, kind, payload in linux_messages(QUEUE, png, f"ops-{label}"):
                    operations[f"{label}, {row}"] = operations_of(
                        lambda: host.request(kind, "ops", payload))

            samples = {"lp": []}
            samples.update({label: [] for label in running})
            own = {label: [] for label in running}
            for round_number in range(args.rounds):
                order = ["lp", *running]
                if round_number % 2:
                    order.reverse()
                for name in order:
                    idle()
                    if name == "lp":
                        samples[name].append(lp())
                        continue
                    samples[name].append(linux_message_samples(
                        running[name], QUEUE, png, f"bench-{next(serial)}", idle))
                    if samples[name][-1][PLAIN] is None:
                        sys.exit(f"the {name} host refused a new label")
                    idle()
                    own[name].append(missing_queue(name))
        finally:
            for host in running.values():
                host.close()
            for home in state_homes:
                subprocess.run(["rm", "-rf", str(home)])

    lp_median = statistics.median(samples["lp"])
    own_row = "  to a missing queue (the host's own share)"
    figures = {"lp": {PLAIN: f"{lp_median:.2f}", "ratio to lp": "1.00"}}
    for label in running:
        rows = list(samples[label][0])
        column = {row: median_text([sample[row] for sample in samples[label]]) for row in rows}
        plain = [sample[PLAIN] for sample in samples[label] if sample[PLAIN] is not None]
        figures[label] = {PLAIN: column[PLAIN],
                          "ratio to lp": f"{statistics.median(plain) / lp_median:.2f}",
                          own_row: f"{statistics.median(own[label]):.2f}",
                          **{row: column[row] for row in rows if row != PLAIN}}
    figures["lp"] = {row: figures["lp"].get(row, "") for row in figures[next(iter(running))]}
    print_side_by_side(figures, f"milliseconds, medians of {args.rounds} samples each, "
                                "alternating, each submit on an idle queue")
    for name, names in operations.items():
        print(f"IPP operations of one {name}: {', '.join(names) or 'none'}")


if __name__ == "__main__":
    main()
