// The client: typed calls over one channel, with the retry rules that keep printing
// exactly-once. A retry never invents an intent id: the host's ledger recognises a
// repeated one and answers from what it recorded, so a resubmission after a lost answer
// either prints the one label that never reached the host or reports what became of it.

import {
  LOST_ANSWER, Operation, PrintHostError, HostCode, atLeast, invalidArgument,
} from "./errors.js";
import { toBase64 } from "./base64.js";
import { CustomRange, MediaArea, PrinterMedia, customRangeOf } from "./media.js";
import { PdfPrintResult, PrintPdfOptions, printPdfWith } from "./pdf.js";
import { Channel, NativeRuntime, OneShotChannel, PortChannel } from "./transport.js";
import { RawFormat } from "./raw.js";
import { checkInteger, checkIntentId, checkMedia, checkPng, checkRawLabel, checkText } from "./validate.js";
import {
  LabelOutcome, PrintLabelsOptions, WaveEntry, WaveLabel, failedOutcome, splitWave, waveEntries, waveFormat,
} from "./batch.js";

export interface RetryOptions {
  /** Requests per call at most, the first one included (default 6). */
  maxAttempts?: number;
  /** First backoff pause; each later one doubles, with jitter (default 200 ms). */
  baseDelayMs?: number;
  /** Longest single pause (default 2000 ms). */
  maxDelayMs?: number;
  /** No retry starts later than this after the call began (default 15000 ms). */
  maxElapsedMs?: number;
}

export interface ClientOptions {
  /** The native-messaging host's name, "com.vantrel.print". */
  hostName: string;
  /** chrome.runtime or browser.runtime (default: whichever the global scope has). */
  runtime?: NativeRuntime;
  /** "port" (default): one connectNative port; "oneShot": sendNativeMessage per call. */
  mode?: "port" | "oneShot";
  /** Longest wait for one answer, counted from when the host can start on the request: on
   *  a port, once the answers to the requests before it have arrived (default 20000 ms,
   *  above the host's 12 s print watchdog). */
  requestTimeoutMs?: number;
  /** The port closes after this long without a pending call (default 10000 ms). */
  idleCloseMs?: number;
  /** Backoff of the retries; false turns every retry off. */
  retry?: RetryOptions | false;
}

export interface CallOptions {
  /** Ends this caller's wait with ABORTED. A submit joined by other callers goes on for
   *  them; its requests stop (no retry is sent) once no caller waits. */
  signal?: AbortSignal;
}

export interface Hello {
  arch: string;
  capabilities: string[];
  platform: string;
  protocol: number;
  version: string;
}

export type QueueState = "unavailable" | "idle" | "printing" | "offline" | "paused" | "error";

export interface Printer {
  name: string;
  state: QueueState;
  enabled: boolean;
  uri: string;
}

export interface PrinterList {
  defaultPrinter: string;
  printers: Printer[];
}

/** Dots per inch each way. */
export interface Resolution {
  xDpi: number;
  yDpi: number;
}

/** What a queue offers (getPrinter): pickMedia chooses among its media. */
export interface PrinterDetails extends Printer {
  isDefault: boolean;
  color: boolean;
  resolutions: Resolution[];
  /** The resolution it prints at unless told otherwise; null when not known. */
  defaultResolution: Resolution | null;
  /** In the print system's order. */
  media: PrinterMedia[];
  /** The media a job without one gets; "" when not known. */
  defaultMedia: string;
  /** The media loaded now, where the print system knows it. */
  mediaReady: string[];
  /** The queue offers more than the 256 media listed (the default and loaded ones are kept). */
  mediaTruncated: boolean;
  /** Whether it takes printer-language labels (ZPL, EPL) unchanged; null when the print
   *  system cannot tell, or the host is older than 1.2.0. */
  raw: boolean | null;
  /** The sizes it takes beyond `media`, in micrometres; null when none or not told. */
  customRange: CustomRange | null;
}

export type AttemptState = "DISPATCHING" | "SUBMITTED" | "FAILED" | "UNKNOWN" | "OBSERVED" | "COMPLETED";

