"""The host's wire format as a client writes and reads it: frames (4-byte little-endian
length + body), request envelopes with one builder per request type, and answers."""

from __future__ import annotations

import base64
import json
import struct

MAX_MESSAGE_LEN = 8_388_608


def frame(body: bytes | str) -> bytes:
    if isinstance(body, str):
        body = body.encode("utf-8")
    return struct.pack("<I", len(body)) + body


def split_frames(data: bytes) -> tuple[list[bytes], bytes]:
    """Splits a byte stream into frame bodies; returns them and any incomplete tail."""
    bodies = []
    offset = 0
    while len(data) - offset >= 4:
        (length,) = struct.unpack_from("<I", data, offset)
        if len(data) - offset - 4 < length:
            break
        bodies.append(data[offset + 4: offset + 4 + length])
        offset += 4 + length
    return bodies, data[offset:]


def envelope(message_type: str, request_id: str = "r1", payload=None, protocol=1,
             **extra) -> bytes:
    """A compact request body; `payload=None` leaves the member out."""
    obj = {"protocol": protocol, "request_id": request_id, "type": message_type}
    if payload is not None:
        obj["payload"] = payload
    obj.update(extra)
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


# ---- one builder per request type


def hello(request_id: str = "r1", **extra) -> bytes:
    return envelope("hello", request_id, **extra)


def list_printers(request_id: str = "r1") -> bytes:
    return envelope("list_printers", request_id)


def submit_payload(intent_id: str, printer: str, png: bytes, width: int, height: int, *,
                   title: str | None = None, copies: int = 1, dpi: int = 203, **extra) -> dict:
    """A submit's payload; the title defaults to the intent id (the capture queues keep it,
    so tests count documents by intent). `extra` adds or replaces members."""
    payload = {"intent_id": intent_id, "printer": printer, "title": title or intent_id,
               "copies": copies, "dpi": dpi,
               "payload": {"format": "png", "base64": base64.b64encode(png).decode(),
                           "width_px": width, "height_px": height}}
    payload.update(extra)
    return payload


def submit(request_id: str, payload: dict) -> bytes:
    return envelope("submit", request_id, payload)


def get_job(request_id: str, intent_id) -> bytes:
    return envelope("get_job", request_id, {"intent_id": intent_id})


# ---- answers


def decode_answer(body: bytes) -> dict:
    """Decodes an answer body, refusing repeated keys."""
    def no_duplicates(pairs):
        keys = [k for k, _ in pairs]
        if len(keys) != len(set(keys)):
            raise ValueError(f"repeated key in answer: {keys}")
        return dict(pairs)
    return json.loads(body.decode("utf-8"), object_pairs_hook=no_duplicates)


def shorten(value, limit: int = 72):
    """A message for display: long strings (Base64 images) cut, and the extension's
    {"$repeat": [text, count]} padding named instead of spelled out."""
    if isinstance(value, str) and len(value) > limit:
        return f"{value[:limit // 2]}...({len(value)} characters)"
    if isinstance(value, dict):
        if set(value) == {"$repeat"}:
            return f"<{value['$repeat'][1]} x {value['$repeat'][0]!r}, built by the extension>"
        return {k: shorten(v, limit) for k, v in value.items()}
    if isinstance(value, list):
        return [shorten(v, limit) for v in value]
    return value
