// Carrier labels that arrive as PDF. Each page is rendered with pdf.js at the queue's own
// resolution, one device dot per pixel, so that the label keeps the page's physical size and
// the host prints it without scaling; the render is made bilevel before encoding, so that no
// grey edge of a bar reaches the driver's own halftoning. pdf.js is loaded only here, on the
// first render, and needs a document with a canvas: an extension page, Firefox's background
// page or Chrome's offscreen document (relayPdfRenderer carries the work there from Chrome's
// service worker, which has none).

import { fromBase64, toBase64 } from "./base64.js";
import type { CallOptions, PngSubmitJob, PrintClient, PrinterDetails, SubmitResult } from "./client.js";
import { MayHavePrinted, PdfCode, PdfPageOutcome, PrintHostError, invalidArgument } from "./errors.js";
import { BILEVEL_THRESHOLD, encodeBilevelPng, Label } from "./label.js";
import { pickMedia, PrinterMedia } from "./media.js";
import type { LabelOutcome, PrintLabelsOptions, WaveLabel } from "./batch.js";
import { MAX_PNG_BYTES, checkInteger, checkIntentId, checkMedia, checkText } from "./validate.js";

/** A region of a page in points (1/72 in), from the page's top-left corner as it is shown
 *  (after the page's own rotation). */
export interface PdfCrop {
  x: number;
  y: number;
  width: number;
  height: number;
}

/** Where pdf.js is found. The defaults are the extension's own files, as the example ships
 *  them: pdfjs/pdf.min.mjs, pdfjs/pdf.worker.min.mjs, pdfjs/standard_fonts/ and pdfjs/wasm/
 *  (the decoders of JPEG 2000 and JBIG2 images), from the pdfjs-dist package. A bundled
 *  extension passes `load: () => import("pdfjs-dist")` and the URLs of its copies. */
export interface PdfJsSource {
  load?: () => Promise<unknown>;
  workerSrc?: string;
  standardFontDataUrl?: string;
  wasmUrl?: string;
}

export interface PdfRenderRequest {
  /** Page numbers from 1 (default: every page). */
  pages?: number[];
  dpi: number;
  crop?: PdfCrop | null;
  /** The luminance below which a pixel is black (default BILEVEL_THRESHOLD). */
  threshold?: number;
}

export interface RenderedPage extends Label {
  page: number;
  /** The size of what was rendered (the page, or its crop), in points. */
  widthPt: number;
  heightPt: number;
}

export interface RenderedPdf {
  pageCount: number;
  pages: RenderedPage[];
}

/** Turns a PDF into one bilevel label per page; renderPdf where pdf.js can run. */
export type PdfRenderer = (pdf: Uint8Array, request: PdfRenderRequest) => Promise<RenderedPdf>;

export interface PrintPdfOptions extends CallOptions {
  /** Each page prints under `<intentId>:p<n>`. */
  intentId: string;
  title: string;
  copies?: number;
  pages?: number[];
  /** Every page on this media (a name from getPrinter); default: pickMedia for each page's size. */
  media?: string | null;
  crop?: PdfCrop | null;
  /** getPrinter's answer for `printer`, when the caller has it: not asked again. */
  printerDetails?: PrinterDetails;
  /** Where the pages are rendered (default: here, with renderPdf and `pdfjs`). */
  renderer?: PdfRenderer;
  pdfjs?: PdfJsSource;
}

export interface PrintedPage extends SubmitResult {
  page: number;
  media: string | null;
}

export interface PdfPrintResult {
  printer: string;
  dpi: number;
  pages: PrintedPage[];
}

// The host's bounds of a label's sides, in pixels.
const SIDE_PX = { min: 16, max: 10_000 };
// Where a queue does not tell its resolution, the one of most label printers.
const FALLBACK_DPI = 203;

function pdfError(code: PdfCode | "UNSUPPORTED", message: string): PrintHostError {
  return new PrintHostError({ code, operation: "print_pdf", message });
}

// ---- rendering, where pdf.js runs

