// The test extension's side of the browser test: it speaks to the native-messaging host
// "com.vantrel.print" with the two APIs a real extension uses and hands back exactly what
// it received. The test runner calls these functions through the DevTools protocol and
// checks the results; every call ends on its own deadline and never rejects.

const HOST = "com.vantrel.print";

function lastErrorText() {
  return chrome.runtime.lastError ? chrome.runtime.lastError.message : null;
}

// Large bodies are built here rather than sent through the DevTools pipe:
// {"$repeat": [text, count]} anywhere in a message becomes text repeated count times.
function materialise(value) {
  if (Array.isArray(value)) return value.map(materialise);
  if (value !== null && typeof value === "object") {
    if (Array.isArray(value.$repeat)) return String(value.$repeat[0]).repeat(value.$repeat[1]);
    const out = {};
    for (const [key, member] of Object.entries(value)) out[key] = materialise(member);
    return out;
  }
  return value;
}

// Ports stay open between calls, so that a test can act between two messages (freeze the
// print system, say). Answers are collected in the order they arrive.
const ports = new Map();
let nextPortId = 1;

function closedOutcome(entry) {
  return { answers: entry.answers, ended: entry.ended, error: entry.error,
           elapsedMs: Math.round(performance.now() - entry.started) };
}

globalThis.openPort = () => {
  const id = nextPortId++;
  const entry = { port: null, answers: [], ended: null, error: null, waiters: [],
                  started: performance.now() };
  ports.set(id, entry);
  const wake = () => { for (const waiter of entry.waiters.splice(0)) waiter(); };
  try {
    entry.port = chrome.runtime.connectNative(HOST);
  } catch (e) {
    entry.ended = "connect-threw";
    entry.error = String(e);
    return id;
  }
  entry.port.onMessage.addListener((answer) => { entry.answers.push(answer); wake(); });
  entry.port.onDisconnect.addListener(() => {
    if (entry.ended === null) {
      entry.ended = "disconnected";
      entry.error = lastErrorText();
    }
    wake();
  });
  return id;
};

globalThis.postOnPort = (id, messages) => {
  const entry = ports.get(id);
  try {
    for (const message of messages) entry.port.postMessage(materialise(message));
    return null;
  } catch (e) {
    return String(e);
  }
};

// Resolves once `count` answers are in, the port has closed, or the deadline has passed
// ("ended" stays null while the port is open).
globalThis.waitOnPort = (id, count, { timeoutMs = 60000 } = {}) =>
  new Promise((resolve) => {
    const entry = ports.get(id);
    let done = false;
    const finish = () => {
      done = true;
      clearTimeout(timer);
      resolve(closedOutcome(entry));
    };
    const check = () => {
      if (done) return;
      if (entry.answers.length >= count || entry.ended !== null) finish();
      else entry.waiters.push(check);
    };
    const timer = setTimeout(finish, timeoutMs);
    check();
  });

globalThis.closePort = (id) => {
  const entry = ports.get(id);
  if (entry.ended === null) {
    entry.ended = "closed";
    entry.port.disconnect();
  }
  ports.delete(id);
  return closedOutcome(entry);
};

// Several messages on one port (one host process): all are posted at once; the port is
// closed by the extension once `expectAnswers` answers are in, unless the host or the
// browser closes it first.
globalThis.portSession = async (messages, { expectAnswers = messages.length, timeoutMs = 60000 } = {}) => {
  const id = openPort();
  const postError = postOnPort(id, messages);
  if (postError !== null) {
    closePort(id);
    return { answers: [], ended: "post-threw", error: postError };
  }
  const outcome = await waitOnPort(id, expectAnswers, { timeoutMs });
  closePort(id);
  const ended = outcome.ended ?? (outcome.answers.length >= expectAnswers ? "answered" : "timeout");
  return { ...outcome, ended };
};

// One message with its own host process, started and ended by the browser.
globalThis.oneShot = (message, { timeoutMs = 60000 } = {}) =>
  new Promise((resolve) => {
    const started = performance.now();
    const timer = setTimeout(() => resolve({ ended: "timeout" }), timeoutMs);
    try {
      chrome.runtime.sendNativeMessage(HOST, materialise(message), (answer) => {
        clearTimeout(timer);
        const error = lastErrorText();
        const elapsedMs = Math.round(performance.now() - started);
        resolve(error ? { ended: "error", error, elapsedMs } : { ended: "answered", answer, elapsedMs });
      });
    } catch (e) {
      clearTimeout(timer);
      resolve({ ended: "send-threw", error: String(e) });
    }
  });

globalThis.extensionInfo = () => ({ id: chrome.runtime.id, name: chrome.runtime.getManifest().name });
