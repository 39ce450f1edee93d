// One error class for everything a call can end with: the host's own refusal (its wire
// code), a failure of the browser's native-messaging channel (a transport code), or a
// refusal by this library before anything was sent. Each carries whether the label may
// have printed and what the caller should do next, so callers never parse messages.

/** Codes the host sends in its error answers. */
export type HostCode =
  | "BAD_REQUEST" | "PAYLOAD_TOO_LARGE" | "PROTOCOL_MISMATCH" | "UNKNOWN_MESSAGE"
  | "STATE_UNAVAILABLE" | "STATE_VERSION" | "STATE_CORRUPT" | "BRIDGE_BUSY"
  | "JOB_NOT_FOUND" | "INTENT_CONFLICT" | "ATTEMPT_FAILED" | "UNKNOWN_OUTCOME"
  | "PRE_SUBMIT_UNAVAILABLE" | "MEDIA_UNSUPPORTED" | "MEDIA_MISMATCH"
  | "SUBMISSION_REJECTED" | "PRINT_SYSTEM_UNAVAILABLE";

/** Failures of the channel between the extension and the host. */
export type TransportCode =
  | "HOST_NOT_FOUND" | "ACCESS_FORBIDDEN" | "HOST_EXITED" | "COMMUNICATION_ERROR"
  | "TIMEOUT" | "ANSWER_TOO_LARGE";

/** Ends decided by this library: a bad argument, the caller's AbortSignal, a host that
 *  lacks what the call needs (its hello's capabilities), or a PDF label that cannot print
 *  as it is (printPdf, before anything is sent). */
export type ClientCode = "INVALID_ARGUMENT" | "ABORTED" | "UNSUPPORTED" | PdfCode;

/** printPdf's refusals: pdf.js cannot open the file; it needs a password; a page is larger
 *  than every media of the queue; a page's label would exceed the host's PNG limits. */
export type PdfCode = "PDF_UNREADABLE" | "PDF_ENCRYPTED" | "PAGE_LARGER_THAN_MEDIA" | "PNG_TOO_LARGE";

export type ErrorCode = HostCode | TransportCode | ClientCode;
export type ErrorSource = "host" | "transport" | "client";

/** "no": nothing of this call reached the printer. "maybe": it cannot be known.
 *  "yes": the host recorded the label as handed to the print system (an INTENT_CONFLICT
 *  whose intent printed before: the order's label exists).
 *
 *  For a submit it covers the whole call, retries included, and never goes down: once one
 *  request of the call may have reached the print system, the call's error says "maybe"
 *  whatever a later request met (BRIDGE_BUSY, an abort during the pause before a retry).
 *  It decides a reprint under a new intent id: "no" is a promise that the reprint prints
 *  one label; "maybe" asks for a look at the printer first; "yes" means it printed. */
export type MayHavePrinted = "no" | "maybe" | "yes";

/** "retry": asking again (for a submit: with the same intent id) is safe and may succeed.
 *  "reconcile": look at the printer or getJob() before deciding; reprint only with a new
 *  intent id. "never": repeating the same request gives the same answer. */
export type Action = "retry" | "reconcile" | "never";

export type Operation = "hello" | "list_printers" | "get_printer" | "submit" | "get_job" | "wait_for_job"
  | "pick_media" | "print_pdf" | "submit_batch";

const CLIENT_CODES = new Set<string>(["INVALID_ARGUMENT", "ABORTED", "UNSUPPORTED", "PDF_UNREADABLE",
  "PDF_ENCRYPTED", "PAGE_LARGER_THAN_MEDIA", "PNG_TOO_LARGE"]);
const TRANSPORT_CODES = new Set<string>([
  "HOST_NOT_FOUND", "ACCESS_FORBIDDEN", "HOST_EXITED", "COMMUNICATION_ERROR", "TIMEOUT",
  "ANSWER_TOO_LARGE"]);

