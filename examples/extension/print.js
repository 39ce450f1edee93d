// The printing page: lists the queues, picks the selected queue's paper for a 4 x 6 in
// shipping label, draws the label from the form at the printer's resolution, prints it once
// per order and follows the job. The intent id comes from the order number, so pressing Print
// twice, or again after a crash, never prints a second label; only Reprint makes a new one,
// for the order that was printed, after asking.

import {
  createClient, createLabelCanvas, intentIdFor, labelFromCanvas, pickMedia, PrintHostError, reprintIntentId,
} from "./print-client/dist/index.js";

const client = createClient({ hostName: "com.vantrel.print" });
const form = document.getElementById("label");
const printerSelect = document.getElementById("printer");
const queueLine = document.getElementById("queue");
const paperLine = document.getElementById("paper");
const status = document.getElementById("status");
const jobLine = document.getElementById("job");
const reprintButton = document.getElementById("reprint");

/** The queues of the last listing, by name. */
let queues = new Map();
/** The order Reprint prints again: the last one printed (or that may have printed), with
 *  the details it was printed with, whatever the form says now. */
let printed = null;
/** Stops following the current job. */
let following = null;

// A queue in any other state would hold the label for later, or refuse it: ask first.
const READY = new Set(["idle", "printing"]);
const STATE_TEXT = {
  idle: "ready",
  printing: "printing",
  paused: "paused: a label sent to it waits in the queue until the queue is resumed",
  offline: "offline: a label sent to it waits until the printer is back",
  error: "stopped with an error (paper, ribbon, door): a label sent to it waits until that is fixed",
  unavailable: "unavailable: it cannot be asked or does not accept jobs",
};

const LABEL = { widthIn: 4, heightIn: 6 };
// Where the host cannot tell a queue's resolution, the label is drawn for a label printer's.
const FALLBACK_DPI = 203;
// A host before 1.1.0, or a print system that cannot describe its queues: the label then
// prints on the queue's own paper, as it did before media could be chosen.
const PAPER_UNKNOWN = new Set(["UNSUPPORTED", "PRINT_SYSTEM_UNAVAILABLE"]);

const NO_QUEUE = "No print queue is listed. Add the label printer to the system's printers, then press Refresh.";

// A message stays until the next action: only actions call show().
function show(text, isError = false) {
  status.textContent = text;
  status.className = isError ? "error" : "";
}

// What to tell the user, from what the error says about the label.
function explain(error, order) {
  if (!(error instanceof PrintHostError)) return String(error);
  const said = error.browserMessage ? ` (the browser says: "${error.browserMessage}")` : "";
  switch (error.code) {
    case "HOST_NOT_FOUND":
      // Firefox says this also when the host is installed for other extensions only.
      return `The print host is not installed for this browser${said}, or not for this ` +
             `extension, whose id is ${chrome.runtime.id}. Install it as the example's README says.`;
    case "ACCESS_FORBIDDEN":
      return `The print host is installed, but not for this extension${said}. Register this ` +
             `extension's id, ${chrome.runtime.id}, as the example's README says.`;
    case "INTENT_CONFLICT":
      // Read by what became of the order's earlier label: never a second one unasked.
      if (error.mayHavePrinted === "yes") {
        return `Order ${order} was printed before with other details, so nothing was printed now. ` +
               "For another label, use Reprint.";
      }
      if (error.mayHavePrinted === "no") {
        return `Order ${order} failed to print before, with other details. To print this label, use Reprint.`;
      }
  }
  if (error.mayHavePrinted === "maybe") {
    return `The label for order ${order} may have printed (${error.code}). Check the printer before you reprint.`;
  }
  if (error.action === "retry") return `${error.message} Try again in a moment.`;
  return error.message;
}

// The selected queue's line: its state, as last listed.
function describeState() {
  const queue = queues.get(printerSelect.value);
  queueLine.textContent = queue ? `${queue.name}: ${STATE_TEXT[queue.state] ?? queue.state}.` : "";
  queueLine.className = queue && !READY.has(queue.state) ? "warning" : "";
}

function describeResolution(r) {
  return r.xDpi === r.yDpi ? `${r.xDpi} dpi` : `${r.xDpi} x ${r.yDpi} dpi`;
}

/** How the label prints on `queue`: {holds, media, dpi, text}; media null for the queue's own
 *  paper, holds false when none of its paper holds the label. */