interface SubmitJobCommon {
  intentId: string;
  printer: string;
  /** The resolution the label was drawn or written for. */
  dpi: number;
  copies: number;
  title: string;
  /** A media name from getPrinter (pickMedia): the page this job prints on; without it, the
   *  queue's own paper. Part of the output: a retry of the intent must name the same. */
  media?: string | null;
}

/** A label drawn as a PNG (createLabelCanvas, labelFromCanvas). */
export interface PngSubmitJob extends SubmitJobCommon {
  format?: "png";
  png: Uint8Array | ArrayBuffer;
  widthPx: number;
  heightPx: number;
}

/** A label in the printer's own language, sent unchanged (hosts from 1.2.0 on). A string is
 *  sent as its UTF-8 bytes. */
export interface RawSubmitJob extends SubmitJobCommon {
  format: RawFormat;
  data: Uint8Array | ArrayBuffer | string;
  /** "allow": the label may change the printer beyond the job (^JUS and the like), which is
   *  otherwise refused. Part of the output. */
  printerSettings?: "allow";
}

export type SubmitJob = PngSubmitJob | RawSubmitJob;

export interface SubmitResult {
  /** True when this call printed nothing: the host answered from its ledger (this intent had
   *  printed before), or the call joined another call's request (`joined`). */
  duplicate: boolean;
  /** True when this call joined a request of the same intent and output that another call of
   *  this client had started and still awaited (Print pressed twice): that call's answer is
   *  the print; this one is a duplicate of it. */
  joined: boolean;
  intentId: string;
  osJobId: string;
  printer: string;
  state: AttemptState;
  /** Requests this call sent, retries included. */
  attempts: number;
  /** True when the first answer was lost and the same intent id was sent again. */
  resubmitted: boolean;
  /** A printer-language label's: whether it stated a size that the host checked against the
   *  page ("checked"), or none ("undeclared"). */
  geometry?: "undeclared" | "checked";
}

export interface JobRecord {
  intentId: string;
  state: AttemptState;
  printer: string;
  osJobId: string;
  payloadSha256: string;
  createdAtMs: number;
  updatedAtMs: number;
  errorCode: string;
  errorMessage: string;
}

export interface WaitOptions extends CallOptions {
  /** States (or a test) that end the wait (default: COMPLETED, FAILED, UNKNOWN). */
  until?: AttemptState[] | ((job: JobRecord) => boolean);
  /** Pause between two looks (default 1000 ms). */
  pollMs?: number;
  /** Called with the first record and with every record whose state changed. */
  onUpdate?: (job: JobRecord) => void;
}

export interface PrintClient {
  hello(options?: CallOptions): Promise<Hello>;
  listPrinters(options?: CallOptions): Promise<PrinterList>;
  getPrinter(name: string, options?: CallOptions): Promise<PrinterDetails>;
  submit(job: SubmitJob, options?: CallOptions): Promise<SubmitResult>;
  getJob(intentId: string, options?: CallOptions): Promise<JobRecord>;
  waitForJob(intentId: string, options?: WaitOptions): Promise<JobRecord>;
  /** Prints each page of a PDF as one label at the queue's resolution (see pdf.ts). */
  printPdf(printer: string, pdf: Uint8Array, options: PrintPdfOptions): Promise<PdfPrintResult>;
  /** Prints a wave of labels on one printer in as few submit_batch requests as the limits
   *  allow, retrying with the same intent ids; one outcome per label, in order. */
  printLabels(printer: string, labels: WaveLabel[], options: PrintLabelsOptions): Promise<LabelOutcome[]>;
  close(): void;
}

const READ_RETRIES = new Set<string>(["BRIDGE_BUSY", ...LOST_ANSWER]);
const SUBMIT_BACKOFF = new Set<string>(["BRIDGE_BUSY", "PRE_SUBMIT_UNAVAILABLE"]);

function defaultRuntime(): NativeRuntime | undefined {
  const scope = globalThis as any;
  return scope.browser?.runtime ?? scope.chrome?.runtime;
}

function abortError(operation: Operation, sent: boolean) {
  return new PrintHostError({ code: "ABORTED", operation, sent,
                              message: "The call was aborted by its caller." });
}

