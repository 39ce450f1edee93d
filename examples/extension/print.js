// The printing page: lists the queues, draws a 4 x 6 in shipping label from the form,
// prints it once per order and follows the job. The intent id comes from the order
// number, so pressing Print twice, or again after a crash, never prints a second label;
// only Reprint makes a new one, after asking.

import {
  createClient, createLabelCanvas, intentIdFor, labelFromCanvas, PrintHostError, reprintIntentId,
} from "./print-client/dist/index.js";

const client = createClient({ hostName: "com.vantrel.print" });
const form = document.getElementById("label");
const printerSelect = document.getElementById("printer");
const status = document.getElementById("status");
const reprintButton = document.getElementById("reprint");

function show(text, isError = false) {
  status.textContent = text;
  status.className = isError ? "error" : "";
}

// What to tell the user, from what the error says about the label.
function explain(error) {
  if (!(error instanceof PrintHostError)) return String(error);
  if (error.code === "HOST_NOT_FOUND" || error.code === "ACCESS_FORBIDDEN") {
    return "The print host is not installed for this browser (see the example's README).";
  }
  if (error.mayHavePrinted === "maybe") {
    return `The label may have printed (${error.code}). Check the printer before you reprint.`;
  }
  if (error.action === "retry") return `${error.message} Try again in a moment.`;
  return error.message;
}

async function refreshPrinters() {
  try {
    const { defaultPrinter, printers } = await client.listPrinters();
    printerSelect.replaceChildren(...printers.map((p) => new Option(p.name, p.name, false, p.name === defaultPrinter)));
    document.getElementById("printers").replaceChildren(...printers.map((p) => {
      const item = document.createElement("li");
      item.textContent = `${p.name}: ${p.state}${p.enabled ? "" : " (not printing)"}`;
      return item;
    }));
  } catch (error) {
    show(explain(error), true);
  }
}

// Bars whose widths follow the tracking number: a stand-in for a real barcode.
function drawBars(context, text, x, y, height) {
  for (const ch of text) {
    const code = ch.charCodeAt(0);
    for (let bit = 0; bit < 4; bit++) {
      const width = 2 + ((code >> bit) & 1) * 3;
      context.fillRect(x, y, width, height);
      x += width + 3;
    }
  }
}

function drawShippingLabel(fields) {
  const { canvas, widthPx, heightPx, dpi } = createLabelCanvas({ width: 4, height: 6, dpi: 203 });
  const c = canvas.getContext("2d");
  const inch = dpi;
  c.fillStyle = "#000";
  c.strokeStyle = "#000";
  c.lineWidth = 4;
  c.strokeRect(2, 2, widthPx - 4, heightPx - 4);
  c.font = `bold ${Math.round(inch * 0.18)}px sans-serif`;
  c.fillText("SHIP TO", inch * 0.2, inch * 0.4);
  c.font = `${Math.round(inch * 0.22)}px sans-serif`;
  [fields.name, fields.street, fields.town].forEach((line, i) => c.fillText(line, inch * 0.2, inch * (0.8 + i * 0.32)));
  c.fillRect(0, inch * 2, widthPx, 4);
  drawBars(c, fields.tracking, inch * 0.2, inch * 2.3, inch * 1.4);
  c.font = `${Math.round(inch * 0.16)}px monospace`;
  c.fillText(fields.tracking, inch * 0.2, inch * 4);
  c.fillText(`Order ${fields.order}`, inch * 0.2, inch * 5.6);
  return { canvas, dpi };
}

function preview(canvas) {
  const target = document.getElementById("preview");
  target.getContext("2d").drawImage(canvas.transferToImageBitmap(), 0, 0, target.width, target.height);
}

async function print(intentId, fields, title) {
  const { canvas, dpi } = drawShippingLabel(fields);
  const label = await labelFromCanvas(canvas, dpi);
  preview(canvas);
  show("Printing…");
  try {
    const result = await client.submit({ intentId, printer: printerSelect.value, title, copies: 1, ...label });
    show(result.duplicate
      ? `Order ${fields.order} was printed before (job ${result.osJobId}); nothing was printed again.`
      : `Sent to ${result.printer} as job ${result.osJobId}.`);
  } catch (error) {
    show(explain(error), true);
    return;
  } finally {
    reprintButton.disabled = false;
  }
  // Follow the job for a minute; Windows forgets finished jobs, so it may stay SUBMITTED.
  try {
    await client.waitForJob(intentId, {
      pollMs: 2000,
      signal: AbortSignal.timeout(60_000),
      onUpdate: (job) => show(`Job ${job.osJobId} on ${job.printer}: ${job.state.toLowerCase()}.`),
    });
  } catch (error) {
    if (!(error instanceof PrintHostError && error.code === "ABORTED")) show(explain(error), true);
  }
}

function fieldsOf() {
  return Object.fromEntries(new FormData(form));
}

form.addEventListener("submit", async (event) => {
  event.preventDefault();
  const fields = fieldsOf();
  // Label 1 of the order: the same order always gives the same intent id.
  await print(await intentIdFor("order", fields.order, 1), fields, `Order ${fields.order}`);
});

reprintButton.addEventListener("click", async () => {
  const fields = fieldsOf();
  if (!confirm(`Print another label for order ${fields.order}?`)) return;
  await print(reprintIntentId(), fields, `Order ${fields.order} (reprint)`);
});

document.getElementById("refresh").addEventListener("click", refreshPrinters);
refreshPrinters();