async function planPaper(queue) {
  let printer;
  try {
    printer = await client.getPrinter(queue.name);
  } catch (error) {
    if (!(error instanceof PrintHostError && PAPER_UNKNOWN.has(error.code))) throw error;
    return { holds: true, media: null, dpi: FALLBACK_DPI, text: `Its paper is not known (${error.message}). ` +
             `The label prints on the queue's own paper at ${FALLBACK_DPI} dpi.` };
  }
  const resolution = printer.defaultResolution ?? printer.resolutions[0];
  // Of two different resolutions each way, the finer one: no dot is left without a pixel.
  const dpi = resolution ? Math.min(1200, Math.max(72, resolution.xDpi, resolution.yDpi)) : FALLBACK_DPI;
  const loaded = printer.mediaReady.length > 0 ? `, loaded: ${printer.mediaReady.join(", ")}` : "";
  const paper = `Paper: ${printer.defaultMedia || "default not known"}${loaded}; ` +
                `${resolution ? describeResolution(resolution) : "resolution not known"}.`;
  const media = pickMedia(printer, LABEL);
  return { holds: media !== null, media: media?.name ?? null, dpi, text: media
    ? `${paper} The 4 x 6 in label prints on ${media.name} at ${dpi} dpi.`
    : `${paper} None of its paper holds a 4 x 6 in label.` };
}

/** The selected queue's state and paper; its plan for the label, or null without a queue. */
async function describeQueue() {
  describeState();
  const queue = queues.get(printerSelect.value);
  paperLine.textContent = queue ? "Asking the queue about its paper…" : "";
  paperLine.className = "";
  if (!queue) return null;
  const shown = () => printerSelect.value === queue.name;
  try {
    const plan = await planPaper(queue);
    if (shown()) {
      paperLine.textContent = plan.text;
      paperLine.className = plan.holds ? "" : "warning";
    }
    return plan;
  } catch (error) {
    if (shown()) {
      paperLine.textContent = explain(error);
      paperLine.className = "warning";
    }
    throw error;
  }
}

/** Lists the queues again, keeping the selection; false when that failed (and said why). */
async function refreshPrinters() {
  let listing;
  try {
    listing = await client.listPrinters();
  } catch (error) {
    show(explain(error), true);
    return false;
  }
  const keep = queues.has(printerSelect.value) ? printerSelect.value : listing.defaultPrinter;
  queues = new Map(listing.printers.map((p) => [p.name, p]));
  printerSelect.replaceChildren(...listing.printers.map(
    (p) => new Option(`${p.name} (${p.state})`, p.name, false, p.name === keep)));
  if (listing.printers.length === 0) printerSelect.replaceChildren(new Option("No print queue", ""));
  describeState();
  return true;
}

/** The selected queue, listed and asked afresh, with the media and resolution the label
 *  prints with; null (having said why) when there is none, when none of its paper holds the
 *  label, or when it is not ready and the user would rather not print to it. */
async function chooseQueue() {
  if (!(await refreshPrinters())) return null;
  const queue = queues.get(printerSelect.value);
  if (!queue) {
    show(NO_QUEUE, true);
    return null;
  }
  const plan = await describeQueue();
  if (!plan.holds) {
    show(`Nothing was printed: none of the paper ${queue.name} offers holds a 4 x 6 in label. ` +
         "Load 4 x 6 in labels in it, or choose another queue.", true);
    return null;
  }
  if (!READY.has(queue.state) && !confirm(`${queue.name} is ${STATE_TEXT[queue.state] ?? queue.state}. Print to it anyway?`)) {
    show(`Nothing was printed: ${queue.name} is ${queue.state}.`);
    return null;
  }
  return { queue, ...plan };
}

// Bars whose widths follow the tracking number, squeezed to `width`: a stand-in for a real barcode.
function drawBars(context, text, x, y, width, height) {
  const bars = [...text].flatMap((ch) => [0, 1, 2, 3].map((bit) => 2 + ((ch.charCodeAt(0) >> bit) & 1) * 3));
  const scale = Math.min(1, width / bars.reduce((sum, bar) => sum + bar + 3, 0));
  for (const bar of bars) {
    context.fillRect(x, y, bar * scale, height);
    x += (bar + 3) * scale;
  }
}

// The lines of `text` no wider than `width` in the context's font: broken at spaces, and a
// word wider than a line broken between characters.
function wrap(context, text, width) {
  const lines = [];
  let line = "";
  for (const word of text.split(/\s+/).filter(Boolean)) {
    const longer = line ? `${line} ${word}` : word;
    if (context.measureText(longer).width <= width) {
      line = longer;
      continue;
    }
    if (line) lines.push(line);
    line = word;
    while (context.measureText(line).width > width) {
      let cut = line.length - 1;
      while (cut > 1 && context.measureText(line.slice(0, cut)).width > width) cut--;
      lines.push(line.slice(0, cut));
      line = line.slice(cut);
    }
  }
  if (line) lines.push(line);
  return lines;
}