function extensionUrl(path: string): string {
  const scope = globalThis as any;
  const runtime = scope.browser?.runtime ?? scope.chrome?.runtime;
  if (typeof runtime?.getURL !== "function") {
    throw pdfError("UNSUPPORTED", `pdf.js's ${path} has no default place outside an extension: give printPdf's pdfjs option.`);
  }
  return runtime.getURL(path);
}

let pdfjsLoaded: Promise<any> | null = null;

/** pdf.js with one worker for every document: a worker's start costs more than a page. */
function loadPdfjs(source: PdfJsSource): Promise<any> {
  if (typeof Worker === "undefined" || typeof OffscreenCanvas === "undefined") {
    return Promise.reject(pdfError("UNSUPPORTED",
      "pdf.js needs a document with workers and canvases: in Chrome render in an offscreen document " +
      "(relayPdfRenderer), in Firefox in the background page or an extension page."));
  }
  pdfjsLoaded ??= (async () => {
    const module: any = await (source.load ? source.load() : import(extensionUrl("pdfjs/pdf.min.mjs")));
    const pdfjs = module?.getDocument ? module : module?.default;
    if (typeof pdfjs?.getDocument !== "function") throw new Error("the module is not pdf.js");
    const workerSrc = source.workerSrc ?? extensionUrl("pdfjs/pdf.worker.min.mjs");
    pdfjs.GlobalWorkerOptions.workerPort = new Worker(workerSrc, { type: "module" });
    return pdfjs;
  })().catch((error) => {
    pdfjsLoaded = null;
    throw error instanceof PrintHostError ? error
      : pdfError("UNSUPPORTED", `pdf.js could not be loaded: ${error?.message ?? error}`);
  });
  return pdfjsLoaded;
}

function checkPages(pages: unknown): number[] | undefined {
  if (pages === undefined || pages === null) return undefined;
  const ok = Array.isArray(pages) && pages.length > 0 &&
    pages.every((n) => Number.isInteger(n) && n >= 1) && new Set(pages).size === pages.length;
  if (!ok) throw invalidArgument("print_pdf", "pages", "must be distinct page numbers from 1.");
  return pages as number[];
}

function checkCrop(crop: unknown): PdfCrop | null {
  if (crop === undefined || crop === null) return null;
  const c = crop as PdfCrop;
  const finite = (v: unknown) => typeof v === "number" && Number.isFinite(v);
  if (typeof crop !== "object" || ![c.x, c.y, c.width, c.height].every(finite) ||
      c.x < 0 || c.y < 0 || c.width <= 0 || c.height <= 0) {
    throw invalidArgument("print_pdf", "crop", "must be { x, y, width, height } in points, x and y from 0, width and height above 0.");
  }
  return c;
}

/** Renders the pages with pdf.js, each as a bilevel label at `request.dpi`. */
export async function renderPdf(pdf: Uint8Array, request: PdfRenderRequest,
                                source: PdfJsSource = {}): Promise<RenderedPdf> {
  if (!(pdf instanceof Uint8Array) || pdf.length === 0) {
    throw invalidArgument("print_pdf", "pdf", "must be a Uint8Array of the PDF's bytes.");
  }
  const dpi = checkInteger("print_pdf", "dpi", request.dpi, 72, 1200);
  const wanted = checkPages(request.pages);
  const crop = checkCrop(request.crop);
  const threshold = request.threshold ?? BILEVEL_THRESHOLD;
  const pdfjs = await loadPdfjs(source);
  // pdf.js hands its data to the worker, which detaches the buffer: give it a copy.
  const task = pdfjs.getDocument({
    data: pdf.slice(), useSystemFonts: false,
    standardFontDataUrl: source.standardFontDataUrl ?? extensionUrl("pdfjs/standard_fonts/"),
    wasmUrl: source.wasmUrl ?? extensionUrl("pdfjs/wasm/") });
  try {
    let document: any;
    try {
      document = await task.promise;
    } catch (error: any) {
      if (error?.name === "PasswordException") {
        throw pdfError("PDF_ENCRYPTED", "The PDF is encrypted with a password; print it from a copy without one.");
      }
      throw pdfError("PDF_UNREADABLE", `pdf.js cannot open the PDF: ${error?.message ?? error}`);
    }
    const pageCount: number = document.numPages;
    const numbers = wanted ?? Array.from({ length: pageCount }, (_, i) => i + 1);
    const beyond = numbers.find((n) => n > pageCount);
    if (beyond !== undefined) {
      throw invalidArgument("print_pdf", "pages", `names page ${beyond}; the PDF has ${pageCount}.`);
    }
    const pages: RenderedPage[] = [];
    for (const n of numbers) pages.push(await renderPage(await document.getPage(n), n, dpi, crop, threshold));
    return { pageCount, pages };
  } catch (error: any) {
    if (error instanceof PrintHostError) throw error;
    throw pdfError("PDF_UNREADABLE", `pdf.js could not render the PDF: ${error?.message ?? error}`);
  } finally {
    await task.destroy();
  }
}

