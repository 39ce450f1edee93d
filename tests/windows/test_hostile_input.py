"""Hostile input through the Wine-run host: 8 MiB bodies nested 10,000 levels deep and as deep
as 8 MiB allows, huge numbers, invalid UTF-8, lone surrogate escapes, a "base64" text at the
text limit, a PNG whose image data inflates far past the decoder limit and a 10,000 x 10,000
16-bit RGB PNG. Each gets its error from the catalogue, the host answers the next message,
nothing is recorded, and the host's peak memory (VmHWM of the process that runs it) stays
within a bound far below one decoded label.

Environment: VANTREL_HOSTILE_PEAK_MIB (default 96) is the allowed growth of the peak over the
host's own peak after a first hello, body included."""

import base64
import os
import struct
import sys
import time
import zlib
from dataclasses import dataclass
from pathlib import Path


from rig.images import CHANNELS, png_chunk, png_header
from rig.protocol import MAX_MESSAGE_LEN, submit, submit_payload
from rig.testing import HostTestCase, main

MIB = 1 << 20
MAX_BODY = MAX_MESSAGE_LEN
BASE64_TEXT_LIMIT = 6_990_522
PEAK_BUDGET_MIB = float(os.environ.get("VANTREL_HOSTILE_PEAK_MIB", "96"))

NOT_JSON = ("", "BAD_REQUEST", "The native message is not valid protocol JSON.")
NOT_PROTOCOL_1 = ("s", "BAD_REQUEST", "The print job does not match protocol 1.")
NOT_BASE64 = ("s", "BAD_REQUEST", "The raster payload is not valid base64.")
TOO_LARGE = ("s", "PAYLOAD_TOO_LARGE", "The PNG label exceeds the helper limit.")
NOT_AN_IMAGE = ("s", "BAD_REQUEST", "The raster payload is not a valid PNG image.")
MISSING_QUEUE = "No_Such_Queue"  # if a hostile label got through, nothing could print it


# ---- bodies


def padded(body: bytes, size: int = MAX_BODY) -> bytes:
    """`body`, an object, with spaces before its closing brace up to `size` bytes."""
    assert body.endswith(b"}") and len(body) <= size
    return body[:-1] + b" " * (size - len(body)) + b"}"


def hello_with(member: bytes) -> bytes:
    """A hello envelope with one more member holding `member` (raw JSON text)."""
    return b'{"protocol":1,"request_id":"x","type":"hello","extra":' + member + b"}"


def submit_body(raster: dict | None = None, **fields) -> bytes:
    payload = submit_payload("hostile", MISSING_QUEUE, b"", 16, 16)
    payload["payload"].update(raster or {})
    payload.update(fields)
    return submit("s", payload)


def submit_with_raw(field: str, raw: bytes) -> bytes:
    """A submit whose `field` holds the raw JSON text `raw` (a number no Python value prints)."""
    body = submit_body(**{field: 7777})
    assert body.count(b"7777") == 1
    return body.replace(b"7777", raw)


def filled(prefix: bytes, byte: bytes, suffix: bytes, size: int = MAX_BODY) -> bytes:
    """`prefix`, then `byte` repeated, then `suffix`: `size` bytes in all."""
    return prefix + byte * (size - len(prefix) - len(suffix)) + suffix


def nested(depth: int, room: int) -> bytes:
    """`depth` arrays in one another, padded with spaces to `room` bytes."""
    return b"[" * depth + b"]" * depth + b" " * (room - 2 * depth)


# ---- PNG files whose image data is all zero bytes


def deflate_zeros(count: int) -> bytes:
    """A zlib stream of `count` zero bytes, quick for gigabytes: one 1 MiB segment compressed once
    and repeated (a full flush ends it byte-aligned and forgets the window, so the copies decode
    alike), then the rest, then the checksum, which for zeros is count mod 65521 and 1."""
    segment_size = MIB
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    segment = compressor.compress(bytes(segment_size)) + compressor.flush(zlib.Z_FULL_FLUSH)
    whole, rest = divmod(count, segment_size)
    tail = zlib.compressobj(9, zlib.DEFLATED, -15)
    last = tail.compress(bytes(rest)) + tail.flush()
    return (b"\x78\xda" + segment * whole + last +
            struct.pack(">I", ((count % 65521) << 16) | 1))