// Draws `texts` in the box (x, top, width, height) at the largest font size, from `largest`
// down to `smallest` pixels, at which their wrapped lines fit; lines that still do not fit
// are left out, so nothing is drawn beyond the box.
function fitLines(context, texts, font, [x, top, width, height], largest, smallest) {
  let size = largest;
  let lines;
  for (;; size--) {
    context.font = font(size);
    lines = texts.flatMap((text) => wrap(context, text, width));
    if (lines.length * size * 1.2 <= height || size <= smallest) break;
  }
  lines.slice(0, Math.max(1, Math.floor(height / (size * 1.2))))
    .forEach((line, i) => context.fillText(line, x, top + size + i * size * 1.2));
}

// Drawn for `dpi`, the printer's own resolution, so that each label pixel is one dot.
function drawShippingLabel(fields, dpi) {
  const { canvas, widthPx, heightPx } = createLabelCanvas({ width: 4, height: 6, dpi });
  const c = canvas.getContext("2d");
  const inch = dpi;
  const left = inch * 0.2;
  const width = widthPx - 2 * left;
  const line = Math.round(inch / 50);
  const smallest = Math.round(inch * 0.06);
  const sans = (size) => `${size}px sans-serif`;
  c.fillStyle = "#000";
  c.strokeStyle = "#000";
  c.lineWidth = line;
  c.strokeRect(line / 2, line / 2, widthPx - line, heightPx - line);
  c.font = `bold ${Math.round(inch * 0.18)}px sans-serif`;
  c.fillText("SHIP TO", left, inch * 0.4);
  fitLines(c, [fields.name, fields.street, fields.town], sans, [left, inch * 0.5, width, inch * 1.4],
           Math.round(inch * 0.22), Math.round(inch * 0.1));
  c.fillRect(0, inch * 2, widthPx, line);
  drawBars(c, fields.tracking, left, inch * 2.3, width, inch * 1.4);
  const mono = (size) => `${size}px monospace`;
  fitLines(c, [fields.tracking], mono, [left, inch * 3.8, width, inch * 0.3], Math.round(inch * 0.16), smallest);
  fitLines(c, [`Order ${fields.order}`], mono, [left, inch * 5.3, width, inch * 0.4], Math.round(inch * 0.16), smallest);
  return canvas;
}

// The same label in ZPL, for a label printer that speaks it, written for the queue's `dpi`:
// the host sends these bytes unchanged. Field data carries no command prefix.
function zplShippingLabel(fields, dpi) {
  const d = (inches) => Math.round(inches * dpi);
  const data = (text) => text.replace(/[\^~]/g, " ");
  const text = (y, size, value) => `^FO${d(0.2)},${d(y)}^A0N,${d(size)},${d(size)}^FD${data(value)}^FS`;
  return `^XA^CI28^PW${d(4)}^LL${d(6)}^FO0,0^GB${d(4)},${d(6)},${Math.max(1, d(0.02))}^FS` +
    text(0.25, 0.18, "SHIP TO") + text(0.55, 0.22, fields.name) + text(0.85, 0.22, fields.street) +
    text(1.15, 0.22, fields.town) + `^FO0,${d(2)}^GB${d(4)},1,${Math.max(1, d(0.02))}^FS` +
    `^FO${d(0.2)},${d(2.3)}^BY${Math.max(1, d(0.015))}^BCN,${d(1.2)},Y,N,N^FD${data(fields.tracking)}^FS` +
    text(5.3, 0.16, `Order ${fields.order}`) + "^XZ";
}

function preview(canvas) {
  const target = document.getElementById("preview");
  target.getContext("2d").drawImage(canvas.transferToImageBitmap(), 0, 0, target.width, target.height);
}

function remember(order, fields) {
  printed = { order, fields };
  reprintButton.textContent = `Reprint order ${order}…`;
}

// Follows the job for a minute in a line of its own, so that the action's message stays.
// Windows forgets finished jobs, so there it may stay SUBMITTED.
function follow(intentId) {
  const controller = new AbortController();
  following = controller;
  const timer = setTimeout(() => controller.abort(), 60_000);
  client.waitForJob(intentId, {
    pollMs: 2000,
    signal: controller.signal,
    onUpdate: (job) => { jobLine.textContent = `Job ${job.osJobId} on ${job.printer}: ${job.state.toLowerCase()}.`; },
  }).catch((error) => {
    if (!(error instanceof PrintHostError && error.code === "ABORTED")) jobLine.textContent = explain(error);
  }).finally(() => clearTimeout(timer));
}