async function renderPage(page: any, n: number, dpi: number, crop: PdfCrop | null,
                          threshold: number): Promise<RenderedPage> {
  const whole = page.getViewport({ scale: 1 });
  const region = crop ?? { x: 0, y: 0, width: whole.width, height: whole.height };
  // A thousandth of a point is rounding in the page's own numbers, not a region beyond it.
  if (region.x + region.width > whole.width + 1e-3 || region.y + region.height > whole.height + 1e-3) {
    throw invalidArgument("print_pdf", "crop",
      `reaches beyond page ${n}, which is ${+whole.width.toFixed(2)} x ${+whole.height.toFixed(2)} points.`);
  }
  const scale = dpi / 72;
  const widthPx = Math.round(region.width * scale);
  const heightPx = Math.round(region.height * scale);
  if (widthPx > SIDE_PX.max || heightPx > SIDE_PX.max) {
    throw pdfError("PNG_TOO_LARGE", `Page ${n} would be ${widthPx} x ${heightPx} pixels at ${dpi} dpi; ` +
      `the host prints at most ${SIDE_PX.max} a side.`);
  }
  if (widthPx < SIDE_PX.min || heightPx < SIDE_PX.min) {
    throw invalidArgument("print_pdf", crop ? "crop" : "pdf",
      `gives page ${n} ${widthPx} x ${heightPx} pixels at ${dpi} dpi; at least ${SIDE_PX.min} a side are printable.`);
  }
  const canvas = new OffscreenCanvas(widthPx, heightPx);
  const context = canvas.getContext("2d", { alpha: false, willReadFrequently: true })!;
  const viewport = page.getViewport({ scale, offsetX: -region.x * scale, offsetY: -region.y * scale });
  await page.render({ canvas: null, canvasContext: context, viewport, intent: "print" }).promise;
  page.cleanup();
  const png = await encodeBilevelPng(context.getImageData(0, 0, widthPx, heightPx), dpi, threshold);
  if (png.length > MAX_PNG_BYTES) {
    throw pdfError("PNG_TOO_LARGE", `Page ${n} encodes to ${png.length} bytes; the host accepts at most ${MAX_PNG_BYTES}.`);
  }
  return { page: n, widthPt: region.width, heightPt: region.height, png, widthPx, heightPx, dpi };
}

// ---- relaying the render to a document (Chrome's offscreen document)

export const RENDER_PDF_MESSAGE = "vantrel.print.renderPdf";

/** What relayPdfRenderer sends and answerPdfRender takes: JSON, as runtime messaging is. */
export interface PdfRenderMessage {
  type: typeof RENDER_PDF_MESSAGE;
  pdf: string;
  request: PdfRenderRequest;
}

/** A renderer that sends the work to where pdf.js runs: `send` posts the message there
 *  (chrome.runtime.sendMessage to the offscreen document) and resolves to its answer. */