function sleep(ms: number, operation: Operation, signal?: AbortSignal): Promise<void> {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(abortError(operation, false));
    const onAbort = () => {
      clearTimeout(timer);
      reject(abortError(operation, false));
    };
    const timer = setTimeout(() => {
      signal?.removeEventListener("abort", onAbort);
      resolve();
    }, ms);
    signal?.addEventListener("abort", onAbort, { once: true });
  });
}

/** One submit's requests, shared by every caller joined on it. */
interface SharedSubmit {
  key: string;
  intentId: string;
  promise: Promise<SubmitResult>;
  attempts: number;
  /** A request is posted and unanswered: it may yet print, whatever its callers do. */
  outstanding: boolean;
  /** An earlier request's outcome left it possible that the label printed. */
  reached: boolean;
  /** Fires once no caller waits any more: no further request is sent. */
  stop: AbortController;
  /** Callers with a signal still waiting; Infinity once one waits without a signal. */
  waiting: number;
}

const toResolution = (r: any): Resolution => ({ xDpi: r.x_dpi, yDpi: r.y_dpi });
const toArea = (a: any): MediaArea => ({ xUm: a.x_um, yUm: a.y_um, widthUm: a.width_um, heightUm: a.height_um });

function toPrinterDetails(r: any): PrinterDetails {
  return {
    name: r.name, state: r.state, enabled: r.enabled, uri: r.uri, isDefault: r.is_default, color: r.color,
    resolutions: r.resolutions.map(toResolution),
    defaultResolution: r.default_resolution ? toResolution(r.default_resolution) : null,
    media: r.media.map((m: any): PrinterMedia => ({
      name: m.name, widthUm: m.width_um, heightUm: m.height_um,
      printableArea: m.printable_area ? toArea(m.printable_area) : null })),
    defaultMedia: r.default_media, mediaReady: r.media_ready, mediaTruncated: r.media_truncated,
    raw: typeof r.raw === "boolean" ? r.raw : null, customRange: customRangeOf(r.custom_range),
  };
}

// What each capability of hello is needed for, and the first host version that has it.
const CAPABILITY_USE: Record<string, [string, string]> = {
  get_printer: ["getPrinter", "1.1.0"], media: ["a submit's media", "1.1.0"],
  submit_raw: ["ZPL and EPL labels", "1.2.0"], submit_batch: ["printLabels", "1.2.0"],
  submit_batch_raw: ["printLabels with ZPL and EPL labels", "1.3.0"],
};
// The host's chunk: its answer is due within a watchdog's stretch per chunk.
const HOST_CHUNK_LABELS = 25;

function unsupported(operation: Operation, capability: string, version: string): PrintHostError {
  const [use, since] = CAPABILITY_USE[capability];
  return new PrintHostError({ code: "UNSUPPORTED", operation, message:
    `The print host${version ? " " + version : ""} does not offer ${use} ` +
    `("${capability}"); hosts from ${since} on do. Update the print host.` });
}

function toJob(r: any): JobRecord {
  return { intentId: r.intent_id, state: r.state, printer: r.printer, osJobId: r.os_job_id,
           payloadSha256: r.payload_sha256, createdAtMs: r.created_at_ms,
           updatedAtMs: r.updated_at_ms, errorCode: r.error_code, errorMessage: r.error_message };
}

class Client implements PrintClient {
  private readonly channel: Channel;
  private readonly timeoutMs: number;
  private readonly retry: Required<RetryOptions> | null;
  private readonly tag: string;
  private sequence = 0;
  private readonly inflight = new Map<string, SharedSubmit>();
  /** The last hello's answer: what the host offers, once the caller has asked. */
  private known: Hello | null = null;

