// The two ways a browser lets an extension reach a native host: one long-lived port
// (connectNative: one host process serves every request, answers come in order) and one
// process per message (sendNativeMessage). Both turn the browser's failures into
// PrintHostError transport codes; neither retries anything.

import { Operation, PrintHostError, transportCode, transportError } from "./errors.js";

/** The part of a port this library uses; chrome.runtime.Port and browser.runtime.Port fit. */
export interface NativePort {
  postMessage(message: unknown): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: any) => void): void };
  onDisconnect: { addListener(listener: (port: any) => void): void };
  /** Firefox puts the reason for a disconnect here. */
  error?: { message?: string } | null;
}

/** The part of chrome.runtime or browser.runtime this library uses. */
export interface NativeRuntime {
  connectNative?(application: string): NativePort;
  sendNativeMessage?(application: string, message: unknown): Promise<any> | void;
  /** Chromium puts the reason for a disconnect here, during the onDisconnect listener. */
  lastError?: { message?: string } | null;
}

export interface Envelope {
  protocol: 1;
  request_id: string;
  type: string;
  payload?: unknown;
}

export interface SendOptions {
  timeoutMs: number;
  signal?: AbortSignal;
}

export interface Channel {
  send(envelope: Envelope, operation: Operation, options: SendOptions): Promise<any>;
  close(): void;
}

function aborted(operation: Operation, sent: boolean): PrintHostError {
  return new PrintHostError({ code: "ABORTED", operation, sent,
                              message: "The call was aborted by its caller." });
}

function textOf(error: unknown): string | null {
  if (error === null || error === undefined) return null;
  if (typeof error === "object" && "message" in (error as any)) return String((error as any).message);
  return String(error);
}

/** A request posted on the port. The host takes them one at a time in the order posted,
 *  so only the oldest one is being worked on, and only its clock runs. */
interface Slot {
  envelope: Envelope;
  operation: Operation;
  timeoutMs: number;
  timer: ReturnType<typeof setTimeout> | null;
  /** The caller still waiting; null once it stopped waiting (aborted). The slot stays
   *  until the host answers, because the host still works on it. */
  caller: { resolve(answer: any): void; reject(error: PrintHostError): void; cleanup(): void } | null;
}

/** One connectNative port, opened when a request needs it and closed after `idleMs`
 *  without requests. Answers are matched to requests by request_id.
 *
 *  A request's timeout counts from when the host can start on it: when it was posted to
 *  an idle port, or when the answer before it arrived. When it runs out, the port is
 *  closed: the stuck host can then write no answer, and a host reads its next request only
 *  after writing one, so the requests queued behind never start there. They are posted
 *  again on a new port. */
export class PortChannel implements Channel {
  private port: NativePort | null = null;
  private readonly slots = new Map<string, Slot>();
  private idleTimer: ReturnType<typeof setTimeout> | null = null;

  constructor(private readonly runtime: NativeRuntime, private readonly hostName: string,
              private readonly idleMs: number) {}

  send(envelope: Envelope, operation: Operation, options: SendOptions): Promise<any> {
    return new Promise((resolve, reject) => {
      if (options.signal?.aborted) return reject(aborted(operation, false));
      const slot: Slot = { envelope, operation, timeoutMs: options.timeoutMs, timer: null, caller: null };
      const onAbort = () => this.release(slot, aborted(operation, true));
      slot.caller = { resolve, reject, cleanup: () => options.signal?.removeEventListener("abort", onAbort) };
      options.signal?.addEventListener("abort", onAbort);
      this.post(slot);
    });
  }

  close(): void {
    const why = "The client was closed.";
    this.end((slot) => transportError("COMMUNICATION_ERROR", slot.operation, why, true));
  }

  private post(slot: Slot) {
    this.stopIdleTimer();
    let port: NativePort | null = null;
    try {
      port = this.open();
      this.slots.set(slot.envelope.request_id, slot);
      port.postMessage(slot.envelope);
    } catch (error) {
      // This request reached no host; any before it went out on a port that is gone.
      this.slots.delete(slot.envelope.request_id);
      const text = textOf(error);
      this.release(slot, transportError(transportCode(text, slot.operation, false), slot.operation, text, false));
      if (port) this.lost(text);
      return;
    }
    this.startHeadClock();
  }

  private open(): NativePort {
    if (this.port) return this.port;
    if (!this.runtime.connectNative) throw new Error("runtime.connectNative is not available");
    const port = this.runtime.connectNative(this.hostName);
    this.port = port;
    port.onMessage.addListener((answer) => this.onAnswer(port, answer));
    port.onDisconnect.addListener((p) => {
      if (port !== this.port) return;
      this.port = null; // the browser closed it: nothing to disconnect
      this.lost(textOf(this.runtime.lastError) ?? textOf((p ?? port).error));
    });
    return port;
  }

