#!/usr/bin/env python3
"""Figures for submit through the Wine-run host: a new 4 x 6 in label at 203 dpi, split into
its stages by requests that stop after each of them, and a repeated (duplicate) submit.

    python3 bench/wine_submit.py [--rounds N] [--ledger-records N] [--host LABEL=PATH ...]

Every request is sent after the previous answer arrived, to one host process, as the browser
does. The stages are differences of medians:
  state work        hello (lock, ledger load, recovery, bridge status)
  verification      duplicate submit - hello (Base64, PNG check and digest; answered from the ledger)
  saves             media-refused submit - duplicate (the DISPATCHING save and the settling save)
  decoding          submit to a missing queue - media-refused (second decoding; CreateDC fails at once)
  rendering         new submit - submit to a missing queue (GDI to the spooler, the document spooled)
Needs the Windows build (bash scripts/build)."""

import argparse
import base64
import json
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402

QUEUE = "Bench_4x6_203"


def shipping_label() -> bytes:
    """812 x 1218 grey: a frame, bars like a barcode, blocks like text lines."""
    def pixel(x, y):
        frame = x in (0, 811) or y in (0, 1217)
        bars = 700 <= y < 900 and 100 <= x < 712 and (x * 7 // 13) % 3 == 0
        text = (y // 40) % 2 == 0 and y < 600 and 60 <= x < 60 + (y * 37 % 600)
        return (0,) if frame or bars or text else (255,)
    return harness.make_png(812, 1218, pixel, color_type=0)


def payload(intent_id: str, png: bytes, printer: str = QUEUE, **extra) -> dict:
    request = {"intent_id": intent_id, "printer": printer, "title": intent_id, "copies": 1,
               "dpi": 203, "payload": {"format": "png", "base64": base64.b64encode(png).decode(),
                                       "width_px": 812, "height_px": 1218}}
    request.update(extra)
    return request


def seed_ledger(prefix: harness.WinePrefix, count: int):
    now = time.time_ns() // 1_000_000
    jobs = {f"seed-{i:05d}": {
        "intent_id": f"seed-{i:05d}", "payload_sha256": "0" * 64, "state": "COMPLETED",
        "printer": QUEUE, "os_job_id": str(i), "created_at_ms": now, "updated_at_ms": now,
        "error_code": "", "error_message": ""} for i in range(count)}
    prefix.write_state_file("ledger.json", json.dumps(
        {"schema": 1, "updated_at_ms": now, "jobs": jobs}, indent=2))


def timed(host, kind, request_id, body) -> tuple[float, dict]:
    started = time.perf_counter()
    answer = host.request(kind, request_id, body, timeout=60)
    return (time.perf_counter() - started) * 1000, answer


def measure(executable: Path, png: bytes, args) -> dict[str, str]:
    times: dict[str, list[float]] = {k: [] for k in
                                     ("hello", "duplicate", "media", "missing", "new")}
    with harness.CupsScheduler() as cups:
        cups.add_queue(QUEUE, "label-4x6-203", default=True)
        with harness.WinePrefix() as prefix:
            if args.ledger_records:
                seed_ledger(prefix, args.ledger_records)
            with prefix.start_host(cups=cups, executable=executable) as host:
                assert timed(host, "submit", "w", payload("warm", png))[1]["ok"]
                for i in range(args.rounds):
                    for kind, body in (("hello", None),
                                       ("duplicate", payload("warm", png)),
                                       ("media", payload(f"m{i}", png, media="w288h432")),
                                       ("missing", payload(f"x{i}", png, printer="No_Such_Queue")),
                                       ("new", payload(f"n{i}", png))):
                        ms, answer = timed(host, "hello" if kind == "hello" else "submit",
                                           f"{kind}{i}", body)
                        expect_ok = kind in ("hello", "duplicate", "new")
                        if answer["ok"] != expect_ok:
                            sys.exit(f"unexpected answer for {kind}: {answer}")
                        times[kind].append(ms)
                host.finish()
            printed = len(cups.wait_for_documents(args.rounds + 1))

    med = {k: statistics.median(v) for k, v in times.items()}
    return {
        "hello": f"{med['hello']:.2f}",
        "new submit": f"{med['new']:.2f}",
        "  state work": f"{med['hello']:.2f}",
        "  verification": f"{med['duplicate'] - med['hello']:.2f}",
        "  first save + settling": f"{med['media'] - med['duplicate']:.2f}",
        "  decoding": f"{med['missing'] - med['media']:.2f}",
        "  rendering and spooling": f"{med['new'] - med['missing']:.2f}",
        "duplicate submit": f"{med['duplicate']:.2f}",
        "documents printed": str(printed),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--ledger-records", type=int, default=0,
                        help="records in the ledger before the first request")
    parser.add_argument("--host", action="append", metavar="LABEL=PATH",
                        help="a host to measure (repeat to compare builds side by side)")
    args = parser.parse_args()
    hosts = harness.labelled_hosts(args.host)
    missing = harness.missing_prerequisites()
    if missing:
        sys.exit("missing: " + ", ".join(missing))

    png = shipping_label()
    print(f"label: 812 x 1218 px at 203 dpi, PNG {len(png)} bytes, "
          f"Base64 {len(base64.b64encode(png))} characters")
    figures = {label: measure(path, png, args) for label, path in hosts}
    harness.print_side_by_side(
        figures, f"milliseconds, medians of {args.rounds} rounds; ledger seeded with "
                 f"{args.ledger_records} records; a duplicate submit is state work + "
                 "verification + lookup")


if __name__ == "__main__":
    main()
