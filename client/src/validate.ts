// Arguments are checked before anything is sent, with the host's own limits, so that a
// caller's mistake is a typed INVALID_ARGUMENT naming the argument instead of a host
// process started only to refuse it (or, for an intent id, a record the caller never meant).

import { Operation, invalidArgument } from "./errors.js";
import { mediaSizeOfName } from "./media.js";
import { RawFormat, settingsCommand } from "./raw.js";

export const MAX_PNG_BYTES = 5_242_880;
const INTENT_ID = /^[A-Za-z0-9\-.:_]{1,160}$/;
const MEDIA = /^[A-Za-z0-9\-._]{1,128}$/;
const PNG_SIGNATURE = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];

export function checkIntentId(operation: Operation, value: unknown): string {
  if (typeof value !== "string" || !INTENT_ID.test(value)) {
    throw invalidArgument(operation, "intentId",
      "must be 1 to 160 ASCII letters, digits, '-', '.', ':' or '_'.");
  }
  return value;
}

function hasControl(text: string): boolean {
  for (const ch of text) {
    const c = ch.codePointAt(0)!;
    if (c <= 0x1f || (c >= 0x7f && c <= 0x9f)) return true;
  }
  return false;
}

export function checkText(operation: Operation, name: string, value: unknown, maxBytes: number): string {
  if (typeof value !== "string" || value.length === 0 || hasControl(value) ||
      new TextEncoder().encode(value).length > maxBytes) {
    throw invalidArgument(operation, name,
      `must be text of 1 to ${maxBytes} UTF-8 bytes without control characters.`);
  }
  return value;
}

export function checkInteger(operation: Operation, name: string, value: unknown, min: number, max: number): number {
  if (typeof value !== "number" || !Number.isInteger(value) || value < min || value > max) {
    throw invalidArgument(operation, name, `must be an integer from ${min} to ${max}.`);
  }
  return value;
}

/** A media name the host can select. One that names no size the host would refuse only after
 *  recording the attempt, leaving the intent id failed for good. */
export function checkMedia(operation: Operation, value: unknown): string | undefined {
  if (value === undefined || value === null) return undefined;
  if (typeof value !== "string" || !MEDIA.test(value) || mediaSizeOfName(value) === null) {
    throw invalidArgument(operation, "media",
      "must be a media name from getPrinter, such as na_index-4x6_4x6in: 1 to 128 ASCII " +
      "letters, digits, '-', '.' or '_', ending in _<width>x<height>in or _<width>x<height>mm.");
  }
  return value;
}

/** The PNG's bytes, after checking its size, signature and that its header declares
 *  exactly `widthPx` x `heightPx` (the host refuses any other). */
export function checkPng(operation: Operation, value: unknown, widthPx: number, heightPx: number): Uint8Array {
  const bytes = value instanceof Uint8Array ? value
    : value instanceof ArrayBuffer ? new Uint8Array(value) : null;
  if (bytes === null) throw invalidArgument(operation, "png", "must be a Uint8Array or an ArrayBuffer.");
  if (bytes.length > MAX_PNG_BYTES) {
    throw invalidArgument(operation, "png", `is ${bytes.length} bytes; the host accepts at most ${MAX_PNG_BYTES}.`);
  }
  const isPng = bytes.length >= 24 && PNG_SIGNATURE.every((b, i) => bytes[i] === b) &&
    String.fromCharCode(bytes[12], bytes[13], bytes[14], bytes[15]) === "IHDR";
  if (!isPng) throw invalidArgument(operation, "png", "is not a PNG file.");
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const width = view.getUint32(16);
  const height = view.getUint32(20);
  if (width !== widthPx || height !== heightPx) {
    throw invalidArgument(operation, "png",
      `is ${width} x ${height} pixels but widthPx x heightPx is ${widthPx} x ${heightPx}.`);
  }
  return bytes;
}

/** A printer-language label's bytes, refused as the host refuses it for good: empty, over the
 *  host's 5 MiB, or carrying a command that changes the printer beyond the job (unless the
 *  caller allows those). */
export function checkRawLabel(operation: Operation, format: RawFormat, value: unknown,
                              settingsAllowed: boolean): Uint8Array {
  const bytes = typeof value === "string" ? new TextEncoder().encode(value)
    : value instanceof Uint8Array ? value
    : value instanceof ArrayBuffer ? new Uint8Array(value) : null;
  if (bytes === null) throw invalidArgument(operation, "data", "must be a Uint8Array, an ArrayBuffer or a string.");
  if (bytes.length === 0 || bytes.length > MAX_PNG_BYTES) {
    throw invalidArgument(operation, "data", `is ${bytes.length} bytes; the host accepts 1 to ${MAX_PNG_BYTES}.`);
  }
  const command = settingsAllowed ? null : settingsCommand(format, bytes);
  if (command !== null) {
    throw invalidArgument(operation, "data",
      `contains ${command}, which changes the printer beyond this job; pass printerSettings: "allow" to print it anyway.`);
  }
  return bytes;
}
