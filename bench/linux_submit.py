#!/usr/bin/env python3
"""A new 4 x 6 in label submitted to the Linux host, against `lp` of the same label as a PDF
on the same scheduler, in one run: the ratio the host's submit is held to.

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
scheduler), and the IPP operations that one lp and one submit make."""

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

            def submit(label, queue=QUEUE) -> float:
                n = next(serial)
                ms, answer = timed(running[label], "submit", f"s{n}",
                                   submit_payload(f"bench-{n}", queue, png, 812, 1218))
                if answer["ok"] != (queue == QUEUE):
                    sys.exit(f"unexpected answer of the {label} host: {answer}")
                return ms

            # What each makes the scheduler do, once, before anything is timed.
            operations = {}
            for name, action in [("lp", lp)] + [(label, lambda l=label: submit(l))
                                                for label in running]:
                idle()
                before = len(cups.operations())
                action()
                time.sleep(0.3)  # the access log is written after the answer
                operations[name] = cups.operations()[before:]

            samples = {name: [] for name in ["lp", *running]}
            own = {label: [] for label in running}
            for round_number in range(args.rounds):
                order = ["lp", *running]
                if round_number % 2:
                    order.reverse()
                for name in order:
                    idle()
                    samples[name].append(lp() if name == "lp" else submit(name))
                    if name != "lp":
                        idle()
                        own[name].append(submit(name, "No_Such_Queue"))
        finally:
            for host in running.values():
                host.close()
            for home in state_homes:
                subprocess.run(["rm", "-rf", str(home)])

    lp_median = statistics.median(samples["lp"])
    own_row = "  to a missing queue (the host's own share)"
    figures = {"lp": {"new 4 x 6 label": f"{lp_median:.2f}", "ratio to lp": "1.00", own_row: ""}}
    for label in running:
        median = statistics.median(samples[label])
        figures[label] = {"new 4 x 6 label": f"{median:.2f}",
                          "ratio to lp": f"{median / lp_median:.2f}",
                          own_row: f"{statistics.median(own[label]):.2f}"}
    print_side_by_side(figures, f"milliseconds, medians of {args.rounds} samples each, "
                                "alternating, each on an idle queue")
    for name, names in operations.items():
        print(f"IPP operations of one {'lp' if name == 'lp' else name + ' submit'}: "
              f"{', '.join(names)}")


if __name__ == "__main__":
    main()
