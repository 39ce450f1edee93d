// Labels drawn in the extension and encoded as the PNG the host prints. The host draws
// one PNG pixel as 1/dpi inch, so a label prints at its physical size when its pixel size
// is that size times the dpi; the helpers here keep the two together. The host ignores
// alpha (a transparent pixel prints in its stored colour, usually black), so every pixel
// is flattened onto white before encoding.

import { invalidArgument } from "./errors.js";

export interface Label {
  png: Uint8Array;
  widthPx: number;
  heightPx: number;
  dpi: number;
}

export interface LabelSize {
  width: number;
  height: number;
  /** "in" (default) or "mm". */
  unit?: "in" | "mm";
  dpi: number;
}

/** What encodeLabelPng needs of an ImageData: 8-bit RGBA rows, top to bottom. */
export interface RgbaPixels {
  width: number;
  height: number;
  data: Uint8ClampedArray | Uint8Array;
}

export function labelPixelSize(size: LabelSize): { widthPx: number; heightPx: number } {
  const perUnit = size.unit === "mm" ? 25.4 : 1;
  if (!Number.isInteger(size.dpi) || size.dpi < 72 || size.dpi > 1200) {
    throw invalidArgument("submit", "dpi", "must be an integer from 72 to 1200.");
  }
  const widthPx = Math.round((size.width / perUnit) * size.dpi);
  const heightPx = Math.round((size.height / perUnit) * size.dpi);
  for (const [name, px] of [["width", widthPx], ["height", heightPx]] as const) {
    if (!(px >= 16 && px <= 10000)) {
      throw invalidArgument("submit", name, `gives ${px} pixels at ${size.dpi} dpi; 16 to 10000 are printable.`);
    }
  }
  return { widthPx, heightPx };
}

/** A white OffscreenCanvas of the label's pixel size, to draw the label on. */
export function createLabelCanvas(size: LabelSize): { canvas: OffscreenCanvas; widthPx: number; heightPx: number; dpi: number } {
  const { widthPx, heightPx } = labelPixelSize(size);
  const canvas = new OffscreenCanvas(widthPx, heightPx);
  const context = canvas.getContext("2d")!;
  context.fillStyle = "#fff";
  context.fillRect(0, 0, widthPx, heightPx);
  return { canvas, widthPx, heightPx, dpi: size.dpi };
}

/** The canvas's picture as a label PNG for `dpi`. */
export async function labelFromCanvas(canvas: OffscreenCanvas, dpi: number): Promise<Label> {
  const context = canvas.getContext("2d") as OffscreenCanvasRenderingContext2D | null;
  if (!context) throw invalidArgument("submit", "canvas", "has no 2d context.");
  return labelFromImageData(context.getImageData(0, 0, canvas.width, canvas.height), dpi);
}

export async function labelFromImageData(pixels: RgbaPixels, dpi: number): Promise<Label> {
  return { png: await encodeLabelPng(pixels, dpi), widthPx: pixels.width, heightPx: pixels.height, dpi };
}

/** An 8-bit RGB PNG of the pixels flattened onto white, with its resolution recorded. */
export async function encodeLabelPng(pixels: RgbaPixels, dpi: number): Promise<Uint8Array> {
  const { width, height, data } = pixels;
  if (data.length !== width * height * 4) {
    throw invalidArgument("submit", "pixels", "must hold width x height RGBA pixels.");
  }
  const rowLength = 1 + width * 3;
  const raw = new Uint8Array(rowLength * height);
  for (let y = 0; y < height; y++) {
    let out = y * rowLength + 1; // byte 0 of a row: filter type 0
    let at = y * width * 4;
    for (let x = 0; x < width; x++, at += 4) {
      const alpha = data[at + 3];
      const keep = alpha / 255;
      const white = 255 - alpha;
      raw[out++] = Math.round(data[at] * keep + white);
      raw[out++] = Math.round(data[at + 1] * keep + white);
      raw[out++] = Math.round(data[at + 2] * keep + white);
    }
  }
  return pngFile(width, height, 8, 2, raw, dpi);
}

/** The luminance (0 to 255, flattened onto white) below which a pixel of a bilevel label
 *  is black: the rendered page's grey edges fall to whichever side holds more than half of
 *  the pixel, so bars keep their width (measured with the barcode check: docs/protocol.md). */
