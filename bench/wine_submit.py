#!/usr/bin/env python3
"""Figures for submit through the Wine-run host: a new 4 x 6 in label at 203 dpi, split into
its stages by requests that stop after each of them, and a repeated (duplicate) submit; with
--media, get_printer and a submit with media beside list_printers and a plain submit.

    python3 bench/wine_submit.py [--rounds N] [--ledger-records N] [--media] [--host LABEL=PATH ...]

Every request is sent after the previous answer arrived, to one host process, as the browser
does. The stages are differences of medians:
  state work        hello (lock, ledger load, recovery, bridge status)
  verification      duplicate submit - hello (Base64, PNG check and digest; answered from the ledger)
  saves             media-refused submit - duplicate (the DISPATCHING save and the settling save)
  decoding          submit to a missing queue - media-refused (second decoding; CreateDC fails at once)
  rendering         new submit - submit to a missing queue (GDI to the spooler, the document spooled)
The media figures (media_figures(), which a combined table calls for its Windows half) come
from one host process on a Letter queue that also offers four other sizes, and on a queue of
400 sizes; the requests take turns round by round.
Needs the Windows build (bash scripts/build)."""

import argparse
import base64
import statistics
import sys
import time
from pathlib import Path


from rig.cups import CupsScheduler
from rig.figures import parse_with_hosts, print_side_by_side, submit_stages
from rig.labels import shipping_label
from rig.ledger import now_ms, record, write_ledger
from rig.protocol import submit_payload
from rig.wine import WinePrefix

QUEUE = "Bench_4x6_203"


def payload(intent_id: str, png: bytes, printer: str = QUEUE, **extra) -> dict:
    return submit_payload(intent_id, printer, png, 812, 1218, **extra)


def seed_ledger(prefix: WinePrefix, count: int):
    now = now_ms()
    write_ledger(prefix, {f"seed-{i:05d}": record(
        f"seed-{i:05d}", printer=QUEUE, os_job_id=str(i), payload_sha256="0" * 64,
        created_at_ms=now, updated_at_ms=now) for i in range(count)}, now)


def timed(host, kind, request_id, body) -> tuple[float, dict]:
    started = time.perf_counter()
    answer = host.request(kind, request_id, body, timeout=60)
    return (time.perf_counter() - started) * 1000, answer


def measure(hosts: list[tuple[str, Path]], png: bytes, args) -> dict[str, dict]:
    """All hosts run at once over one prefix and one scheduler, each with intents of its own,
    and take turns request by request, so that a busy spell of the machine weighs on all of
    them alike; the first host of each round changes from round to round."""
    kinds = ("hello", "duplicate", "media", "missing", "new")
    times = {label: {k: [] for k in kinds} for label, _ in hosts}
    with CupsScheduler() as cups:
        cups.add_queue(QUEUE, "label-4x6-203", default=True)
        with WinePrefix() as prefix:
            if args.ledger_records:
                seed_ledger(prefix, args.ledger_records)
            running = {label: prefix.start_host(cups=cups, executable=executable)
                       for label, executable in hosts}
            try:
                for label, host in running.items():
                    assert timed(host, "submit", "w", payload(f"{label}-warm", png))[1]["ok"]
                for i in range(args.rounds):
                    for kind in kinds:
                        turn = i % len(hosts)
                        order = list(running.items())[turn:] + list(running.items())[:turn]
                        for label, host in order:
                            body = {"hello": None,
                                    "duplicate": payload(f"{label}-warm", png),
                                    "media": payload(f"{label}-m{i}", png, media="w288h432"),
                                    "missing": payload(f"{label}-x{i}", png,
                                                       printer="No_Such_Queue"),
                                    "new": payload(f"{label}-n{i}", png)}[kind]
                            ms, answer = timed(host, "hello" if kind == "hello" else "submit",
                                               f"{kind}{i}", body)
                            if answer["ok"] != (kind in ("hello", "duplicate", "new")):
                                sys.exit(f"unexpected answer of {label} for {kind}: {answer}")
                            times[label][kind].append(ms)
                for host in running.values():
                    host.finish()
            finally:
                for host in running.values():
                    host.close()
            printed = len(cups.wait_for_documents(len(hosts) * (args.rounds + 1)))

    figures = {label: submit_stages(times[label], "rendering and spooling")
               for label, _ in hosts}
    print(f"documents printed: {printed} (all hosts)")
    return figures


MEDIA_QUEUE = "Bench_Multi"
MANY_QUEUE = "Bench_Many"


def media_figures(executable: Path, rounds: int = 20) -> dict[str, str]:
    """Milliseconds, medians of `rounds`: list_printers, get_printer (the first of the process
    apart), get_printer on 400 sizes, a new submit on the queue's own paper and one that names
    that same paper as its media, so that the difference is the selection and its read-back.
    Every submit prints."""
    png = shipping_label()
    kinds = ("list_printers", "get_printer", "get_printer, 400 sizes", "new submit",
             "new submit with media")
    times = {kind: [] for kind in kinds}
    with CupsScheduler() as cups, WinePrefix() as prefix:
        cups.add_queue(MEDIA_QUEUE, "wine-multi-size", default=True)
        cups.add_queue(MANY_QUEUE, "wine-many-sizes")
        with prefix.start_host(cups=cups, executable=executable) as host:
            first_ms, _ = timed(host, "get_printer", "first", {"printer": MEDIA_QUEUE})
            for i in range(rounds):
                requests = {
                    "list_printers": ("list_printers", None),
                    "get_printer": ("get_printer", {"printer": MEDIA_QUEUE}),
                    "get_printer, 400 sizes": ("get_printer", {"printer": MANY_QUEUE}),
                    "new submit": ("submit", payload(f"p{i}", png, MEDIA_QUEUE)),
                    "new submit with media": ("submit", payload(
                        f"m{i}", png, MEDIA_QUEUE, media="na_letter_8.5x11in"))}
                for n, (kind, (message, body)) in enumerate(requests.items()):
                    ms, answer = timed(host, message, f"r{i}.{n}", body)
                    if not answer["ok"]:
                        sys.exit(f"unexpected answer for {kind}: {answer}")
                    times[kind].append(ms)
            host.finish()
        cups.wait_for_documents(2 * rounds)
    figures = {"first get_printer of a process": f"{first_ms:.2f}"}
    figures.update({kind: f"{statistics.median(times[kind]):.2f}" for kind in kinds})
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--ledger-records", type=int, default=0,
                        help="records in the ledger before the first request")
    parser.add_argument("--media", action="store_true",
                        help="get_printer and media submits beside list_printers and plain ones")
    args, hosts = parse_with_hosts(parser)
    if args.media:
        print_side_by_side({label: media_figures(executable, args.rounds)
                            for label, executable in hosts},
                           f"milliseconds, medians of {args.rounds} rounds")
        return

    png = shipping_label()
    print(f"label: 812 x 1218 px at 203 dpi, PNG {len(png)} bytes, "
          f"Base64 {len(base64.b64encode(png))} characters")
    figures = measure(hosts, png, args)
    print_side_by_side(
        figures, f"milliseconds, medians of {args.rounds} rounds; ledger seeded with "
                 f"{args.ledger_records} records; a duplicate submit is state work + "
                 "verification + lookup")


if __name__ == "__main__":
    main()