export function relayPdfRenderer(send: (message: PdfRenderMessage) => Promise<unknown>): PdfRenderer {
  return async (pdf, request) => {
    let answer: any;
    try {
      answer = await send({ type: RENDER_PDF_MESSAGE, pdf: toBase64(pdf), request });
    } catch (error: any) {
      throw pdfError("UNSUPPORTED", `The document that renders PDF labels could not be reached: ${error?.message ?? error}`);
    }
    if (answer?.ok === true) {
      const { pageCount, pages } = answer.value;
      return { pageCount, pages: pages.map((p: any) => ({ ...p, png: fromBase64(p.png) })) };
    }
    const e = answer?.error;
    throw new PrintHostError({
      code: e?.code ?? "UNSUPPORTED", operation: "print_pdf", argument: e?.argument,
      message: e?.message ?? "The document that renders PDF labels did not answer; is it open?" });
  };
}

/** The document's side of relayPdfRenderer: renders the message's PDF and answers in JSON. */
export async function answerPdfRender(message: PdfRenderMessage, source: PdfJsSource = {},
                                      render: typeof renderPdf = renderPdf): Promise<unknown> {
  try {
    const { pageCount, pages } = await render(fromBase64(message.pdf), message.request, source);
    return { ok: true, value: { pageCount, pages: pages.map((p) => ({ ...p, png: toBase64(p.png) })) } };
  } catch (error: any) {
    const { code, message: text, argument } = error instanceof PrintHostError ? error
      : { code: "PDF_UNREADABLE", message: String(error?.message ?? error), argument: undefined };
    return { ok: false, error: { code, message: text, argument } };
  }
}

// ---- printing: the pages as labels

/** What printLabels (a host with "submit_batch") answers for one label; see sendPages. */
interface BatchOutcome {
  intentId: string;
  mayHavePrinted: MayHavePrinted;
  result?: SubmitResult;
  error?: PrintHostError;
}
type BatchPrinter = (printer: string, labels: WaveLabel[], options: PrintLabelsOptions) => Promise<LabelOutcome[]>;

function queueDpi(resolution: { xDpi: number } | null | undefined, resolutions: { xDpi: number }[]): number {
  return resolution?.xDpi ?? resolutions[0]?.xDpi ?? FALLBACK_DPI;
}

/** The media of each page: the caller's, or pickMedia's for the page's size; refused before
 *  anything is sent when a page fits none (pickMedia holds the host's own shrink rule). */
function mediaOfPages(pages: RenderedPage[], media: PrinterMedia[], given: string | undefined,
                      choices: Parameters<typeof pickMedia>[0]): (string | null)[] {
  // The caller's media, where the queue lists it, is held to the same rule.
  const named = given === undefined ? media : media.filter((m) => m.name === given);
  return pages.map((p) => {
    if (named.length === 0) return given ?? null; // the queue does not tell: the host decides
    const picked = pickMedia({ ...choices, media: named }, { widthIn: p.widthPx / p.dpi, heightIn: p.heightPx / p.dpi });
    if (picked) return picked.name;
    const inches = (pt: number) => +(pt / 72).toFixed(2);
    throw pdfError("PAGE_LARGER_THAN_MEDIA",
      `Page ${p.page} is ${inches(p.widthPt)} x ${inches(p.heightPt)} in, larger than ` +
      `${given === undefined ? "every media of the queue" : "the media given"} ` +
      `(${named.map((m) => m.name).join(", ")}); give printPdf a crop of the label on it.`);
  });
}

/** printPdf: the PDF's pages rendered at the queue's resolution, then printed as labels, each
 *  under `<intentId>:p<n>`, in one submit_batch where the host offers it. Every refusal of the
 *  PDF comes before the first page is sent. A failed page ends the call with its error, whose
 *  `pages` tells what became of each page; pages after it are not sent. */