  constructor(options: ClientOptions) {
    if (!options || typeof options.hostName !== "string" || !/^[a-z0-9_]+(\.[a-z0-9_]+)*$/.test(options.hostName)) {
      throw invalidArgument("hello", "hostName", "must be a native-messaging host name such as com.vantrel.print.");
    }
    const runtime = options.runtime ?? defaultRuntime();
    if (!runtime) throw invalidArgument("hello", "runtime", "is needed outside an extension.");
    this.timeoutMs = options.requestTimeoutMs ?? 20_000;
    checkInteger("hello", "requestTimeoutMs", this.timeoutMs, 1, 600_000);
    const idleMs = options.idleCloseMs ?? 10_000;
    checkInteger("hello", "idleCloseMs", idleMs, 0, 3_600_000);
    this.channel = options.mode === "oneShot"
      ? new OneShotChannel(runtime, options.hostName)
      : new PortChannel(runtime, options.hostName, idleMs);
    this.retry = options.retry === false ? null : {
      maxAttempts: 6, baseDelayMs: 200, maxDelayMs: 2_000, maxElapsedMs: 15_000, ...options.retry };
    // Tells this client's request ids from another's; it guards nothing, so no Web Crypto.
    this.tag = Math.floor(Math.random() * 2 ** 32).toString(16).padStart(8, "0");
  }

  async hello(options: CallOptions = {}): Promise<Hello> {
    const hello: Hello = await this.read("hello", undefined, options.signal);
    this.known = Array.isArray(hello?.capabilities) ? hello : null;
    return hello;
  }

  async listPrinters(options: CallOptions = {}): Promise<PrinterList> {
    const result = await this.read("list_printers", undefined, options.signal);
    return { defaultPrinter: result.default_printer, printers: result.printers };
  }

  async getPrinter(name: string, options: CallOptions = {}): Promise<PrinterDetails> {
    checkText("get_printer", "printer", name, 256);
    this.require("get_printer", "get_printer");
    try {
      return toPrinterDetails(await this.read("get_printer", { printer: name }, options.signal));
    } catch (error) {
      // This client wrote the type itself: a host that does not know it predates get_printer.
      if (!(error instanceof PrintHostError && error.code === "UNKNOWN_MESSAGE")) throw error;
      const refused = unsupported("get_printer", "get_printer", "");
      refused.attempts = error.attempts;
      throw refused;
    }
  }

  async getJob(intentId: string, options: CallOptions = {}): Promise<JobRecord> {
    checkIntentId("get_job", intentId);
    return toJob(await this.read("get_job", { intent_id: intentId }, options.signal));
  }

  async waitForJob(intentId: string, options: WaitOptions = {}): Promise<JobRecord> {
    checkIntentId("wait_for_job", intentId);
    const pollMs = options.pollMs ?? 1_000;
    checkInteger("wait_for_job", "pollMs", pollMs, 10, 3_600_000);
    const until = options.until ?? ["COMPLETED", "FAILED", "UNKNOWN"];
    const done = typeof until === "function" ? until : (job: JobRecord) => until.includes(job.state);
    let last: JobRecord | null = null;
    for (;;) {
      const job = await this.getJob(intentId, { signal: options.signal });
      if (last === null || last.state !== job.state) options.onUpdate?.(job);
      last = job;
      if (done(job)) return job;
      await sleep(pollMs, "wait_for_job", options.signal);
    }
  }

  submit(job: SubmitJob, options: CallOptions = {}): Promise<SubmitResult> {
    let payload: any;
    try {
      payload = this.submitPayload(job);
    } catch (error) {
      return Promise.reject(error);
    }
    // Concurrent submits of one intent and the same output share one request; the host
    // would only answer the later ones from its ledger (or BRIDGE_BUSY) anyway, and so does
    // this client: a joined call is told that it printed nothing itself.
    const key = JSON.stringify(payload, (k, v) => (k === "title" ? undefined : v));
    const shared = this.inflight.get(payload.intent_id);
    if (shared && shared.key === key) {
      return this.follow(shared, options.signal)
        .then((result) => ({ ...result, duplicate: true, joined: true }));
    }
    if (options.signal?.aborted) return Promise.reject(abortError("submit", false));
    return this.follow(this.startSubmit(payload, key), options.signal);
  }

  printPdf(printer: string, pdf: Uint8Array, options: PrintPdfOptions): Promise<PdfPrintResult> {
    return printPdfWith(this, printer, pdf, options);
  }

