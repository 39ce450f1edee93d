// A browser's native-messaging API without a browser: ports and one-shot calls whose
// failures carry the exact texts Chromium and Firefox report. A test plays the host by
// answering (or not) each request it receives.

import { webcrypto } from "node:crypto";

// Every extension context has Web Crypto as a global; Node.js 18 has it only as a module.
globalThis.crypto ??= webcrypto;

export const CHROMIUM = {
  notFound: "Specified native messaging host not found.",
  forbidden: "Access to the specified native messaging host is forbidden.",
  exited: "Native host has exited.",
  ioError: "Error when communicating with the native messaging host.",
  postOnClosed: "Attempting to use a disconnected port object",
};

// As Firefox 153 gives them (tests/linux/test_linux_firefox.py). A registration that does not
// list the extension is reported as notFound too; a port whose host ended has no error.
export const FIREFOX = {
  notFound: "No such native application com.vantrel.print",
  exited: "An unexpected error occurred",
  tooLarge: "Native application tried to send a message of 1048600 bytes, which exceeds the limit of 1048576 bytes.",
  postOnClosed: "Attempt to postMessage on disconnected port",
};

const later = (fn) => setTimeout(fn, 0);

class FakePort {
  constructor(browser) {
    this.browser = browser;
    this.open = true;
    this.error = null;
    this.messageListeners = [];
    this.disconnectListeners = [];
    this.onMessage = { addListener: (l) => this.messageListeners.push(l) };
    this.onDisconnect = { addListener: (l) => this.disconnectListeners.push(l) };
  }

  postMessage(message) {
    if (!this.open) throw new Error(this.browser.texts.postOnClosed);
    const copy = JSON.parse(JSON.stringify(message));
    this.browser.requests.push(copy);
    later(() => this.browser.host(copy, this));
  }

  disconnect() {
    this.open = false;
    this.browser.disconnectedByClient++;
  }

  /** The host's answer to `request`: `result`, or an error when `error` is a code (with the
   *  stored attempt's state as `stored`, as an INTENT_CONFLICT carries it). */
  answer(request, { result, error, message = "refused", stored } = {}) {
    const body = error
      ? { protocol: 1, request_id: request.request_id, ok: false,
          error: { code: error, message, ...(stored === undefined ? {} : { stored_state: stored }) } }
      : { protocol: 1, request_id: request.request_id, ok: true, result };
    later(() => { if (this.open) for (const l of this.messageListeners) l(body); });
  }

  /** The browser closes the port with `text` as the reason. */
  close(text) {
    later(() => {
      if (!this.open) return;
      this.open = false;
      if (this.browser.flavor === "firefox") {
        this.error = text === null || text === FIREFOX.exited ? null : { message: text };
        for (const l of this.disconnectListeners) l(this);
      } else {
        this.browser.runtime.lastError = text === null ? undefined : { message: text };
        for (const l of this.disconnectListeners) l(this);
        this.browser.runtime.lastError = undefined;
      }
    });
  }
}

export class FakeBrowser {
  /** `host(request, port)` plays the host; for one-shot calls `port` is a stand-in whose
   *  answer() resolves and close() rejects the call. */
  constructor(flavor, host) {
    this.flavor = flavor;
    this.texts = flavor === "firefox" ? FIREFOX : CHROMIUM;
    this.host = host;
    this.requests = [];
    this.ports = [];
    this.disconnectedByClient = 0;
    this.runtime = {
      lastError: undefined,
      connectNative: (name) => {
        const port = new FakePort(this);
        this.ports.push(port);
        if (this.missing) port.close(this.texts.notFound);
        return port;
      },
      sendNativeMessage: (name, message) => new Promise((resolve, reject) => {
        const request = JSON.parse(JSON.stringify(message));
        this.requests.push(request);
        const stand = {
          answer: (req, answer) => {
            const port = new FakePort(this);
            port.messageListeners.push(resolve);
            port.answer(req, answer);
          },
          close: (text) => later(() => reject(new Error(text))),
        };
        later(() => this.host(request, stand));
      }),
    };
  }

  typesSent() {
    return this.requests.map((r) => r.type);
  }
}

/** A host that plays `script`, one entry per request in order: a function (request, port)
 *  or a shorthand: {result}, {error}, {close: text}, "silent". */
export function scripted(script) {
  let index = 0;
  return (request, port) => {
    const step = script[Math.min(index++, script.length - 1)];
    if (typeof step === "function") return step(request, port);
    if (step === "silent") return;
    if (step.close !== undefined) return port.close(step.close);
    port.answer(request, step);
  };
}
