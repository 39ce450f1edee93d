#!/usr/bin/env python3
"""A real session with the host, as the browser would hold it: a private CUPS scheduler
with a capture queue and one host process that gets each request in turn over its
standard input. Every request and answer is printed as it travels (long strings
shortened); printed documents are copied to build/demo/printed with a picture of each
page.

    python3 scripts/session.py [--out DIR]            the Windows host, under Wine
    python3 scripts/session.py --linux [--out DIR]    the Linux host (build/linux), whose
                                                      PDFs go to build/demo/printed-linux

To show more, add steps to `demo_session` below: `session.ask(type, payload, note=...)`.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]

from rig import protocol
from rig.cups import CupsScheduler
from rig.images import rasterise
from rig.labels import shipping_label
from rig.linux_host import STATE_FOLDER, LinuxHostProcess, add_pdf_queue, linux_host_executable
from rig.programs import WINE64, host_executable, missing_prerequisites
from rig.protocol import shorten
from rig.wine import WinePrefix

QUEUE = "Label_4x6_203dpi"
QUEUE_DPI = 203


class Session:
    def __init__(self, host):
        self.host = host
        self.count = 0

    def ask(self, message_type: str, payload=None, *, note: str = "",
            timeout: float = 30) -> dict:
        """Sends one request, prints it and the answer, returns the decoded answer."""
        body = protocol.envelope(message_type, f"demo-{self.count + 1}", payload)
        return self.ask_raw(body, title=message_type, note=note, timeout=timeout)

    def ask_raw(self, body: bytes, *, title: str = "raw body", note: str = "",
                timeout: float = 30) -> dict:
        """Sends `body` as it is in one frame, prints it and the answer."""
        self.count += 1
        print(f"\n-- {self.count}. {title}" + (f": {note}" if note else ""))
        print(f">>> {self._show(body)}   [{len(body)} bytes]")
        self.host.send_frame(body)
        answer_body = self.host.read_frame(timeout)
        if answer_body is None:
            print(f"<<< (no answer; the host ended: {self.host.stderr_text.strip()!r})")
            return {}
        print(f"<<< {self._show(answer_body)}   [{len(answer_body)} bytes]")
        return protocol.decode_answer(answer_body)

    @staticmethod
    def _show(body: bytes) -> str:
        try:
            value = json.loads(body)
        except ValueError:
            return repr(body[:120])
        if json.dumps(shorten(value)) == json.dumps(value):
            return body.decode("utf-8")
        return json.dumps(shorten(value), ensure_ascii=False, separators=(",", ":"))

    def close(self):
        result = self.host.finish()
        print(f"\n-- end of input: the host exited with status {result.returncode}"
              + (f", standard error {result.stderr_text!r}" if result.stderr else
                 ", nothing on standard error"))
        self.host.close()


def demo_session(session: Session, queues: str):
    session.ask("hello", note="what the host is")
    session.ask("list_printers", note=f"the print queues {queues} has")
    details = session.ask("get_printer", {"printer": QUEUE},
                          note="what the queue offers: media, printable areas, resolutions")
    media = details.get("result", {}).get("default_media") or None
    label = protocol.submit_payload("demo-order-1001", QUEUE, shipping_label(), 812, 1218,
                                    title="Order 1001", dpi=QUEUE_DPI, media=media)
    session.ask("submit", label, note="print one 4x6 label on the queue's 4x6 media, "
                                      "recorded in the ledger first")
    session.ask("submit", label, note="the same intent again: answered from the ledger, "
                                      "not printed twice")
    session.ask("get_job", {"intent_id": "demo-order-1001"}, note="what became of it")
    session.ask("get_job", {"intent_id": "never-sent"}, note="an intent the host never saw")
    a4 = protocol.submit_payload("demo-order-1002", QUEUE, shipping_label(), 812, 1218,
                                 title="Order 1002", dpi=QUEUE_DPI, media="iso_a4_210x297mm")
    session.ask("submit", a4, note="a media the queue does not offer: refused, nothing printed")
    session.ask("print_test_page", note="a message type the host does not know is refused")
    session.ask_raw(b'{"protocol":1,"request_id":', note="a body that is not JSON is refused")


def show_log(state: Path):
    """The host's diagnostics log as support staff would read it."""
    log = state / "logs" / "host.log"
    if log.is_file():
        print("its diagnostics log, logs/host.log:")
        for line in log.read_text().splitlines():
            print(f"  {line}")


