#!/usr/bin/env python3
"""A real session with the Wine-run host, as the browser would hold it: a private CUPS
scheduler with a capture queue, a private Wine prefix, and one host process that gets
each request in turn over its standard input. Every request and answer is printed as it
travels (long strings shortened); printed documents are copied to build/demo/printed
with a picture of each page.

    python3 scripts/session.py [--out DIR]

To show more, add steps to `demo_session` below: `session.ask(type, payload, note=...)`.
"""

import argparse
import base64
import json
import shutil
import sys
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "tests" / "e2e"))
import harness  # noqa: E402

QUEUE = "Label_4x6_203dpi"
QUEUE_DPI = 203


def shorten(value, limit=72):
    """The value with long strings (Base64 images) cut for display."""
    if isinstance(value, str) and len(value) > limit:
        return f"{value[:limit // 2]}...({len(value)} characters)"
    if isinstance(value, dict):
        return {k: shorten(v, limit) for k, v in value.items()}
    if isinstance(value, list):
        return [shorten(v, limit) for v in value]
    return value


class Session:
    def __init__(self, prefix: harness.WinePrefix, cups: harness.CupsScheduler):
        self.host = prefix.start_host(cups=cups)
        self.count = 0

    def ask(self, message_type: str, payload=None, *, note: str = "",
            timeout: float = 30) -> dict:
        """Sends one request, prints it and the answer, returns the decoded answer."""
        body = harness.envelope(message_type, f"demo-{self.count + 1}", payload)
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
        return harness.decode_answer(answer_body)

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


# A 5 x 7 dot font, enough for the label's text; each row is 5 bits, left to right.
FONT = {
    "A": (14, 17, 17, 31, 17, 17, 17), "B": (30, 17, 17, 30, 17, 17, 30),
    "C": (14, 17, 16, 16, 16, 17, 14), "D": (30, 17, 17, 17, 17, 17, 30),
    "E": (31, 16, 16, 30, 16, 16, 31), "F": (31, 16, 16, 30, 16, 16, 16),
    "G": (14, 17, 16, 23, 17, 17, 15), "H": (17, 17, 17, 31, 17, 17, 17),
    "I": (14, 4, 4, 4, 4, 4, 14), "J": (7, 2, 2, 2, 2, 18, 12),
    "K": (17, 18, 20, 24, 20, 18, 17), "L": (16, 16, 16, 16, 16, 16, 31),
    "M": (17, 27, 21, 21, 17, 17, 17), "N": (17, 17, 25, 21, 19, 17, 17),
    "O": (14, 17, 17, 17, 17, 17, 14), "P": (30, 17, 17, 30, 16, 16, 16),
    "Q": (14, 17, 17, 17, 21, 18, 13), "R": (30, 17, 17, 30, 20, 18, 17),
    "S": (15, 16, 16, 14, 1, 1, 30), "T": (31, 4, 4, 4, 4, 4, 4),
    "U": (17, 17, 17, 17, 17, 17, 14), "V": (17, 17, 17, 10, 10, 4, 4),
    "W": (17, 17, 17, 21, 21, 21, 10), "X": (17, 17, 10, 4, 10, 17, 17),
    "Y": (17, 17, 10, 4, 4, 4, 4), "Z": (31, 1, 2, 4, 8, 16, 31),
    "0": (14, 17, 19, 21, 25, 17, 14), "1": (4, 12, 4, 4, 4, 4, 14),
    "2": (14, 17, 1, 2, 4, 8, 31), "3": (31, 2, 4, 2, 1, 17, 14),
    "4": (2, 6, 10, 18, 31, 2, 2), "5": (31, 16, 30, 1, 1, 17, 14),
    "6": (6, 8, 16, 30, 17, 17, 14), "7": (31, 1, 2, 4, 8, 8, 8),
    "8": (14, 17, 17, 14, 17, 17, 14), "9": (14, 17, 17, 15, 1, 2, 12),
    ":": (0, 12, 12, 0, 12, 12, 0), ".": (0, 0, 0, 0, 0, 12, 12),
    "-": (0, 0, 0, 31, 0, 0, 0), "#": (10, 10, 31, 10, 31, 10, 10), " ": (0,) * 7,
}


