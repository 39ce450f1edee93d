// A wave of labels as submit_batch requests: the labels checked as submits are, split so that
// each request stays within the host's limits, and one outcome per label whose "may have
// printed" never goes down across the requests of the call.

import { MayHavePrinted, PrintHostError, atLeast, invalidArgument } from "./errors.js";
import { toBase64 } from "./base64.js";
import { checkInteger, checkIntentId, checkPng, checkRawLabel } from "./validate.js";
import { RawFormat } from "./raw.js";

/** One label of a wave drawn as a PNG; the printer, dpi, title and media are the wave's. */
export interface PngWaveLabel {
  intentId: string;
  format?: "png";
  png: Uint8Array | ArrayBuffer;
  widthPx: number;
  heightPx: number;
  /** 1 to 10 (default 1). */
  copies?: number;
}

/** One label of a wave in the printer's own language, sent unchanged (hosts that list
 *  "submit_batch_raw"). A string is sent as its UTF-8 bytes. */
export interface RawWaveLabel {
  intentId: string;
  format: RawFormat;
  data: Uint8Array | ArrayBuffer | string;
  copies?: number;
}

/** All labels of a wave share one format. */
export type WaveLabel = PngWaveLabel | RawWaveLabel;

export interface PrintLabelsOptions {
  dpi: number;
  title: string;
  /** A media name from getPrinter, as for submit. */
  media?: string | null;
  /** "allow": ZPL or EPL labels of the wave may change the printer beyond the job, as for
   *  submit. Part of each label's output. */
  printerSettings?: "allow";
  signal?: AbortSignal;
}

/** "printed": the host recorded the label as handed to the print system (now or earlier).
 *  "not printed": it certainly did not print; reprinting under a new intent id prints once.
 *  "may have printed": it cannot be known; look at the printer or getJob() first. */
export type LabelVerdict = "printed" | "not printed" | "may have printed";

export interface LabelOutcome {
  intentId: string;
  verdict: LabelVerdict;
  /** Set when printed. */
  duplicate?: boolean;
  osJobId?: string;
  state?: string;
  /** A ZPL or EPL label's, as for submit: "checked" or "undeclared". */
  geometry?: "undeclared" | "checked";
  /** Set when not printed or when it may have printed. */
  error?: PrintHostError;
}

export const BATCH_MAX_LABELS = 500;
/** The host's limit for a request is 8 MiB; the margin holds the envelope and shared fields. */
export const BATCH_MAX_REQUEST_BYTES = 8 * 1024 * 1024 - 4096;

/** A label as the request carries it, with its size in the request's JSON. */
export interface WaveEntry {
  index: number;
  payload: any;
  bytes: number;
  /** An earlier request of this call may have printed it. */
  reached: boolean;
}

/** The wave's one format; labels of several formats refuse the whole wave. */
export function waveFormat(labels: WaveLabel[]): "png" | RawFormat {
  if (!Array.isArray(labels) || labels.length === 0) {
    throw invalidArgument("submit_batch", "labels", "must be a non-empty array of labels.");
  }
  const formats = new Set(labels.map((label) => label?.format ?? "png"));
  const [format] = formats;
  if (formats.size > 1 || !["png", "zpl", "epl"].includes(format)) {
    throw invalidArgument("submit_batch", "labels", 'must all be of one format: "png", "zpl" or "epl".');
  }
  return format;
}

/** Each label of a wave of `format` (waveFormat) checked as submit checks it; a repeated intent
 *  id refuses the whole wave. A label that fails its own check is answered "not printed"
 *  without being sent. */
export function waveEntries(labels: WaveLabel[], format: "png" | RawFormat, settingsAllowed = false): { entries: WaveEntry[]; refused: Map<number, PrintHostError> } {
  const seen = new Set<string>();
  const entries: WaveEntry[] = [];
  const refused = new Map<number, PrintHostError>();
  labels.forEach((label, index) => {
    try {
      const intentId = checkIntentId("submit", label?.intentId);
      if (seen.has(intentId)) {
        throw invalidArgument("submit_batch", "labels", `repeat the intent id ${intentId}.`);
      }
      seen.add(intentId);
      const copies = checkInteger("submit", "copies", label.copies ?? 1, 1, 10);
      let body: any;
      if (format !== "png") {
        body = { format, base64: toBase64(checkRawLabel("submit", format, (label as RawWaveLabel).data, settingsAllowed)) };
      } else {
        const drawn = label as PngWaveLabel;
        const widthPx = checkInteger("submit", "widthPx", drawn.widthPx, 16, 10_000);
        const heightPx = checkInteger("submit", "heightPx", drawn.heightPx, 16, 10_000);
        const png = checkPng("submit", drawn.png, widthPx, heightPx);
        body = { format: "png", base64: toBase64(png), width_px: widthPx, height_px: heightPx };
      }
      const payload = { intent_id: intentId, copies, payload: body };
      entries.push({ index, payload, bytes: JSON.stringify(payload).length + 1, reached: false });
    } catch (error) {
      if (error instanceof PrintHostError && error.operation === "submit_batch") throw error;
      if (!(error instanceof PrintHostError)) throw error;
      error.intentId = typeof label?.intentId === "string" ? label.intentId : undefined;
      refused.set(index, error);
    }
  });
  return { entries, refused };
}

/** The entries in request order, cut into requests of at most 500 labels and the byte limit. */
export function splitWave(entries: WaveEntry[], sharedBytes: number): WaveEntry[][] {
  const batches: WaveEntry[][] = [];
  let current: WaveEntry[] = [];
  let bytes = sharedBytes;
  for (const entry of entries) {
    if (current.length > 0 &&
        (current.length === BATCH_MAX_LABELS || bytes + entry.bytes > BATCH_MAX_REQUEST_BYTES)) {
      batches.push(current);
      current = [];
      bytes = sharedBytes;
    }
    current.push(entry);
    bytes += entry.bytes;
  }
  if (current.length > 0) batches.push(current);
  return batches;
}

/** A label's final outcome from its last error, raised by what earlier requests may have done. */
export function failedOutcome(intentId: string, error: PrintHostError, reached: boolean): LabelOutcome {
  const judged = atLeast(error, reached ? "maybe" : "no");
  const verdict: Record<MayHavePrinted, LabelVerdict> = {
    no: "not printed", maybe: "may have printed", yes: "printed" };
  judged.intentId = intentId;
  return { intentId, verdict: verdict[judged.mayHavePrinted], error: judged };
}