def keep_printed(cups: CupsScheduler, out: Path, suffix: str) -> list[Path]:
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    kept = []
    for document in cups.wait_for_documents(0):
        target = out / f"{document.queue}-job{document.job_id}{suffix}"
        shutil.copy(document.path, target)
        kept.append(target)
        kept.extend(rasterise(target, QUEUE_DPI, out, device="png16m"))
    return kept


def windows_session(cups: CupsScheduler) -> str:
    """Runs the session through the Wine-run host; returns what the printed files are."""
    missing = missing_prerequisites()
    if missing:
        sys.exit("missing: " + ", ".join(missing))
    print(f"host: {WINE64} {host_executable()}")
    cups.add_queue(QUEUE, "label-4x6-203", default=True)
    print(f"private CUPS scheduler on {cups.socket} (no network port), "
          f"queue {QUEUE}: 4x6 in, {QUEUE_DPI} dpi, captured to files")
    print("creating a private Wine prefix (about 10 s)...")
    with WinePrefix() as prefix:
        print(f"Wine prefix ready in {prefix.created_in_s:.1f} s: {prefix.path}")
        session = Session(prefix.start_host(cups=cups))
        try:
            demo_session(session, "Windows (here Wine, from CUPS)")
        finally:
            session.close()
        state = prefix.state_dir
        if state.exists():
            print(f"\nstate folder C:\\users\\{prefix.user_name}\\AppData\\Local\\"
                  f"com.vantrel.print holds: {sorted(p.name for p in state.iterdir())}")
            show_log(state)
    return "PostScript as the queue received it from Wine's driver"


def linux_session(cups: CupsScheduler) -> str:
    """Runs the session through the Linux host; returns what the printed files are."""
    host = linux_host_executable()
    if not host.is_file():
        sys.exit(f"missing: {host} (run: bash scripts/build)")
    print(f"host: {host}")
    add_pdf_queue(cups, QUEUE, default=True)
    print(f"private CUPS scheduler on {cups.socket} (no network port), "
          f"queue {QUEUE}: 4x6 in, {QUEUE_DPI} dpi, its PDFs captured to files")
    state_home = Path(tempfile.mkdtemp(prefix="vantrel-demo-state-"))
    try:
        env = dict(os.environ, **cups.env, XDG_STATE_HOME=str(state_home))
        session = Session(LinuxHostProcess(env, host))
        try:
            demo_session(session, "CUPS")
        finally:
            session.close()
        state = state_home / STATE_FOLDER
        if state.exists():
            print(f"\nstate folder $XDG_STATE_HOME/{STATE_FOLDER} holds: "
                  f"{sorted(p.name for p in state.iterdir())}")
            show_log(state)
    finally:
        shutil.rmtree(state_home, ignore_errors=True)
    return "the PDF the host sent to CUPS"


def main():
    parser = argparse.ArgumentParser(description="Run a demo session with the host.")
    parser.add_argument("--linux", action="store_true",
                        help="the Linux host (build/linux) instead of the Wine-run Windows host")
    parser.add_argument("--out", type=Path, help="where printed documents are kept "
                        "(default build/demo/printed, or build/demo/printed-linux)")
    args = parser.parse_args()
    out = args.out or REPO_ROOT / "build" / "demo" / ("printed-linux" if args.linux else "printed")

    with CupsScheduler() as cups:
        what = linux_session(cups) if args.linux else windows_session(cups)
        kept = keep_printed(cups, out, ".pdf" if args.linux else ".ps")
    if kept:
        print(f"\nprinted documents ({what}, and a picture of each page):")
        for path in kept:
            print(f"  {path}")
    else:
        print(f"\nnothing was printed in this session (printed pages would be kept in {out})")


if __name__ == "__main__":
    main()
