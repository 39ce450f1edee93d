// Media: the self-describing names the host understands, and the choice of a queue's media
// for a label. The choice follows the host's own rules, so that a media picked here is one
// the host selects (within half a millimetre of the name) and places the label on without
// refusing it (shrunk by at most a quarter, never rotated).

import { invalidArgument } from "./errors.js";

/** The part of a media that can be printed on, from its top-left corner, in micrometres. */
export interface MediaArea {
  xUm: number;
  yUm: number;
  widthUm: number;
  heightUm: number;
}

/** One media a queue offers (getPrinter): its name and size in micrometres, the width as
 *  the label stands on the page. */
export interface PrinterMedia {
  name: string;
  widthUm: number;
  heightUm: number;
  /** null where the print system does not tell it (Windows: all but the default paper). */
  printableArea: MediaArea | null;
}

/** The sizes a queue takes beyond its listed media (getPrinter's customRange), in micrometres;
 *  null where the print system does not tell them. */
export interface CustomRange {
  minWidthUm: number;
  maxWidthUm: number;
  minHeightUm: number;
  maxHeightUm: number;
}

/** get_printer's custom_range in the client's terms. */
export function customRangeOf(range: { min_width_um: number; max_width_um: number;
  min_height_um: number; max_height_um: number } | null | undefined): CustomRange | null {
  return range ? { minWidthUm: range.min_width_um, maxWidthUm: range.max_width_um,
    minHeightUm: range.min_height_um, maxHeightUm: range.max_height_um } : null;
}

/** A label's physical size: in inches or in millimetres, width as it stands on the page. */
export type LabelDimensions = { widthIn: number; heightIn: number } | { widthMm: number; heightMm: number };

/** What pickMedia needs of getPrinter's answer. */
export interface MediaChoices {
  media: PrinterMedia[];
  defaultMedia: string;
  mediaReady: string[];
}

const UM_PER_INCH = 25_400;
// The host's bounds for a dimension in a name: at least a micrometre, at most 10 m.
const LARGEST_MEDIA_UM = 10_000_000;
// Any characters before the last "_" (line breaks too, as the host reads them).
const MEDIA_NAME = /^[\s\S]+_(\d+(?:\.\d+)?)x(\d+(?:\.\d+)?)(in|mm)$/;
// A queue's paper matches a named size within half a millimetre each way, as the host's.
const MATCH_TOLERANCE_UM = 500;

/** The size a self-describing media name says ("na_index-4x6_4x6in": 101600 x 152400 µm),
 *  or null for a name the host would refuse as naming no size. */
export function mediaSizeOfName(name: string): { widthUm: number; heightUm: number } | null {
  const parts = MEDIA_NAME.exec(name);
  if (!parts) return null;
  const scale = parts[3] === "in" ? UM_PER_INCH : 1000;
  const [width, height] = [parts[1], parts[2]].map((text) => Number(text) * scale);
  // The host's rule: the limits hold for the size as written, then it is rounded.
  const inRange = (um: number) => um >= 1 && um <= LARGEST_MEDIA_UM;
  if (!inRange(width) || !inRange(height)) return null;
  return { widthUm: Math.round(width), heightUm: Math.round(height) };
}

function labelMicrometres(label: LabelDimensions): [number, number] {
  const given = (label ?? {}) as Partial<{ widthIn: number; heightIn: number; widthMm: number; heightMm: number }>;
  const [width, height, scale] = given.widthIn !== undefined
    ? [given.widthIn, given.heightIn, UM_PER_INCH] : [given.widthMm, given.heightMm, 1000];
  const size = (value: unknown) => typeof value === "number" && value > 0 && Number.isFinite(value);
  if (!size(width) || !size(height)) {
    throw invalidArgument("pick_media", "label",
      "must be { widthIn, heightIn } or { widthMm, heightMm }, positive numbers.");
  }
  return [width! * scale, height! * scale];
}

/** The media of `printer` to print a label of `label`'s size on, or null when none holds it.
 *
 *  A media holds the label when its printable area (its whole size where that is not known)
 *  takes the label as the host places it: at its size, or shrunk evenly by no more than a
 *  quarter, never rotated. Among those: a media of the label's size (within 0.5 mm each way,
 *  in the same orientation) first, else the smallest by surface; between equals, a loaded
 *  one (mediaReady), then the default one, then the print system's order. */
export function pickMedia(printer: MediaChoices, label: LabelDimensions): PrinterMedia | null {
  const [width, height] = labelMicrometres(label);
  const holds = (m: PrinterMedia) => {
    const area = m.printableArea ?? { widthUm: m.widthUm, heightUm: m.heightUm };
    return 4 * area.widthUm >= 3 * width && 4 * area.heightUm >= 3 * height;
  };
  const exact = (m: PrinterMedia) =>
    Math.abs(m.widthUm - width) <= MATCH_TOLERANCE_UM && Math.abs(m.heightUm - height) <= MATCH_TOLERANCE_UM;
  const rank = (m: PrinterMedia) => [exact(m) ? 0 : 1, m.widthUm * m.heightUm,
    printer.mediaReady.includes(m.name) ? 0 : 1, m.name === printer.defaultMedia ? 0 : 1];
  const before = (a: number[], b: number[]) => {
    const i = a.findIndex((value, at) => value !== b[at]);
    return i >= 0 && a[i] < b[i];
  };
  let best: PrinterMedia | null = null;
  let bestRank: number[] = [];
  for (const m of printer.media) {
    if (!holds(m)) continue;
    const r = rank(m);
    if (best === null || before(r, bestRank)) [best, bestRank] = [m, r];
  }
  return best;
}