export async function printPdfWith(client: PrintClient, printer: string, pdf: Uint8Array,
                                   options: PrintPdfOptions): Promise<PdfPrintResult> {
  if (!options || typeof options !== "object") throw invalidArgument("print_pdf", "options", "must be an object.");
  checkText("print_pdf", "printer", printer, 256);
  checkIntentId("print_pdf", options.intentId);
  const title = checkText("print_pdf", "title", options.title, 200);
  const copies = checkInteger("print_pdf", "copies", options.copies ?? 1, 1, 10);
  const given = checkMedia("print_pdf", options.media);
  checkPages(options.pages);
  const crop = checkCrop(options.crop);
  const call = { signal: options.signal };

  if (options.printerDetails !== undefined && options.printerDetails?.name !== printer) {
    throw invalidArgument("print_pdf", "printerDetails", "must be getPrinter's answer for the printer printed on.");
  }
  const details = options.printerDetails ?? await client.getPrinter(printer, call);
  const dpi = queueDpi(details.defaultResolution, details.resolutions);
  const render = options.renderer ?? ((bytes, request) => renderPdf(bytes, request, options.pdfjs));
  const rendered = await render(pdf, { pages: options.pages, dpi, crop });
  const media = mediaOfPages(rendered.pages, details.media, given, details);
  const jobs: PngSubmitJob[] = rendered.pages.map((p, i) => ({
    intentId: checkIntentId("print_pdf", `${options.intentId}:p${p.page}`), printer, png: p.png,
    widthPx: p.widthPx, heightPx: p.heightPx, dpi, copies, media: media[i],
    title: rendered.pages.length > 1 ? `${title} (page ${p.page})` : title }));
  for (const job of jobs) checkText("print_pdf", "title", job.title, 200);

  const outcomes = await sendPages(client, jobs, title, call);
  const failed = outcomes.findIndex((o) => o.error);
  if (failed < 0) {
    return { printer, dpi, pages: outcomes.map((o, i) => ({ ...o.result!, page: rendered.pages[i].page, media: media[i] })) };
  }
  const error = outcomes[failed].error!;
  error.pages = outcomes.map((o, i): PdfPageOutcome => ({
    page: rendered.pages[i].page, intentId: jobs[i].intentId, mayHavePrinted: o.mayHavePrinted,
    ...(o.error ? { code: o.error.code } : {}) }));
  throw error;
}

async function sendPages(client: PrintClient, jobs: PngSubmitJob[], title: string,
                         call: CallOptions): Promise<BatchOutcome[]> {
  // One request for every page where the host batches and the pages share their media.
  const printLabels = (client as { printLabels?: BatchPrinter }).printLabels;
  if (typeof printLabels === "function" && jobs.length > 1 && jobs.every((j) => j.media === jobs[0].media) &&
      (await client.hello(call)).capabilities.includes("submit_batch")) {
    const { printer, dpi, media } = jobs[0];
    const labels = await printLabels.call(client, printer, jobs.map(({ intentId, png, widthPx, heightPx, copies }) =>
      ({ intentId, png, widthPx, heightPx, copies })), { dpi, media, title, signal: call.signal });
    return labels.map((o) => o.verdict === "printed" && !o.error
      ? { intentId: o.intentId, mayHavePrinted: "yes" as MayHavePrinted,
          result: { duplicate: !!o.duplicate, joined: false, intentId: o.intentId, osJobId: o.osJobId ?? "",
                    printer, state: o.state as SubmitResult["state"], attempts: 1, resubmitted: false } }
      : { intentId: o.intentId, error: o.error,
          mayHavePrinted: o.error?.mayHavePrinted ?? (o.verdict === "not printed" ? "no" : "maybe") });
  }
  const outcomes: BatchOutcome[] = [];
  for (const job of jobs) {
    if (outcomes.some((o) => o.error)) {
      outcomes.push({ intentId: job.intentId, mayHavePrinted: "no" });
      continue;
    }
    try {
      outcomes.push({ intentId: job.intentId, mayHavePrinted: "yes", result: await client.submit(job, call) });
    } catch (error) {
      if (!(error instanceof PrintHostError)) throw error;
      outcomes.push({ intentId: job.intentId, mayHavePrinted: error.mayHavePrinted, error });
    }
  }
  return outcomes;
}