  async printLabels(printer: string, labels: WaveLabel[], options: PrintLabelsOptions): Promise<LabelOutcome[]> {
    if (!options || typeof options !== "object") {
      throw invalidArgument("submit_batch", "options", "must be an object with dpi and title.");
    }
    const shared: any = {
      printer: checkText("submit_batch", "printer", printer, 256),
      title: checkText("submit_batch", "title", options.title, 200),
      dpi: checkInteger("submit_batch", "dpi", options.dpi, 72, 1200),
    };
    const media = checkMedia("submit_batch", options.media);
    if (media !== undefined) shared.media = media;
    const allow = options.printerSettings;
    if (allow !== undefined && allow !== "allow") {
      throw invalidArgument("submit_batch", "printerSettings", 'must be "allow" or absent.');
    }
    this.require("submit_batch", "submit_batch");
    const format = waveFormat(labels);
    const raw = format !== "png";
    if (raw) {
      this.require("submit_batch_raw", "submit_batch");
      if (allow === "allow") shared.printer_settings = "allow";
    }
    const { entries, refused } = waveEntries(labels, format, raw && allow === "allow");
    const outcomes: LabelOutcome[] = new Array(labels.length);
    for (const [index, error] of refused) outcomes[index] = failedOutcome(error.intentId ?? "", error, false);
    const sharedBytes = JSON.stringify({ ...shared, labels: [] }).length + 256;
    const started = Date.now();
    const lastError = new Map<WaveEntry, PrintHostError>();
    const resubmitted = new Set<WaveEntry>();
    let pending = entries;
    for (let round = 1; pending.length > 0; round++) {
      const again: WaveEntry[] = [];
      let pause = false;
      // Decides a label's next step from an error: resend at once after a lost answer, after a
      // pause while the host is busy, or end with the error.
      const settle = (entry: WaveEntry, error: PrintHostError) => {
        if (error.mayHavePrinted !== "no") entry.reached = true;
        lastError.set(entry, error);
        if (this.retry && LOST_ANSWER.has(error.code) && !resubmitted.has(entry)) {
          resubmitted.add(entry);
          again.push(entry);
        } else if (this.retry && SUBMIT_BACKOFF.has(error.code)) {
          pause = true;
          again.push(entry);
        } else {
          outcomes[entry.index] = failedOutcome(entry.payload.intent_id, error, entry.reached);
        }
      };
      for (const batch of splitWave(pending, sharedBytes)) {
        let results: any[];
        try {
          const timeoutMs = this.timeoutMs * Math.ceil(batch.length / HOST_CHUNK_LABELS);
          const answer = await this.exchange("submit_batch", { ...shared, labels: batch.map((e) => e.payload) },
                                             options.signal, timeoutMs);
          results = answer.results;
          if (!Array.isArray(results) || results.length !== batch.length) {
            throw new PrintHostError({ code: "COMMUNICATION_ERROR", operation: "submit_batch",
                                       message: "The print host's answer does not hold one result per label." });
          }
        } catch (error) {
          if (!(error instanceof PrintHostError)) throw error;
          // This client wrote the type itself: a host that does not know it predates batches.
          if (error.code === "UNKNOWN_MESSAGE") throw unsupported("submit_batch", "submit_batch", "");
          for (const entry of batch) settle(entry, error);
          continue;
        }
        batch.forEach((entry, i) => {
          const r = results[i];
          if (r && r.ok === true && r.result) {
            outcomes[entry.index] = { intentId: r.result.intent_id, verdict: "printed", duplicate: r.result.duplicate,
                                      osJobId: r.result.os_job_id, state: r.result.state };
            if (r.result.geometry === "checked" || r.result.geometry === "undeclared") {
              outcomes[entry.index].geometry = r.result.geometry;
            }
          } else {
            const stored = r?.error?.stored_state;
            settle(entry, new PrintHostError({ code: r?.error?.code ?? "COMMUNICATION_ERROR", operation: "submit",
                                               message: String(r?.error?.message ?? "No result for this label."),
                                               storedState: typeof stored === "string" ? stored : undefined }));
          }
        });
      }
      if (again.length > 0 && pause) {
        const waited = await this.backoff(round, round, started, "submit_batch", options.signal)
          .catch((aborted: PrintHostError) => aborted);
        if (waited !== true) {
          for (const entry of again) {
            const error = waited instanceof PrintHostError ? waited : lastError.get(entry)!;
            outcomes[entry.index] = failedOutcome(entry.payload.intent_id, error, entry.reached);
          }
          break;
        }
      }
      pending = again;
    }
    return outcomes;
  }

