import assert from "node:assert/strict";
import { test } from "node:test";
import { inflateSync } from "node:zlib";

import {
  answerPdfRender, createClient, encodeBilevelPng, PrintHostError, relayPdfRenderer,
} from "../dist/index.js";
import { FakeBrowser } from "./fake_browser.mjs";

const HELLO = { arch: "x86_64", capabilities: ["submit_png", "get_printer", "media"], platform: "linux",
                protocol: 1, version: "1.1.0" };
const FOUR_BY_SIX = { name: "na_index-4x6_4x6in", width_um: 101600, height_um: 152400, printable_area: null };
const QUEUE = {
  name: "Label", state: "idle", enabled: true, uri: "cups", is_default: true, color: false,
  resolutions: [{ x_dpi: 300, y_dpi: 300 }], default_resolution: { x_dpi: 300, y_dpi: 300 },
  media: [{ name: "na_index-4x2_4x2in", width_um: 101600, height_um: 50800, printable_area: null }, FOUR_BY_SIX],
  default_media: "na_index-4x6_4x6in", media_ready: [], media_truncated: false };

/** A PNG's signature and header: all that the client checks of a label. */
function pngOf(width, height) {
  const png = new Uint8Array(33);
  png.set([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13, 0x49, 0x48, 0x44, 0x52]);
  new DataView(png.buffer).setUint32(16, width);
  new DataView(png.buffer).setUint32(20, height);
  return png;
}

/** A renderer of pages of the given sizes in points, as renderPdf answers. */
function pagesOf(...sizes) {
  const calls = [];
  const render = async (pdf, request) => {
    calls.push(request);
    return { pageCount: sizes.length, pages: sizes.map(([w, h], i) => {
      const widthPx = Math.round(w / 72 * request.dpi), heightPx = Math.round(h / 72 * request.dpi);
      return { page: i + 1, widthPt: w, heightPt: h, widthPx, heightPx, dpi: request.dpi, png: pngOf(widthPx, heightPx) };
    }) };
  };
  return Object.assign(render, { calls });
}

/** A host answering hello and get_printer, and each submit by `submits` (default: printed). */
function host({ queue = QUEUE, hello = HELLO, submits = {} } = {}) {
  return (request, port) => {
    if (request.type === "hello") return port.answer(request, { result: hello });
    if (request.type === "get_printer") return port.answer(request, { result: queue });
    const id = request.payload.intent_id;
    port.answer(request, submits[id] ?? { result: { duplicate: false, intent_id: id, os_job_id: "9", printer: "Label",
                                                     state: "SUBMITTED" } });
  };
}

async function printPdf(hostOptions, renderer, options = {}) {
  const browser = new FakeBrowser("chromium", host(hostOptions));
  const c = createClient({ hostName: "com.vantrel.print", runtime: browser.runtime, retry: false });
  Object.assign(c, hostOptions.extend?.(c));
  try {
    return { value: await c.printPdf("Label", new Uint8Array([1]), { intentId: "ship-7", title: "Ship 7", renderer, ...options }),
             browser };
  } catch (error) {
    assert.ok(error instanceof PrintHostError, String(error));
    return { error, browser };
  } finally {
    c.close();
  }
}

const submits = (browser) => browser.requests.filter((r) => r.type === "submit").map((r) => r.payload);

test("printPdf: each page one label at the queue's resolution, on the media of its size", async () => {
  const renderer = pagesOf([288, 432], [288, 144]);
  const { value, browser } = await printPdf({}, renderer, { copies: 2 });
  assert.deepEqual(renderer.calls, [{ pages: undefined, dpi: 300, crop: null }]);
  assert.deepEqual(submits(browser).map((p) => [p.intent_id, p.dpi, p.payload.width_px, p.payload.height_px, p.media, p.copies, p.title]), [
    ["ship-7:p1", 300, 1200, 1800, "na_index-4x6_4x6in", 2, "Ship 7 (page 1)"],
    ["ship-7:p2", 300, 1200, 600, "na_index-4x2_4x2in", 2, "Ship 7 (page 2)"]]);
  assert.deepEqual(value.pages.map((p) => [p.page, p.intentId, p.state]), [[1, "ship-7:p1", "SUBMITTED"], [2, "ship-7:p2", "SUBMITTED"]]);
});