// `target` is chooseQueue's: the queue, the media picked for the label (null: the queue's own
// paper) and the resolution to draw at. Both are part of what the intent id stands for, so
// Print again draws the same label for the same queue and is answered from the ledger.
// `format` "zpl" sends the label written in ZPL instead of the drawn PNG.
async function print(order, fields, intentId, title, { queue, media, dpi }, format = "png") {
  following?.abort();
  jobLine.textContent = "";
  const canvas = drawShippingLabel(fields, dpi);
  const label = format === "zpl" ? { format, data: zplShippingLabel(fields, dpi), dpi }
                                 : await labelFromCanvas(canvas, dpi);
  preview(canvas);
  show(`Printing order ${order}…`);
  let result;
  try {
    result = await client.submit({ intentId, printer: queue.name, title, copies: 1, media, ...label });
  } catch (error) {
    // Reprint is offered once the order may be on paper, or when the details changed.
    if (error instanceof PrintHostError && (error.mayHavePrinted !== "no" || error.code === "INTENT_CONFLICT")) {
      remember(order, fields);
    }
    show(explain(error, order), true);
    return;
  }
  remember(order, fields);
  if (result.duplicate) {
    show(`Order ${order} was printed before (job ${result.osJobId} on ${result.printer}); ` +
         "nothing was printed again. Use Reprint for another label.");
    return;
  }
  show(`Order ${order} was sent to ${result.printer} as job ${result.osJobId}.`);
  follow(intentId);
}

// One action at a time; Reprint is offered once an order has been printed.
async function act(action) {
  for (const button of form.querySelectorAll("button")) button.disabled = true;
  try {
    await action();
  } catch (error) {
    show(explain(error), true);
  } finally {
    for (const button of form.querySelectorAll("button")) button.disabled = false;
    reprintButton.disabled = printed === null;
  }
}

form.addEventListener("submit", (event) => {
  event.preventDefault();
  const fields = Object.fromEntries(new FormData(form));
  act(async () => {
    const target = await chooseQueue();
    // Label 1 of the order: the same order always gives the same intent id.
    if (target) await print(fields.order, fields, await intentIdFor("order", fields.order, 1), `Order ${fields.order}`, target);
  });
});

// The ZPL label is other output than the PNG one: an intent id of its own.
document.getElementById("print-zpl").addEventListener("click", () => {
  if (!form.reportValidity()) return;
  const fields = Object.fromEntries(new FormData(form));
  act(async () => {
    const target = await chooseQueue();
    if (target) {
      await print(fields.order, fields, await intentIdFor("order-zpl", fields.order, 1),
                  `Order ${fields.order} (ZPL)`, target, "zpl");
    }
  });
});

reprintButton.addEventListener("click", () => act(async () => {
  const { order, fields } = printed;
  if (!confirm(`Print another label for order ${order}?`)) return;
  const target = await chooseQueue();
  if (target) await print(order, fields, reprintIntentId(), `Order ${order} (reprint)`, target);
}));

// Today's orders, as a shop's order list would give them: one label each, printed as one wave.
// Each label's intent id comes from its order, so pressing the button again prints only the
// labels that did not print the first time.
const TODAYS_ORDERS = Array.from({ length: 12 }, (_, i) => ({
  order: `T-${String(1001 + i)}`, name: `Customer ${i + 1}`, street: `${i + 1} Market Street`,
  town: "London EC1A 1BB", tracking: `VT${String(100000000 + i)}GB`,
}));

document.getElementById("wave").addEventListener("click", () => act(async () => {
  const target = await chooseQueue();
  if (!target) return;
  show(`Printing ${TODAYS_ORDERS.length} orders…`);
  const labels = [];
  for (const fields of TODAYS_ORDERS) {
    const label = await labelFromCanvas(drawShippingLabel(fields, target.dpi), target.dpi);
    labels.push({ intentId: await intentIdFor("order", fields.order, 1), ...label });
  }
  const outcomes = await client.printLabels(target.queue.name, labels,
                                            { dpi: target.dpi, title: "Today's orders", media: target.media });
  const count = (verdict) => outcomes.filter((o) => o.verdict === verdict).length;
  const unsure = outcomes.map((o, i) => (o.verdict === "may have printed" ? TODAYS_ORDERS[i].order : null)).filter(Boolean);
  show(`Printed ${count("printed")} (${outcomes.filter((o) => o.duplicate).length} of them earlier), ` +
       `not printed ${count("not printed")}` +
       (unsure.length ? `; look at the printer before reprinting ${unsure.join(", ")}.` : "."),
       count("printed") !== outcomes.length);
}));

// A failure to ask about the paper stays on the paper's line.
const describeQuietly = () => describeQueue().catch(() => {});

async function listQueues() {
  if (!(await refreshPrinters())) return;
  const count = queues.size;
  if (count === 0) show(NO_QUEUE, true);
  else show(`${count} print queue${count === 1 ? "" : "s"} listed.`);
  await describeQuietly();
}

printerSelect.addEventListener("change", describeQuietly);
document.getElementById("refresh").addEventListener("click", () => act(listQueues));
act(listQueues);