/** Codes after which a submit's answer was lost: the host may or may not have printed. */
export const LOST_ANSWER = new Set<string>(["HOST_EXITED", "COMMUNICATION_ERROR", "TIMEOUT"]);

/** What a code tells its caller: whether a submit's label may have printed (when the request
 *  was sent; an unsent one printed nothing), and the action after a submit and after a read
 *  (reads never print). docs/protocol.md section 4 gives the same table in words; the client's
 *  tests compare the two, so they cannot drift apart. */
export interface Verdict {
  printed: MayHavePrinted;
  submit: Action;
  read: Action;
}

const verdict = (printed: MayHavePrinted, submit: Action, read: Action = submit): Verdict =>
  ({ printed, submit, read });

export const VERDICTS: Readonly<Record<ErrorCode, Verdict>> = {
  BAD_REQUEST: verdict("no", "never"),
  PAYLOAD_TOO_LARGE: verdict("no", "never"),
  PROTOCOL_MISMATCH: verdict("no", "never"),
  UNKNOWN_MESSAGE: verdict("no", "never"),
  BRIDGE_BUSY: verdict("no", "retry"),
  PRE_SUBMIT_UNAVAILABLE: verdict("no", "retry"),
  // A submit meets these only after its attempt was recorded; a read needs the user.
  STATE_UNAVAILABLE: verdict("maybe", "reconcile", "never"),
  STATE_VERSION: verdict("no", "never"),
  STATE_CORRUPT: verdict("maybe", "reconcile", "never"),
  JOB_NOT_FOUND: verdict("no", "never"),
  // Without the stored state (hosts up to 1.1.0): see CONFLICT_VERDICTS for the rest.
  INTENT_CONFLICT: verdict("maybe", "reconcile"),
  ATTEMPT_FAILED: verdict("no", "never"),
  UNKNOWN_OUTCOME: verdict("maybe", "reconcile"),
  MEDIA_UNSUPPORTED: verdict("no", "never"),
  MEDIA_MISMATCH: verdict("no", "never"),
  SUBMISSION_REJECTED: verdict("no", "never"),
  PRINT_SYSTEM_UNAVAILABLE: verdict("no", "retry"),
  HOST_NOT_FOUND: verdict("no", "never"),
  ACCESS_FORBIDDEN: verdict("no", "never"),
  // The ledger answers a repeated intent id: asking again cannot print twice.
  HOST_EXITED: verdict("maybe", "retry"),
  COMMUNICATION_ERROR: verdict("maybe", "retry"),
  TIMEOUT: verdict("maybe", "retry"),
  // Only listings and job records grow that large; a submit's answer would be lost as above.
  ANSWER_TOO_LARGE: verdict("maybe", "retry", "never"),
  INVALID_ARGUMENT: verdict("no", "never"),
  UNSUPPORTED: verdict("no", "never"),
  ABORTED: verdict("maybe", "retry"),
  // printPdf refuses these before any page is sent.
  PDF_UNREADABLE: verdict("no", "never"),
  PDF_ENCRYPTED: verdict("no", "never"),
  PAGE_LARGER_THAN_MEDIA: verdict("no", "never"),
  PNG_TOO_LARGE: verdict("no", "never"),
};

/** An INTENT_CONFLICT by the state of the intent's stored attempt (the host's `stored_state`):
 *  printed, may have printed, or failed. A state this client does not know counts as may have. */
export const CONFLICT_VERDICTS: Readonly<Record<string, Verdict>> = {
  SUBMITTED: verdict("yes", "never"),
  OBSERVED: verdict("yes", "never"),
  COMPLETED: verdict("yes", "never"),
  DISPATCHING: verdict("maybe", "reconcile"),
  UNKNOWN: verdict("maybe", "reconcile"),
  FAILED: verdict("no", "never"),
};

