export { createClient } from "./client.js";
export type {
  AttemptState, CallOptions, ClientOptions, Hello, JobRecord, PrintClient, Printer, PrinterDetails,
  PngSubmitJob, PrinterList, QueueState, RawSubmitJob, Resolution, RetryOptions, SubmitJob,
  SubmitResult, WaitOptions,
} from "./client.js";
export type { LabelOutcome, LabelVerdict, PrintLabelsOptions, WaveLabel } from "./batch.js";
export { settingsCommand } from "./raw.js";
export type { RawFormat } from "./raw.js";
export { PrintHostError } from "./errors.js";
export type {
  Action, ClientCode, ErrorCode, ErrorSource, HostCode, MayHavePrinted, Operation, PdfCode, PdfPageOutcome,
  TransportCode,
} from "./errors.js";
export { intentIdFor, reprintIntentId } from "./intent.js";
export { BILEVEL_THRESHOLD, createLabelCanvas, encodeBilevelPng, encodeLabelPng, labelFromCanvas, labelFromImageData, labelPixelSize } from "./label.js";
export type { Label, LabelSize, RgbaPixels } from "./label.js";
export { pickMedia } from "./media.js";
export type { LabelDimensions, MediaArea, MediaChoices, PrinterMedia } from "./media.js";
export type { NativePort, NativeRuntime } from "./transport.js";
export { MAX_PNG_BYTES } from "./validate.js";
export { answerPdfRender, relayPdfRenderer, renderPdf, RENDER_PDF_MESSAGE } from "./pdf.js";
export type {
  PdfCrop, PdfJsSource, PdfPrintResult, PdfRenderer, PdfRenderMessage, PdfRenderRequest, PrintedPage,
  PrintPdfOptions, RenderedPage, RenderedPdf,
} from "./pdf.js";