// Each row: the host, the renderer, printPdf's options; the error, what each page became, the submits sent.
const REFUSALS = [
  ["a page larger than every media is refused before anything is sent", {}, pagesOf([288, 432], [612, 792]), {},
   "PAGE_LARGER_THAN_MEDIA", undefined, []],
  ["the caller's media is held to the same rule", {}, pagesOf([612, 792]), { media: "na_index-4x6_4x6in" },
   "PAGE_LARGER_THAN_MEDIA", undefined, []],
  ["a queue without a resolution gets 203 dpi; the host's refusal of the only page", {
    queue: { ...QUEUE, resolutions: [], default_resolution: null }, submits: { "ship-7:p1": { error: "MEDIA_MISMATCH" } } },
   pagesOf([288, 432]), {}, "MEDIA_MISMATCH",
   [{ page: 1, intentId: "ship-7:p1", mayHavePrinted: "no", code: "MEDIA_MISMATCH" }], [["ship-7:p1", 203]]],
  ["a page that may have printed stops the pages after it, each told apart", {
    submits: { "ship-7:p2": { error: "UNKNOWN_OUTCOME" } } }, pagesOf([288, 432], [288, 432], [288, 432]), {},
   "UNKNOWN_OUTCOME", [{ page: 1, intentId: "ship-7:p1", mayHavePrinted: "yes" },
                       { page: 2, intentId: "ship-7:p2", mayHavePrinted: "maybe", code: "UNKNOWN_OUTCOME" },
                       { page: 3, intentId: "ship-7:p3", mayHavePrinted: "no" }], [["ship-7:p1", 300], ["ship-7:p2", 300]]],
  ["an intent id that leaves no room for the page suffix is refused before anything is sent", {}, pagesOf([288, 432]),
   { intentId: "x".repeat(158) }, "INVALID_ARGUMENT", undefined, []],
];

test("printPdf: refusals and failed pages", async (t) => {
  for (const [name, hostOptions, renderer, options, code, pages, sent] of REFUSALS) {
    await t.test(name, async () => {
      const { error, browser } = await printPdf(hostOptions, renderer, options);
      assert.equal(error?.code, code);
      assert.deepEqual(error.pages, pages);
      assert.deepEqual(submits(browser).map((p) => [p.intent_id, p.dpi]), sent);
    });
  }
});

test("printPdf: one submit_batch through printLabels where the host offers it", async () => {
  const batches = [];
  const extend = () => ({ printLabels: async (printer, labels, options) => {
    batches.push([printer, labels.map((l) => l.intentId), options.media, options.dpi]);
    return labels.map((l) => ({ intentId: l.intentId, verdict: "printed", duplicate: false, osJobId: "7",
                                state: "SUBMITTED" }));
  } });
  const hello = { ...HELLO, capabilities: [...HELLO.capabilities, "submit_batch"] };
  const { value, browser } = await printPdf({ hello, extend }, pagesOf([288, 432], [288, 432]));
  assert.deepEqual(batches, [["Label", ["ship-7:p1", "ship-7:p2"], "na_index-4x6_4x6in", 300]]);
  assert.deepEqual(submits(browser), []);
  assert.deepEqual(value.pages.map((p) => p.intentId), ["ship-7:p1", "ship-7:p2"]);
});

test("a render relayed as JSON keeps the labels' bytes and the typed errors", async () => {
  const relay = (render) => relayPdfRenderer(async (message) =>
    JSON.parse(JSON.stringify(await answerPdfRender(JSON.parse(JSON.stringify(message)), {}, render))));
  const rendered = await relay(pagesOf([288, 432]))(new Uint8Array([37, 80]), { dpi: 203 });
  assert.deepEqual(rendered.pages[0].png, pngOf(812, 1218));
  const refused = async () => { throw new PrintHostError({ code: "PDF_ENCRYPTED", operation: "print_pdf", message: "locked" }); };
  await assert.rejects(relay(refused)(new Uint8Array([1]), { dpi: 203 }),
                       (e) => e instanceof PrintHostError && e.code === "PDF_ENCRYPTED" && e.mayHavePrinted === "no");
});

test("encodeBilevelPng: black below the threshold, flattened onto white, rows padded to a byte", async () => {
  // Nine pixels: luminance 127, 128, 129, then red (76), transparent black (white), half-covered black.
  const rgba = [[127, 127, 127, 255], [128, 128, 128, 255], [129, 129, 129, 255], [255, 0, 0, 255],
                [0, 0, 0, 0], [0, 0, 0, 128], [255, 255, 255, 255], [0, 0, 0, 255], [200, 200, 200, 255]];
  const png = await encodeBilevelPng({ width: 9, height: 1, data: new Uint8Array(rgba.flat()) }, 300, 128);
  const ihdr = png.subarray(16, 29);
  assert.deepEqual([...ihdr.subarray(8, 10)], [1, 0]); // 1 bit, grey
  const idat = png.indexOf(0x49, 33); // the IDAT chunk follows IHDR and pHYs
  const length = new DataView(png.buffer).getUint32(idat - 4);
  assert.deepEqual([...inflateSync(png.subarray(idat + 4, idat + 4 + length))], [0, 0b01101010, 0b10000000]);
});