  close(): void {
    this.channel.close();
  }

  private submitPayload(job: SubmitJob) {
    if (!job || typeof job !== "object") throw invalidArgument("submit", "job", "must be an object.");
    const intentId = checkIntentId("submit", job.intentId);
    const printer = checkText("submit", "printer", job.printer, 256);
    const title = checkText("submit", "title", job.title, 200);
    const copies = checkInteger("submit", "copies", job.copies, 1, 10);
    const dpi = checkInteger("submit", "dpi", job.dpi, 72, 1200);
    const checkedMedia = () => {
      const media = checkMedia("submit", job.media);
      // A host before media selection refuses any media only after recording the attempt.
      if (media !== undefined) this.require("media", "submit");
      return media;
    };
    const payload: any = { intent_id: intentId, printer, title, copies, dpi };
    let media: string | undefined;
    if (job.format === "zpl" || job.format === "epl") {
      media = checkedMedia();
      const allow = job.printerSettings;
      if (allow !== undefined && allow !== "allow") {
        throw invalidArgument("submit", "printerSettings", 'must be "allow" or absent.');
      }
      const label = checkRawLabel("submit", job.format, job.data, allow === "allow");
      this.require("submit_raw", "submit");
      payload.payload = { format: job.format, base64: toBase64(label) };
      if (allow === "allow") payload.printer_settings = "allow";
    } else {
      if (job.format !== undefined && job.format !== "png") {
        throw invalidArgument("submit", "format", 'must be "png", "zpl" or "epl".');
      }
      const widthPx = checkInteger("submit", "widthPx", job.widthPx, 16, 10_000);
      const heightPx = checkInteger("submit", "heightPx", job.heightPx, 16, 10_000);
      media = checkedMedia();
      const png = checkPng("submit", job.png, widthPx, heightPx);
      payload.payload = { format: "png", base64: toBase64(png), width_px: widthPx, height_px: heightPx };
    }
    if (media !== undefined) payload.media = media;
    return payload;
  }

  /** Refuses a call the host is known not to offer, before anything is sent. Without a
   *  hello answered, the host is asked, and answers for itself. */
  private require(capability: string, operation: Operation) {
    if (this.known && !this.known.capabilities.includes(capability)) {
      throw unsupported(operation, capability, this.known.version);
    }
  }

  private startSubmit(payload: any, key: string): SharedSubmit {
    const shared: SharedSubmit = {
      key, intentId: payload.intent_id, promise: null!, attempts: 0, // promise: below
      outstanding: false, reached: false, stop: new AbortController(), waiting: 0 };
    this.inflight.set(shared.intentId, shared);
    shared.promise = this.runSubmit(payload, shared);
    const forget = () => this.forget(shared);
    shared.promise.then(forget, forget);
    return shared;
  }

  private forget(shared: SharedSubmit) {
    if (this.inflight.get(shared.intentId) === shared) this.inflight.delete(shared.intentId);
  }

  /** One caller's wait on a shared submit: its signal ends only its own wait. */
  private follow(shared: SharedSubmit, signal?: AbortSignal): Promise<SubmitResult> {
    if (!signal) {
      shared.waiting = Infinity;
      return shared.promise;
    }
    return new Promise((resolve, reject) => {
      const leave = () => {
        const error = abortError("submit", shared.outstanding || shared.reached);
        error.attempts = shared.attempts;
        error.intentId = shared.intentId;
        reject(error);
      };
      if (signal.aborted) return leave();
      shared.waiting++;
      const onAbort = () => {
        leave();
        if (--shared.waiting === 0) {
          // A later submit of this intent starts anew instead of joining a stopped one.
          this.forget(shared);
          shared.stop.abort();
        }
      };
      signal.addEventListener("abort", onAbort, { once: true });
      shared.promise.then(resolve, reject).finally(() => signal.removeEventListener("abort", onAbort));
    });
  }