export interface PrintHostErrorInit {
  code: ErrorCode;
  message: string;
  operation: Operation;
  /** For transport codes: whether the request had been handed to the browser. */
  sent?: boolean;
  intentId?: string;
  argument?: string;
  browserMessage?: string | null;
  attempts?: number;
  /** INTENT_CONFLICT: the state of the attempt stored under the intent id. */
  storedState?: string;
}

export class PrintHostError extends Error {
  readonly code: ErrorCode;
  readonly source: ErrorSource;
  /** Whether the label may have printed, over every request of the call (sticky: see
   *  MayHavePrinted). Decide a reprint under a new intent id by this, never by `code`. */
  readonly mayHavePrinted: MayHavePrinted;
  readonly action: Action;
  readonly operation: Operation;
  intentId?: string;
  /** The argument that was refused (INVALID_ARGUMENT only). */
  readonly argument?: string;
  /** The browser's own text, for transport codes. */
  readonly browserMessage?: string | null;
  /** How many requests this call sent, retries included. */
  attempts: number;
  /** INTENT_CONFLICT: what became of the intent's earlier attempt ("SUBMITTED", "OBSERVED",
   *  "COMPLETED": printed; "DISPATCHING", "UNKNOWN": may have; "FAILED": failed). Hosts up
   *  to 1.1.0 leave it out; `mayHavePrinted` is then "maybe". */
  readonly storedState?: string;
  /** printPdf only: what became of each page (this error is the first page that failed). */
  pages?: PdfPageOutcome[];

  constructor(init: PrintHostErrorInit) {
    super(init.message);
    this.name = "PrintHostError";
    this.code = init.code;
    this.operation = init.operation;
    this.source = CLIENT_CODES.has(init.code) ? "client"
      : TRANSPORT_CODES.has(init.code) ? "transport" : "host";
    if (init.intentId !== undefined) this.intentId = init.intentId;
    if (init.argument !== undefined) this.argument = init.argument;
    if (init.browserMessage !== undefined) this.browserMessage = init.browserMessage;
    if (init.storedState !== undefined) this.storedState = init.storedState;
    this.attempts = init.attempts ?? 0;
    [this.mayHavePrinted, this.action] = judge(init.operation, init.code, init.sent ?? true,
                                               init.storedState);
  }
}

/** One page of a printPdf that failed: its intent id, and whether it may have printed. */
export interface PdfPageOutcome {
  page: number;
  intentId: string;
  mayHavePrinted: MayHavePrinted;
  /** The page's error; absent for a page that printed, or was never sent. */
  code?: ErrorCode;
}

const PRINTED_RANK: Record<MayHavePrinted, number> = { no: 0, maybe: 1, yes: 2 };

/** Raises the error's verdict to `floor`: an earlier request of the same call may have
 *  printed, whatever this one met. */
export function atLeast(error: PrintHostError, floor: MayHavePrinted): PrintHostError {
  if (PRINTED_RANK[floor] > PRINTED_RANK[error.mayHavePrinted]) {
    (error as { mayHavePrinted: MayHavePrinted }).mayHavePrinted = floor;
  }
  return error;
}

function judge(operation: Operation, code: ErrorCode, sent: boolean,
               storedState?: string): [MayHavePrinted, Action] {
  // Codes and states arrive from the host: only the tables' own rows count, never a prototype's.
  const own = (table: Readonly<Record<string, Verdict>>, key: string | undefined) =>
    key !== undefined && Object.prototype.hasOwnProperty.call(table, key) ? table[key] : undefined;
  const found = (code === "INTENT_CONFLICT" ? own(CONFLICT_VERDICTS, storedState) : undefined) ??
    own(VERDICTS, code) ?? VERDICTS.BAD_REQUEST;
  // A batch's request as a whole is judged as a submit: its labels may have printed.
  if (operation !== "submit" && operation !== "submit_batch") return ["no", found.read];
  return [sent ? found.printed : "no", found.submit];
}

