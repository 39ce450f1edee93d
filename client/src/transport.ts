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

interface Pending {
  operation: Operation;
  resolve(answer: any): void;
  reject(error: PrintHostError): void;
  cleanup(): void;
}

/** One connectNative port, opened when a request needs it and closed after `idleMs`
 *  without pending requests. Answers are matched to requests by request_id. */
export class PortChannel implements Channel {
  private port: NativePort | null = null;
  private readonly pending = new Map<string, Pending>();
  private idleTimer: ReturnType<typeof setTimeout> | null = null;

  constructor(private readonly runtime: NativeRuntime, private readonly hostName: string,
              private readonly idleMs: number) {}

  get connected(): boolean {
    return this.port !== null;
  }

  send(envelope: Envelope, operation: Operation, options: SendOptions): Promise<any> {
    return new Promise((resolve, reject) => {
      if (options.signal?.aborted) return reject(aborted(operation, false));
      const id = envelope.request_id;
      const onAbort = () => this.settle(id, aborted(operation, true));
      const timer = setTimeout(() => this.timedOut(id), options.timeoutMs);
      this.pending.set(id, {
        operation, resolve, reject,
        cleanup: () => {
          clearTimeout(timer);
          options.signal?.removeEventListener("abort", onAbort);
        },
      });
      options.signal?.addEventListener("abort", onAbort);
      this.stopIdleTimer();
      let port: NativePort;
      try {
        port = this.open();
        port.postMessage(envelope);
      } catch (error) {
        // Nothing reached the host: a thrown connect or a port closed under us.
        const text = textOf(error);
        this.settle(id, transportError(transportCode(text, operation, false), operation, text, false));
        this.dropPort();
      }
    });
  }

  close(): void {
    this.disconnect("COMMUNICATION_ERROR", "The client was closed.");
  }

  private open(): NativePort {
    if (this.port) return this.port;
    if (!this.runtime.connectNative) throw new Error("runtime.connectNative is not available");
    const port = this.runtime.connectNative(this.hostName);
    this.port = port;
    port.onMessage.addListener((answer) => this.onAnswer(port, answer));
    port.onDisconnect.addListener((p) => {
      if (this.port !== port) return;
      const text = textOf(this.runtime.lastError) ?? textOf((p ?? port).error);
      this.port = null;
      this.rejectAll((operation, inFlight) =>
        transportError(transportCode(text, operation, inFlight), operation, text, true));
    });
    return port;
  }

  private onAnswer(port: NativePort, answer: any) {
    if (port !== this.port) return;
    let id = answer && typeof answer === "object" ? answer.request_id : undefined;
    // The host answers "" when it could not read the request's id; it answers in order,
    // so that answer belongs to the oldest request still waiting.
    if (id === "" && this.pending.size > 0) id = this.pending.keys().next().value;
    const entry = typeof id === "string" ? this.pending.get(id) : undefined;
    if (!entry) return; // an answer to a call that was aborted or timed out
    this.pending.delete(id);
    entry.cleanup();
    entry.resolve(answer);
    this.armIdleTimer();
  }

  private settle(id: string, error: PrintHostError) {
    const entry = this.pending.get(id);
    if (!entry) return;
    this.pending.delete(id);
    entry.cleanup();
    entry.reject(error);
    this.armIdleTimer();
  }

  private timedOut(id: string) {
    const entry = this.pending.get(id);
    if (!entry) return;
    this.settle(id, transportError("TIMEOUT", entry.operation, null, true));
    // Answers come in order: everything behind a stuck request would wait for it too.
    this.disconnect("COMMUNICATION_ERROR", "The connection was closed after a request timed out.");
  }

  private rejectAll(make: (operation: Operation, inFlight: boolean) => PrintHostError) {
    let first = true;
    for (const [id, entry] of [...this.pending]) {
      this.pending.delete(id);
      entry.cleanup();
      entry.reject(make(entry.operation, first));
      first = false;
    }
    this.stopIdleTimer();
  }

  private disconnect(code: "COMMUNICATION_ERROR", why: string) {
    this.rejectAll((operation) => transportError(code, operation, why, true));
    this.dropPort();
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
    if (this.pending.size > 0 || !this.port) return;
    this.idleTimer = setTimeout(() => {
      this.idleTimer = null;
      if (this.pending.size === 0) this.dropPort();
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