  private async runSubmit(payload: any, shared: SharedSubmit): Promise<SubmitResult> {
    const started = Date.now();
    const signal = shared.stop.signal;
    let backoffs = 0;
    let resubmitted = false;
    for (;;) {
      shared.attempts++;
      shared.outstanding = true;
      let error: unknown;
      try {
        const r = await this.exchange("submit", payload, signal);
        const result: SubmitResult = { duplicate: r.duplicate, joined: false, intentId: r.intent_id,
                                       osJobId: r.os_job_id, printer: r.printer, state: r.state,
                                       attempts: shared.attempts, resubmitted };
        if (r.geometry === "undeclared" || r.geometry === "checked") result.geometry = r.geometry;
        return result;
      } catch (caught) {
        error = caught;
      } finally {
        shared.outstanding = false;
      }
      if (!(error instanceof PrintHostError)) throw error;
      if (error.mayHavePrinted !== "no") shared.reached = true;
      if (this.retry && LOST_ANSWER.has(error.code) && !resubmitted) {
        // Once, at once, with the same intent id: the ledger tells whether it printed.
        resubmitted = true;
        continue;
      }
      if (this.retry && SUBMIT_BACKOFF.has(error.code)) {
        const waited = await this.backoff(++backoffs, shared.attempts, started, "submit", signal)
          .catch((aborted: PrintHostError) => aborted);
        if (waited === true) continue;
        if (waited instanceof PrintHostError) error = waited;
      }
      const end = error as PrintHostError;
      end.attempts = shared.attempts;
      end.intentId = payload.intent_id;
      // What an earlier request may have done stands, whatever this one met.
      throw atLeast(end, shared.reached ? "maybe" : "no");
    }
  }

  private async read(type: Operation, payload: unknown, signal?: AbortSignal): Promise<any> {
    const started = Date.now();
    let attempts = 0;
    for (;;) {
      attempts++;
      try {
        return await this.exchange(type, payload, signal);
      } catch (error) {
        if (!(error instanceof PrintHostError)) throw error;
        error.attempts = attempts;
        if (this.retry && READ_RETRIES.has(error.code) &&
            await this.backoff(attempts, attempts, started, type, signal)) continue;
        throw error;
      }
    }
  }

  /** Waits before retry number `n` and returns true, or returns false when the bound is met. */
  private async backoff(n: number, attempts: number, started: number, operation: Operation,
                        signal?: AbortSignal): Promise<boolean> {
    const retry = this.retry!;
    if (attempts >= retry.maxAttempts) return false;
    const ceiling = Math.min(retry.maxDelayMs, retry.baseDelayMs * 2 ** (n - 1));
    const delay = Math.round(ceiling * (0.5 + Math.random() / 2));
    if (Date.now() - started + delay > retry.maxElapsedMs) return false;
    await sleep(delay, operation, signal);
    return true;
  }

  private async exchange(type: Operation, payload: unknown, signal?: AbortSignal,
                         timeoutMs = this.timeoutMs): Promise<any> {
    const envelope: any = { protocol: 1, request_id: `${this.tag}.${++this.sequence}`, type };
    if (payload !== undefined) envelope.payload = payload;
    const answer = await this.channel.send(envelope, type, { timeoutMs, signal });
    if (answer && answer.ok === true && answer.result !== undefined) return answer.result;
    if (answer && answer.ok === false && answer.error && typeof answer.error.code === "string") {
      const stored = answer.error.stored_state;
      throw new PrintHostError({ code: answer.error.code as HostCode, operation: type,
                                 message: String(answer.error.message),
                                 storedState: typeof stored === "string" ? stored : undefined });
    }
    throw new PrintHostError({ code: "COMMUNICATION_ERROR", operation: type,
                               message: "The print host's answer is not a protocol 1 answer." });
  }
}

export function createClient(options: ClientOptions): PrintClient {
  return new Client(options);
}