export function invalidArgument(operation: Operation, argument: string, why: string): PrintHostError {
  return new PrintHostError({ code: "INVALID_ARGUMENT", operation, argument,
                              message: `${argument} ${why}` });
}

// ---- the browsers' own texts for a closed native-messaging channel

// Chromium reports an answer above its 1 MiB limit with the same text as a broken pipe.
const CHROMIUM_IO_ERROR = "Error when communicating with the native messaging host.";

const EXACT: Record<string, TransportCode> = {
  // Chromium
  "Specified native messaging host not found.": "HOST_NOT_FOUND",
  "Invalid native messaging host name specified.": "HOST_NOT_FOUND",
  "Failed to start native messaging host.": "HOST_NOT_FOUND",
  "Access to the specified native messaging host is forbidden.": "ACCESS_FORBIDDEN",
  "Native host has exited.": "HOST_EXITED",
  [CHROMIUM_IO_ERROR]: "COMMUNICATION_ERROR",
  // Firefox 153: a one-shot call whose host ended without answering (a port whose host
  // ends closes with no error at all), and also a registered program that cannot start.
  "An unexpected error occurred": "HOST_EXITED",
};

// Firefox gives this text both when no host of that name is registered and when the
// registration does not list the extension; only its browser console tells them apart.
const FIREFOX_NOT_FOUND = /^No such native application /;

const PATTERNS: [RegExp, TransportCode][] = [
  [FIREFOX_NOT_FOUND, "HOST_NOT_FOUND"],
  [/^Native application tried to send a message of \d+ bytes, which exceeds the limit of \d+ bytes\.$/,
   "ANSWER_TOO_LARGE"],
  // A port that was already closed when the message was posted (Chromium, Firefox).
  [/^Attempting to use a disconnected port object$|^Attempt to postMessage on disconnected port$/,
   "COMMUNICATION_ERROR"],
];

/** Only these answers grow without a bound the protocol sets: the queue listing and a
 *  stored job record. Every other answer is a few hundred bytes. */
const UNBOUNDED_ANSWERS = new Set<Operation>(["list_printers", "get_job"]);

/** The transport code for the browser's text. `inFlight` is true for the request whose
 *  answer the browser was reading (a host answers in order: the oldest one pending). */
export function transportCode(text: string | null | undefined, operation: Operation,
                              inFlight: boolean): TransportCode {
  if (text === null || text === undefined || text === "") return "HOST_EXITED";
  if (text === CHROMIUM_IO_ERROR && inFlight && UNBOUNDED_ANSWERS.has(operation)) {
    return "ANSWER_TOO_LARGE";
  }
  const exact = EXACT[text];
  if (exact) return exact;
  for (const [pattern, code] of PATTERNS) if (pattern.test(text)) return code;
  return "COMMUNICATION_ERROR";
}

const TRANSPORT_TEXT: Record<TransportCode, string> = {
  HOST_NOT_FOUND: "The print host is not installed or not registered for this browser.",
  ACCESS_FORBIDDEN: "The print host's registration does not allow this extension.",
  HOST_EXITED: "The print host ended before it answered.",
  COMMUNICATION_ERROR: "The connection to the print host failed before it answered.",
  TIMEOUT: "The print host did not answer in time.",
  ANSWER_TOO_LARGE: "The print host's answer exceeds the browser's 1 MiB limit.",
};

export function transportError(code: TransportCode, operation: Operation, browserMessage: string | null,
                               sent: boolean): PrintHostError {
  const detail = browserMessage ? ` (${browserMessage})` : "";
  const text = code === "HOST_NOT_FOUND" && FIREFOX_NOT_FOUND.test(browserMessage ?? "")
    ? "The print host is not installed for this browser, or its registration does not allow this extension."
    : TRANSPORT_TEXT[code];
  return new PrintHostError({ code, operation, sent, browserMessage, message: text + detail });
}
