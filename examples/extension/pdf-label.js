// A carrier's PDF label printed on the queue chosen on the page: each page of the PDF becomes
// one label at the queue's own resolution, at the page's physical size, on the queue's media of
// that size (printPdf). pdf.js runs here, on the extension's page, in Chrome and in Firefox; it
// is loaded from pdfjs/ (setup.sh copies it there) the first time a PDF is printed.
//
// The intent id comes from the shipment number, so printing the same shipment again prints
// nothing: each page's label is answered from the host's ledger.

import { createClient, intentIdFor, PrintHostError } from "./print-client/dist/index.js";

const client = createClient({ hostName: "com.vantrel.print" });
const form = document.getElementById("pdf-label");
const status = document.getElementById("pdf-status");
// Where a Letter page holds the label in its upper left quarter: 4 x 6 in, in points.
const UPPER_LEFT_4X6 = { x: 0, y: 0, width: 288, height: 432 };

function explain(error, shipment) {
  if (!(error instanceof PrintHostError)) return String(error);
  // Refusals of the PDF itself come before any page is sent.
  if (error.operation === "print_pdf") return `Nothing was printed: ${error.message}`;
  // Which pages went out before the one that failed.
  const pages = (error.pages ?? []).map((p) => `page ${p.page}: ${
    p.code ? p.code : p.mayHavePrinted === "yes" ? "printed" : "not sent"}`).join(", ");
  const maybe = error.mayHavePrinted === "maybe" ? " It may have printed: check the printer before you reprint." : "";
  return `Shipment ${shipment}: ${error.message}${maybe}${pages ? ` (${pages})` : ""}`;
}

form.addEventListener("submit", async (event) => {
  event.preventDefault();
  const button = document.getElementById("print-pdf");
  const printer = document.getElementById("printer").value;
  const fields = new FormData(form);
  const shipment = fields.get("shipment");
  if (!printer) {
    status.textContent = "Choose a print queue above first.";
    return;
  }
  button.disabled = true;
  status.textContent = `Printing shipment ${shipment}…`;
  try {
    const pdf = new Uint8Array(await fields.get("pdf").arrayBuffer());
    const result = await client.printPdf(printer, pdf, {
      intentId: await intentIdFor("shipment", shipment), title: `Shipment ${shipment}`,
      crop: fields.get("corner") ? UPPER_LEFT_4X6 : null });
    const again = result.pages.every((p) => p.duplicate);
    status.textContent = again
      ? `Shipment ${shipment} was printed before; nothing was printed again.`
      : `Shipment ${shipment}: ${result.pages.length} label${result.pages.length === 1 ? "" : "s"} sent to ` +
        `${result.printer} at ${result.dpi} dpi (${result.pages.map((p) => `job ${p.osJobId} on ${p.media ?? "its paper"}`).join(", ")}).`;
  } catch (error) {
    status.textContent = explain(error, shipment);
  } finally {
    button.disabled = false;
  }
});
