// Renders PDF labels for the service worker (relayPdfRenderer there), and times renders for
// the benchmark: the first render in a fresh document includes loading pdf.js.
import { answerPdfRender, renderPdf, RENDER_PDF_MESSAGE } from "./print-client/dist/index.js";

chrome.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (message?.type === RENDER_PDF_MESSAGE) {
    answerPdfRender(message).then(sendResponse);
    return true;
  }
  if (message?.type === "bench.renderPdf") {
    timeRenders(message).then(sendResponse);
    return true;
  }
  return false;
});

async function timeRenders({ pdf, dpi, rounds }) {
  const bytes = Uint8Array.from(atob(pdf), (c) => c.charCodeAt(0));
  const ms = [];
  for (let i = 0; i < rounds; i++) {
    const started = performance.now();
    await renderPdf(bytes, { dpi });
    ms.push(performance.now() - started);
  }
  return ms;
}