def demo_label_png() -> bytes:
    """A 4 x 6 in shipping label at 203 dpi (812 x 1218 px): a 1-pixel frame, sender and
    recipient text, a barcode-like pattern and the order number under it."""
    width, height = 812, 1218
    canvas = [bytearray(b"\xff" * width) for _ in range(height)]

    def fill(x0, y0, x1, y1):
        for y in range(y0, y1):
            canvas[y][x0:x1] = b"\x00" * (x1 - x0)

    def text(x, y, line, scale):
        for index, char in enumerate(line):
            for row, bits in enumerate(FONT[char]):
                for column in range(5):
                    if bits >> (4 - column) & 1:
                        left = x + (index * 6 + column) * scale
                        fill(left, y + row * scale, left + scale, y + (row + 1) * scale)

    fill(0, 0, width, 1)  # the 1-pixel frame
    fill(0, height - 1, width, height)
    fill(0, 0, 1, height)
    fill(width - 1, 0, width, height)
    text(40, 40, "FROM: VANTREL PRINT", 4)
    text(40, 80, "1 DOCK STREET  PORT 1000", 4)
    fill(40, 140, width - 40, 144)
    text(40, 180, "SHIP TO:", 5)
    text(40, 240, "J. DOE", 8)
    text(40, 320, "12 HARBOUR ROAD", 6)
    text(40, 380, "PORT 4021", 6)
    fill(40, 460, width - 40, 464)
    x, bar = 76, 0
    while x < width - 76:  # bars of one to four modules, like a linear barcode
        module = 3 * (1 + (bar * 7919 + 13) % 4)
        if bar % 2 == 0:
            fill(x, 520, min(x + module, width - 76), 880)
        x += module
        bar += 1
    text(196, 910, "ORDER # 1001", 6)
    fill(40, 1000, width - 40, 1004)
    text(40, 1040, "4X6 IN  203 DPI  1 OF 1", 4)
    return harness.make_png(width, height, lambda x, y: (canvas[y][x],), color_type=0)


def demo_session(session: Session):
    session.ask("hello", note="what the host is")
    session.ask("list_printers", note="the print queues Windows (here Wine, from CUPS) has")
    label = {
        "intent_id": "demo-order-1001", "printer": QUEUE, "title": "Order 1001",
        "copies": 1, "dpi": QUEUE_DPI,
        "payload": {"format": "png", "base64": base64.b64encode(demo_label_png()).decode(),
                    "width_px": 812, "height_px": 1218},
    }
    session.ask("submit", label, note="print one 4x6 label, recorded in the ledger first")
    session.ask("submit", label, note="the same intent again: answered from the ledger, "
                                      "not printed twice")
    session.ask("get_job", {"intent_id": "demo-order-1001"}, note="what became of it")
    session.ask("get_job", {"intent_id": "never-sent"}, note="an intent the host never saw")
    session.ask("print_test_page", note="a message type the host does not know is refused")
    session.ask_raw(b'{"protocol":1,"request_id":', note="a body that is not JSON is refused")


def keep_printed(cups: harness.CupsScheduler, out: Path) -> list[Path]:
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    kept = []
    for document in cups.wait_for_documents(0):
        target = out / f"{document.queue}-job{document.job_id}.ps"
        shutil.copy(document.path, target)
        kept.append(target)
        kept.extend(harness.rasterise(target, QUEUE_DPI, out, device="png16m"))
    return kept


def main():
    parser = argparse.ArgumentParser(description="Run a demo session with the Wine-run host.")
    parser.add_argument("--out", type=Path, default=REPO_ROOT / "build" / "demo" / "printed",
                        help="where printed documents are kept")
    args = parser.parse_args()

    missing = harness.missing_prerequisites()
    if missing:
        sys.exit("missing: " + ", ".join(missing))

    print(f"host: {harness.WINE64} {harness.host_executable()}")
    with harness.CupsScheduler() as cups:
        cups.add_queue(QUEUE, "label-4x6-203", default=True)
        print(f"private CUPS scheduler on {cups.socket} (no network port), "
              f"queue {QUEUE}: 4x6 in, {QUEUE_DPI} dpi, captured to files")
        print("creating a private Wine prefix (about 10 s)...")
        with harness.WinePrefix() as prefix:
            print(f"Wine prefix ready in {prefix.created_in_s:.1f} s: {prefix.path}")
            session = Session(prefix, cups)
            try:
                demo_session(session)
            finally:
                session.close()
            state = prefix.state_dir
            if state.exists():
                print(f"\nstate folder C:\\users\\{prefix.user_name}\\AppData\\Local\\"
                      f"com.vantrel.print holds: {sorted(p.name for p in state.iterdir())}")
        kept = keep_printed(cups, args.out)
    if kept:
        print(f"\nprinted documents (PostScript as the queue received it, and page pictures):")
        for path in kept:
            print(f"  {path}")
    else:
        print(f"\nnothing was printed in this session (printed pages would be kept in {args.out})")


if __name__ == "__main__":
    main()