export const BILEVEL_THRESHOLD = 128;

/** A 1-bit grey-scale PNG of the pixels flattened onto white, a pixel black where its
 *  luminance is below `threshold`: no grey edge reaches the driver, and the file is a
 *  twenty-fourth of an RGB one before compression. */
export async function encodeBilevelPng(pixels: RgbaPixels, dpi: number,
                                       threshold: number = BILEVEL_THRESHOLD): Promise<Uint8Array> {
  const { width, height, data } = pixels;
  if (data.length !== width * height * 4) {
    throw invalidArgument("submit", "pixels", "must hold width x height RGBA pixels.");
  }
  const rowLength = 1 + ((width + 7) >> 3);
  const raw = new Uint8Array(rowLength * height);
  // Luminance in thousandths (ITU-R BT.601 weights), compared without a division. A label
  // is mostly opaque white: one 32-bit compare passes such a pixel, whatever the byte order.
  const limit = threshold * 1000;
  const aligned = data.byteOffset % 4 === 0 ? data : data.slice();
  const words = new Uint32Array(aligned.buffer, aligned.byteOffset, width * height);
  for (let y = 0; y < height; y++) {
    let out = y * rowLength + 1;
    let at = y * width;
    let bits = 0;
    for (let x = 0; x < width; x++, at++) {
      let white = words[at] === 0xffffffff;
      if (!white) {
        const alpha = aligned[at * 4 + 3];
        let luma = aligned[at * 4] * 299 + aligned[at * 4 + 1] * 587 + aligned[at * 4 + 2] * 114;
        if (alpha !== 255) luma = luma * alpha / 255 + (255 - alpha) * 1000;
        white = luma >= limit;
      }
      bits = (bits << 1) | (white ? 1 : 0); // 1 is white
      if ((x & 7) === 7) {
        raw[out++] = bits;
        bits = 0;
      }
    }
    if (width & 7) raw[out] = bits << (8 - (width & 7));
  }
  return pngFile(width, height, 1, 0, raw, dpi);
}

/** A PNG of filtered rows (`raw`) with its resolution recorded. */
async function pngFile(width: number, height: number, bitDepth: number, colourType: number,
                       raw: Uint8Array, dpi: number): Promise<Uint8Array> {
  const header = new Uint8Array(13);
  const hv = new DataView(header.buffer);
  hv.setUint32(0, width);
  hv.setUint32(4, height);
  header.set([bitDepth, colourType, 0, 0, 0], 8);
  const phys = new Uint8Array(9);
  const pv = new DataView(phys.buffer);
  const perMetre = Math.round(dpi / 0.0254);
  pv.setUint32(0, perMetre);
  pv.setUint32(4, perMetre);
  phys[8] = 1;
  const compressed = await zlibDeflate(raw);
  const parts = [new Uint8Array([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
                 chunk("IHDR", header), chunk("pHYs", phys), chunk("IDAT", compressed),
                 chunk("IEND", new Uint8Array(0))];
  const png = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let offset = 0;
  for (const part of parts) {
    png.set(part, offset);
    offset += part.length;
  }
  return png;
}

async function zlibDeflate(bytes: Uint8Array): Promise<Uint8Array> {
  const stream = new Blob([bytes as Uint8Array<ArrayBuffer>]).stream().pipeThrough(new CompressionStream("deflate"));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

let crcTable: Uint32Array | null = null;

function crc32(bytes: Uint8Array): number {
  if (!crcTable) {
    crcTable = new Uint32Array(256);
    for (let n = 0; n < 256; n++) {
      let c = n;
      for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
      crcTable[n] = c >>> 0;
    }
  }
  let crc = 0xffffffff;
  for (const b of bytes) crc = crcTable[(crc ^ b) & 0xff] ^ (crc >>> 8);
  return (crc ^ 0xffffffff) >>> 0;
}

function chunk(kind: string, data: Uint8Array): Uint8Array {
  const out = new Uint8Array(12 + data.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, data.length);
  for (let i = 0; i < 4; i++) out[4 + i] = kind.charCodeAt(i);
  out.set(data, 8);
  view.setUint32(8 + data.length, crc32(out.subarray(4, 8 + data.length)));
  return out;
}
