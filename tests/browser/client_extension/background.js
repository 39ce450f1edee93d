// The client-test extension: the packed @vantrel/print-client (unpacked beside this file
// by the test as print-client/) driven from a service worker. The test runner calls these
// functions through the DevTools protocol; none of them rejects: a call ends as
// {ok: true, value} or {ok: false, error} with the error's typed fields.

import {
  createClient, createLabelCanvas, labelFromCanvas, PrintHostError, relayPdfRenderer, reprintIntentId,
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
  const { code, source, mayHavePrinted, action, attempts, message, browserMessage, argument, intentId, storedState, pages } = error;
  return { code, source, mayHavePrinted, action, attempts, message, browserMessage, argument, intentId, storedState, pages };
}

// ---- PDF labels: pdf.js needs a document. Firefox runs these functions on an extension page;
// Chrome's service worker has none and relays the render to its offscreen document.

const bytesOf = (base64) => Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
let offscreen = null;

function openOffscreen() {
  offscreen ??= chrome.offscreen.createDocument({
    url: "offscreen.html", reasons: ["WORKERS"], justification: "pdf.js renders PDF labels" })
    .catch((error) => { offscreen = null; throw error; });
  return offscreen;
}

const pdfRenderer = typeof document === "undefined"
  ? relayPdfRenderer(async (message) => { await openOffscreen(); return chrome.runtime.sendMessage(message); })
  : undefined;

// printPdf's PDF travels from the test as base64.
function pdfArguments([printer, pdf, options]) {
  return [printer, bytesOf(pdf), { ...options, renderer: options.renderer ?? pdfRenderer }];
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
    if (method === "printPdf") args = pdfArguments(args);
    if (method === "printLabels") {
      // printLabels(printer, [{intentId, copies, label | rawLatin1}], options): each label drawn
      // here, or its bytes given as bytes.
      const wave = [];
      for (const { label, rawLatin1, ...entry } of args[1]) {
        if (rawLatin1 !== undefined) entry.data = Uint8Array.from(rawLatin1, (c) => c.charCodeAt(0));
        wave.push({ ...entry, ...(label ? await drawLabel(label) : {}) });
      }
      args = [args[0], wave, ...args.slice(2)];
    }
    const value = await clientNamed(name)[method](...args);
    // A wave's outcomes carry their errors typed, as a call's own error is.
    if (method === "printLabels") return { ok: true, value: value.map((o) => o.error ? { ...o, error: plainError(o.error) } : o) };
    return { ok: true, value };
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

// Chromium only. Renders of one PDF page timed inside the offscreen document: in `fresh`
// documents the first render also loads pdf.js and starts its worker.
globalThis.benchRenderPdf = async (pdf, dpi, fresh, rounds) => {
  const included = [];
  let excluded = [];
  for (let i = 0; i < fresh; i++) {
    if (offscreen) await chrome.offscreen.closeDocument();
    offscreen = null;
    await openOffscreen();
    const ms = await chrome.runtime.sendMessage({ type: "bench.renderPdf", pdf, dpi, rounds });
    included.push(ms[0]);
    excluded = excluded.concat(ms.slice(1));
  }
  return { included, excluded };
};

// The whole printPdf of a one-page PDF against submit of the same label as a ready PNG,
// alternating, each under a new intent id: printPdf given the queue's details, as the PNG's
// caller had them to draw it, and printPdf asking the queue itself.
globalThis.benchPrintPdf = async (pdf, printer, rounds) => {
  const client = createClient({ hostName: HOST, idleCloseMs: 600000 });
  const bytes = bytesOf(pdf);
  const printerDetails = await client.getPrinter(printer);
  const label = (await pdfRenderer(bytes, { dpi: printerDetails.defaultResolution.xDpi })).pages[0];
  const ms = { submit: [], printPdf: [], asking: [] };
  const timed = async (into, work) => {
    const started = performance.now();
    await work();
    ms[into].push(performance.now() - started);
  };
  for (let i = 0; i < rounds; i++) {
    await timed("submit", () => client.submit({
      intentId: reprintIntentId(), printer, title: `Bench PNG ${i}`, copies: 1,
      png: label.png, widthPx: label.widthPx, heightPx: label.heightPx, dpi: label.dpi }));
    await timed("printPdf", () => client.printPdf(printer, bytes, {
      intentId: reprintIntentId(), title: `Bench PDF ${i}`, renderer: pdfRenderer, printerDetails }));
    await timed("asking", () => client.printPdf(printer, bytes, {
      intentId: reprintIntentId(), title: `Bench PDF asking ${i}`, renderer: pdfRenderer }));
  }
  client.close();
  return { ms, pngBytes: label.png.length, widthPx: label.widthPx, heightPx: label.heightPx };
};

// Chromium only: one page's bilevel label at `threshold`, as base64 PNG (the threshold measurement).
globalThis.renderPdfPage = async (pdf, dpi, threshold) => {
  const { pages } = await pdfRenderer(bytesOf(pdf), { dpi, threshold, pages: [1] });
  const png = pages[0].png;
  let text = "";
  for (let i = 0; i < png.length; i += 0x8000) text += String.fromCharCode(...png.subarray(i, i + 0x8000));
  return btoa(text);
};

globalThis.extensionInfo = () => ({ id: chrome.runtime.id, name: chrome.runtime.getManifest().name });
