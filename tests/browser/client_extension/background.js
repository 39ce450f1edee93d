// The client-test extension: the packed @vantrel/print-client (unpacked beside this file
// by the test as print-client/) driven from a service worker. The test runner calls these
// functions through the DevTools protocol; none of them rejects: a call ends as
// {ok: true, value} or {ok: false, error} with the error's typed fields.

import {
  createClient, createLabelCanvas, labelFromCanvas, PrintHostError, reprintIntentId,
} from "./print-client/dist/index.js";

const HOST = "com.vantrel.print";
const clients = new Map();

// Clients by name, so a test can run two at once (two ports, two host processes).
globalThis.configureClient = (name, options = {}) => {
  clients.get(name)?.close();
  clients.set(name, createClient({ hostName: HOST, ...options }));
};

function clientNamed(name) {
  if (!clients.has(name)) configureClient(name);
  return clients.get(name);
}

// A label with a 4-pixel black frame along its edges, so a test can see that it printed
// at its physical size, and its text.
const labels = new Map();
async function drawLabel({ width = 4, height = 6, dpi = 203, text = "" }) {
  const key = JSON.stringify([width, height, dpi, text]);
  if (!labels.has(key)) {
    const { canvas, widthPx, heightPx } = createLabelCanvas({ width, height, dpi });
    const context = canvas.getContext("2d");
    context.fillStyle = "#000";
    context.fillRect(0, 0, widthPx, 4);
    context.fillRect(0, heightPx - 4, widthPx, 4);
    context.fillRect(0, 0, 4, heightPx);
    context.fillRect(widthPx - 4, 0, 4, heightPx);
    context.font = `${Math.round(dpi / 4)}px sans-serif`;
    context.fillText(text, dpi / 4, dpi / 2);
    labels.set(key, await labelFromCanvas(canvas, dpi));
  }
  return labels.get(key);
}

function plainError(error) {
  if (!(error instanceof PrintHostError)) return { code: "THROWN", message: String(error) };
  const { code, source, mayHavePrinted, action, attempts, message, browserMessage, argument, intentId } = error;
  return { code, source, mayHavePrinted, action, attempts, message, browserMessage, argument, intentId };
}

// A submit's job names its label as {width, height, dpi, text}, drawn here, or carries a
// printer-language label's bytes as a Latin-1 string (rawLatin1), given to the client as bytes.
async function perform(name, method, args) {
  try {
    if (method === "submit") {
      const { label, rawLatin1, ...job } = args[0];
      if (rawLatin1 !== undefined) job.data = Uint8Array.from(rawLatin1, (c) => c.charCodeAt(0));
      args = [{ ...job, ...(label ? await drawLabel(label) : {}) }, ...args.slice(1)];
    }
    return { ok: true, value: await clientNamed(name)[method](...args) };
  } catch (error) {
    return { ok: false, error: plainError(error) };
  }
}

globalThis.clientCall = (name, method, args = []) => perform(name, method, args);

// A call the test acts on while it is pending: start it, act, then finish it.
const tickets = new Map();
let nextTicket = 1;
globalThis.startCall = (name, method, args = []) => {
  const ticket = nextTicket++;
  tickets.set(ticket, perform(name, method, args));
  return ticket;
};
globalThis.finishCall = async (ticket) => {
  const outcome = await tickets.get(ticket);
  tickets.delete(ticket);
  return outcome;
};

// ---- figures

// Hello round trips, one after another, alternating between a bare port and the client
// (two host processes, both started before timing); the milliseconds of each.
globalThis.benchHello = async (rounds) => {
  const bare = chrome.runtime.connectNative(HOST);
  const client = createClient({ hostName: HOST, idleCloseMs: 600000 });
  const ms = await alternate(bare, client, rounds);
  bare.disconnect();
  client.close();
  return ms;
};

// The same against a port that answers at once inside the worker: what the client itself
// costs a round trip, without a host's time around it.
globalThis.benchClientCost = async (rounds) => {
  const hello = { arch: "x86_64", capabilities: [], platform: "windows", protocol: 1, version: "1.0.0" };
  const runtime = {
    connectNative() {
      const listeners = [];
      return {
        postMessage(message) {
          const answer = { protocol: 1, request_id: message.request_id, ok: true, result: hello };
          Promise.resolve().then(() => listeners.forEach((listener) => listener(answer)));
        },
        disconnect() {},
        onMessage: { addListener: (listener) => listeners.push(listener) },
        onDisconnect: { addListener() {} },
      };
    },
  };
  const client = createClient({ hostName: HOST, runtime, idleCloseMs: 600000 });
  const ms = await alternate(runtime.connectNative(HOST), client, rounds);
  client.close();
  return ms;
};

async function alternate(bare, client, rounds) {
  let answered = null;
  bare.onMessage.addListener((answer) => answered(answer));
  const bareHello = (i) => new Promise((resolve) => {
    answered = resolve;
    bare.postMessage({ protocol: 1, request_id: `bare.${i}`, type: "hello" });
  });
  await client.hello();
  await bareHello(0);
  const ms = { client: [], bare: [] };
  for (let i = 0; i < rounds; i++) {
    let started = performance.now();
    await bareHello(i);
    ms.bare.push(performance.now() - started);
    started = performance.now();
    await client.hello();
    ms.client.push(performance.now() - started);
  }
  return ms;
}

// Time from submit() to its answer for new 4x6 labels, each under a new intent id, and
// the time to draw and encode the label.
globalThis.benchSubmit = async (count, printer) => {
  let started = performance.now();
  const label = await drawLabel({ width: 4, height: 6, dpi: 203, text: "Bench 4x6" });
  const labelMs = performance.now() - started;
  const client = createClient({ hostName: HOST, idleCloseMs: 600000 });
  await client.hello();
  const submitMs = [];
  for (let i = 0; i < count; i++) {
    started = performance.now();
    await client.submit({ intentId: reprintIntentId(), printer, title: `Bench ${i}`, copies: 1, ...label });
    submitMs.push(performance.now() - started);
  }
  client.close();
  return { labelMs, pngBytes: label.png.length, submitMs };
};

globalThis.extensionInfo = () => ({ id: chrome.runtime.id, name: chrome.runtime.getManifest().name });