  private onAnswer(port: NativePort, answer: any) {
    if (port !== this.port) return;
    let id = answer && typeof answer === "object" ? answer.request_id : undefined;
    // The host answers "" when it could not read the request's id; it answers in order,
    // so that answer belongs to the oldest request still waiting.
    if (id === "" && this.slots.size > 0) id = this.slots.keys().next().value;
    const slot = typeof id === "string" ? this.slots.get(id) : undefined;
    if (!slot) return;
    this.slots.delete(id);
    this.stopClock(slot);
    this.startHeadClock();
    const caller = slot.caller;
    slot.caller = null;
    caller?.cleanup();
    caller?.resolve(answer);
    this.armIdleTimer();
  }

  /** The caller stops waiting; the slot stays while the host owes its answer. */
  private release(slot: Slot, error: PrintHostError) {
    const caller = slot.caller;
    if (!caller) return;
    slot.caller = null;
    caller.cleanup();
    caller.reject(error);
  }

  private startHeadClock() {
    const head: Slot | undefined = this.slots.values().next().value;
    if (head && head.timer === null) head.timer = setTimeout(() => this.timedOut(head), head.timeoutMs);
  }

  private stopClock(slot: Slot) {
    if (slot.timer !== null) clearTimeout(slot.timer);
    slot.timer = null;
  }

  private timedOut(head: Slot) {
    const behind = [...this.slots.values()].filter((slot) => slot !== head && slot.caller);
    for (const slot of behind) this.slots.delete(slot.envelope.request_id);
    this.end((slot) => transportError("TIMEOUT", slot.operation, null, true));
    for (const slot of behind) this.post(slot);
  }

  /** The port broke with the browser's `text`: every request on it ends. Only the oldest
   *  one was being answered (the others still count as sent: the host may have read them). */
  private lost(text: string | null) {
    let first = true;
    this.end((slot) => {
      const inFlight = first;
      first = false;
      return transportError(transportCode(text, slot.operation, inFlight), slot.operation, text, true);
    });
  }

  /** Fails what is on the port and disconnects it. */
  private end(make: (slot: Slot) => PrintHostError) {
    const slots = [...this.slots.values()];
    this.slots.clear();
    this.dropPort();
    for (const slot of slots) {
      this.stopClock(slot);
      this.release(slot, make(slot));
    }
  }

  private dropPort() {
    const port = this.port;
    this.port = null;
    this.stopIdleTimer();
    if (port) {
      try {
        port.disconnect();
      } catch {
        // already closed by the other end
      }
    }
  }

  private armIdleTimer() {
    this.stopIdleTimer();
    if (this.slots.size > 0 || !this.port) return;
    this.idleTimer = setTimeout(() => {
      this.idleTimer = null;
      if (this.slots.size === 0) this.dropPort();
    }, this.idleMs);
  }

  private stopIdleTimer() {
    if (this.idleTimer !== null) clearTimeout(this.idleTimer);
    this.idleTimer = null;
  }
}

/** One host process per request: sendNativeMessage. */
export class OneShotChannel implements Channel {
  constructor(private readonly runtime: NativeRuntime, private readonly hostName: string) {}

  send(envelope: Envelope, operation: Operation, options: SendOptions): Promise<any> {
    return new Promise((resolve, reject) => {
      if (options.signal?.aborted) return reject(aborted(operation, false));
      let done = false;
      const finish = (act: () => void) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
        options.signal?.removeEventListener("abort", onAbort);
        act();
      };
      const onAbort = () => finish(() => reject(aborted(operation, true)));
      const timer = setTimeout(
        () => finish(() => reject(transportError("TIMEOUT", operation, null, true))), options.timeoutMs);
      options.signal?.addEventListener("abort", onAbort);
      const failed = (error: unknown, sent: boolean) => {
        const text = textOf(error);
        finish(() => reject(transportError(transportCode(text, operation, true), operation, text, sent)));
      };
      try {
        if (!this.runtime.sendNativeMessage) throw new Error("runtime.sendNativeMessage is not available");
        const answer = this.runtime.sendNativeMessage(this.hostName, envelope);
        if (!answer || typeof (answer as Promise<any>).then !== "function") {
          throw new Error("runtime.sendNativeMessage did not return a promise");
        }
        (answer as Promise<any>).then((value) => finish(() => resolve(value)), (error) => failed(error, true));
      } catch (error) {
        failed(error, false);
      }
    });
  }

  close(): void {}
}