def zero_png(width: int, height: int, bit_depth: int, color_type: int, extra: int = 0) -> bytes:
    """A black PNG with filter "none" on every row and `extra` zero bytes behind its rows."""
    row = 1 + (width * CHANNELS[color_type] * bit_depth + 7) // 8
    return (png_header(width, height, bit_depth, color_type) +
            png_chunk(b"IDAT", deflate_zeros(row * height + extra)) + png_chunk(b"IEND", b""))


def png_submit(png: bytes, width: int, height: int) -> bytes:
    return submit_body({"base64": base64.b64encode(png).decode(), "width_px": width,
                        "height_px": height})


@dataclass
class Case:
    name: str
    body: object  # bytes, or a function making them (large PNGs are made when needed)
    expected: tuple  # (request_id, code, message)
    also: tuple = ()  # other messages a JSON reader may choose (range limits of numbers)

    def make(self) -> bytes:
        return self.body() if callable(self.body) else self.body


NESTED_PREFIX = b'{"protocol":1,"request_id":"x","type":"hello","extra":'
NESTED_ROOM = MAX_BODY - len(NESTED_PREFIX) - 1

CASES = [
    # Nesting: the depth limit must stop the reader before it builds (or recurses through)
    # millions of levels.
    Case("10,000 nested arrays in an 8 MiB body",
         lambda: padded(hello_with(nested(10_000, 2 * 10_000))), NOT_JSON),
    Case("4 million nested arrays (8 MiB)",
         lambda: hello_with(nested(NESTED_ROOM // 2, NESTED_ROOM)), NOT_JSON),
    Case("8 MiB of opening brackets", lambda: b"[" * MAX_BODY, NOT_JSON),
    Case("10,000 nested objects in the payload of an 8 MiB body",
         lambda: padded(submit_with_raw("payload", b'{"a":' * 10_000 + b"0" + b"}" * 10_000)),
         NOT_JSON),
    # Numbers: a protocol number must be an integer below 2^32, whatever its size; fields of
    # the job description must fit their width.
    Case("protocol of 8 million digits",
         lambda: filled(b'{"protocol":1', b"0", b',"request_id":"x","type":"hello"}'),
         NOT_JSON),
    Case("protocol 2^32", b'{"protocol":4294967296,"request_id":"x","type":"hello"}', NOT_JSON),
    Case("protocol 1e999999999", b'{"protocol":1e999999999,"request_id":"x","type":"hello"}',
         NOT_JSON),
    Case("copies 2^64", submit_with_raw("copies", b"18446744073709551616"), NOT_PROTOCOL_1),
    Case("dpi below -2^63", submit_with_raw("dpi", b"-9223372036854775809"), NOT_PROTOCOL_1),
    Case("copies of 8 million digits",
         lambda: submit_with_raw("copies",
                                 b"9" * (MAX_BODY - len(submit_with_raw("copies", b"")))),
         NOT_JSON, also=(NOT_PROTOCOL_1,)),
    # Text that is not UTF-8, and escapes that are not text.
    Case("NUL byte after a valid hello", hello_with(b'null') + b'\x00', NOT_JSON),
    Case("NUL byte and text after a valid hello",
         hello_with(b'null') + b'\x00garbage', NOT_JSON),
    Case("byte FF in request_id", b'{"protocol":1,"request_id":"\xff","type":"hello"}', NOT_JSON),
    Case("overlong slash in title", submit_body(title="a").replace(b'"title":"a"',
                                                                   b'"title":"\xc0\xaf"'),
         NOT_JSON),
    Case("UTF-8 encoded surrogate in printer",
         submit_body(printer="a").replace(b'"printer":"a"', b'"printer":"\xed\xa0\x80"'),
         NOT_JSON),
    Case("code point above U+10FFFF", hello_with(b'"\xf4\x90\x80\x80"'), NOT_JSON),
    Case("sequence cut short at the end of a string", hello_with(b'"\xe2\x82"'), NOT_JSON),
    Case("8 MiB string of byte FF",
         lambda: filled(hello_with(b'"')[:-1], b"\xff", b'"}'), NOT_JSON),
    Case("lone high surrogate escape in request_id",
         b'{"protocol":1,"request_id":"\\ud800","type":"hello"}', NOT_JSON),
    Case("lone low surrogate escape in title",
         submit_body(title="a").replace(b'"title":"a"', b'"title":"\\udc00"'), NOT_JSON),
    Case("high surrogate escape before a letter", hello_with(b'"\\ud83dA"'), NOT_JSON),
    # Base64 at the text limit.
    Case("base64 of exactly 6,990,522 bytes",
         lambda: submit_body({"base64": "A" * (BASE64_TEXT_LIMIT - 2) + "=="}), NOT_BASE64),
    Case("base64 one byte over the text limit",
         lambda: submit_body({"base64": "A" * (BASE64_TEXT_LIMIT + 1)}), TOO_LARGE),
    Case("base64 decoding to 5,242,890 bytes",
         lambda: submit_body({"base64": "A" * (BASE64_TEXT_LIMIT - 2)}), TOO_LARGE),
    # PNG files that would cost far more than their size.
    Case("16 x 16 PNG whose image data inflates to 2 GiB",
         lambda: png_submit(zero_png(16, 16, 8, 0, extra=2 << 30), 16, 16), NOT_AN_IMAGE),
    Case("10,000 x 10,000 RGBA PNG whose image data inflates to 2 GiB",
         lambda: png_submit(zero_png(10_000, 10_000, 8, 6, extra=(2 << 30) - 400_010_000),
                            10_000, 10_000), NOT_AN_IMAGE),
    Case("10,000 x 10,000 16-bit RGB PNG",
         lambda: png_submit(zero_png(10_000, 10_000, 16, 2), 10_000, 10_000), NOT_AN_IMAGE),
]


def memory_kib(pid: int, key: str) -> int | None:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


class HostileInput(HostTestCase):
    def test_every_hostile_message_gets_its_error_and_the_host_stays_up_in_bounded_memory(self):
        figures = []
        for case in CASES:
            with self.subTest(case.name):
                self.check(case, figures)
        print(f"\n{'input':<62} {'body':>9} {'seconds':>8} {'peak growth':>12}  answer")
        for name, size, seconds, growth_kib, code in figures:
            growth = "n/a" if growth_kib is None else f"{growth_kib / 1024:.1f} MiB"
            print(f"{name:<62} {size:>9} {seconds:>8.2f} {growth:>12}  {code}")
        measured = [f[3] for f in figures if f[3] is not None]
        if measured:
            print(f"largest peak growth {max(measured) / 1024:.1f} MiB "
                  f"(allowed {PEAK_BUDGET_MIB:g} MiB)", flush=True)

    def check(self, case: Case, figures: list):
        body = case.make()
        self.assertLessEqual(len(body), MAX_BODY, case.name)
        host = self.start_host()
        self.assertTrue(host.request("hello", "warm")["ok"])
        pid = host.process.pid
        # Under Wine the process started for the host runs the host itself.
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            measurable = host.executable.name.encode() in cmdline.read()
        baseline = memory_kib(pid, "VmHWM") if measurable else None

        started = time.monotonic()
        host.send_frame(body)
        answer = host.read_answer(timeout=120)
        seconds = time.monotonic() - started
        peak = memory_kib(pid, "VmHWM") if baseline is not None else None

        got = (answer["request_id"], answer.get("error", {}).get("code"),
               answer.get("error", {}).get("message"))
        growth = None if peak is None else peak - baseline
        figures.append((case.name, len(body), seconds, growth, got[1] or "ok"))

        self.assertFalse(answer["ok"], f"{case.name}: {answer}")
        self.assertIn(got, (case.expected, *case.also), case.name)
        after = host.request("hello", "after")
        self.assertTrue(after["ok"], f"{case.name}: the host did not answer the next message")
        self.assertIsNone(host.process.poll())
        result = host.finish()
        self.assertEqual((result.returncode, result.stderr), (0, b""), case.name)
        ledger = self.prefix.state_file("ledger.json")
        self.assertFalse(ledger.exists() and b'"hostile"' in ledger.read_bytes(),
                         f"{case.name}: a hostile submit was recorded")
        if growth is not None:
            self.assertLessEqual(growth / 1024, PEAK_BUDGET_MIB,
                                 f"{case.name}: peak memory grew by {growth / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
