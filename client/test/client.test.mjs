import assert from "node:assert/strict";
import { test } from "node:test";
import { inflateSync } from "node:zlib";

import {
  createClient, encodeLabelPng, intentIdFor, labelPixelSize, pickMedia, reprintIntentId, PrintHostError,
} from "../dist/index.js";
import { CHROMIUM, FIREFOX, FakeBrowser, scripted } from "./fake_browser.mjs";

const FAST = { baseDelayMs: 1, maxDelayMs: 2, maxElapsedMs: 5_000 };
const SUBMITTED = { duplicate: false, intent_id: "order-1", os_job_id: "7", printer: "Zebra", state: "SUBMITTED" };
const DUPLICATE = { ...SUBMITTED, duplicate: true };
const HELLO = { arch: "x86_64", capabilities: ["submit_png"], platform: "windows", protocol: 1, version: "1.0.0" };

const PNG = await encodeLabelPng({ width: 16, height: 16, data: new Uint8Array(16 * 16 * 4) }, 203);
const JOB = { intentId: "order-1", printer: "Zebra", png: PNG, widthPx: 16, heightPx: 16, dpi: 203,
              copies: 1, title: "Order 1", media: "na_index-4x6_4x6in" };

function client(browser, options = {}) {
  return createClient({ hostName: "com.vantrel.print", runtime: browser.runtime, retry: FAST, ...options });
}

async function outcome(promise) {
  try {
    return { value: await promise };
  } catch (error) {
    assert.ok(error instanceof PrintHostError, String(error));
    return { error };
  }
}

// Each row: what the host (or the browser) does at each request, and how the call ends.
const RETRY_TABLE = [
  ["submit: BRIDGE_BUSY twice, then printed", "chromium", "submit",
   [{ error: "BRIDGE_BUSY" }, { error: "BRIDGE_BUSY" }, { result: SUBMITTED }], { attempts: 3, duplicate: false }],
  ["submit: PRE_SUBMIT_UNAVAILABLE is retried under the bound", "chromium", "submit",
   [{ error: "PRE_SUBMIT_UNAVAILABLE" }], { code: "PRE_SUBMIT_UNAVAILABLE", may: "no", action: "retry", attempts: 6 }],
  ["submit: host exited, the resubmission is answered from the ledger", "chromium", "submit",
   [{ close: CHROMIUM.exited }, { result: DUPLICATE }], { attempts: 2, duplicate: true, resubmitted: true }],
  ["submit: Firefox's text for an exited host, then the one print", "firefox", "submit",
   [{ close: FIREFOX.exited }, { result: SUBMITTED }], { attempts: 2, duplicate: false, resubmitted: true }],
  ["submit: communication error, then UNKNOWN_OUTCOME is final", "chromium", "submit",
   [{ close: CHROMIUM.ioError }, { error: "UNKNOWN_OUTCOME" }], { code: "UNKNOWN_OUTCOME", may: "maybe", action: "reconcile", attempts: 2 }],
  ["submit: a lost answer is resubmitted once only", "chromium", "submit",
   [{ close: CHROMIUM.exited }, { close: CHROMIUM.exited }, { result: SUBMITTED }], { code: "HOST_EXITED", may: "maybe", action: "retry", attempts: 2 }],
  ["submit: a busy resubmission keeps backing off", "chromium", "submit",
   [{ close: CHROMIUM.exited }, { error: "BRIDGE_BUSY" }, { result: DUPLICATE }], { attempts: 3, duplicate: true, resubmitted: true }],
  ["submit: a lost answer still may have printed when the resubmission stays busy", "chromium", "submit",
   [{ close: CHROMIUM.exited }, { error: "BRIDGE_BUSY" }], { code: "BRIDGE_BUSY", may: "maybe", action: "retry", attempts: 6 }],
  ["submit: UNKNOWN_OUTCOME is never retried", "chromium", "submit",
   [{ error: "UNKNOWN_OUTCOME" }], { code: "UNKNOWN_OUTCOME", may: "maybe", action: "reconcile", attempts: 1 }],
  // A conflict says what became of the intent's stored attempt; it never invites a reprint of
  // a label that printed or may have (the same order drawn by another browser, say).
  ["submit: INTENT_CONFLICT with a printed attempt is never retried", "chromium", "submit",
   [{ error: "INTENT_CONFLICT", stored: "COMPLETED" }], { code: "INTENT_CONFLICT", may: "yes", action: "never", attempts: 1 }],
  ["submit: INTENT_CONFLICT with an attempt that may have printed", "firefox", "submit",
   [{ error: "INTENT_CONFLICT", stored: "UNKNOWN" }], { code: "INTENT_CONFLICT", may: "maybe", action: "reconcile", attempts: 1 }],
  ["submit: INTENT_CONFLICT with a failed attempt", "chromium", "submit",
   [{ error: "INTENT_CONFLICT", stored: "FAILED" }], { code: "INTENT_CONFLICT", may: "no", action: "never", attempts: 1 }],
  ["submit: INTENT_CONFLICT from a host that does not say, or says what is unknown here", "chromium", "submit",
   [{ error: "INTENT_CONFLICT", stored: "constructor" }], { code: "INTENT_CONFLICT", may: "maybe", action: "reconcile", attempts: 1 }],
  ["submit: ATTEMPT_FAILED is never retried", "chromium", "submit",
   [{ error: "ATTEMPT_FAILED" }], { code: "ATTEMPT_FAILED", may: "no", action: "never", attempts: 1 }],
  ["submit: Chromium's missing host", "chromium", "submit",
   [{ close: CHROMIUM.notFound }], { code: "HOST_NOT_FOUND", may: "no", action: "never", attempts: 1 }],
  ["submit: Firefox's missing host", "firefox", "submit",
   [{ close: FIREFOX.notFound }], { code: "HOST_NOT_FOUND", may: "no", action: "never", attempts: 1 }],
  ["submit: Chromium's forbidden host", "chromium", "submit",
   [{ close: CHROMIUM.forbidden }], { code: "ACCESS_FORBIDDEN", may: "no", action: "never", attempts: 1 }],
  ["hello: an exited host is asked again", "chromium", "hello",
   [{ close: CHROMIUM.exited }, { result: HELLO }], { attempts: 2 }],
  ["listPrinters: BRIDGE_BUSY is asked again", "firefox", "listPrinters",
   [{ error: "BRIDGE_BUSY" }, { result: { default_printer: "", printers: [] } }], { attempts: 2 }],
  ["getJob: Chromium's I/O error on a stored record is the answer limit", "chromium", "getJob",
   [{ close: CHROMIUM.ioError }], { code: "ANSWER_TOO_LARGE", may: "no", action: "never", attempts: 1 }],
  ["listPrinters: Firefox's answer limit", "firefox", "listPrinters",
   [{ close: FIREFOX.tooLarge }], { code: "ANSWER_TOO_LARGE", may: "no", action: "never", attempts: 1 }],
  ["getJob: JOB_NOT_FOUND is final", "chromium", "getJob",
   [{ error: "JOB_NOT_FOUND" }], { code: "JOB_NOT_FOUND", may: "no", action: "never", attempts: 1 }],
];

for (const mode of ["port", "oneShot"]) {
  test(`retry table (${mode})`, async (t) => {
    for (const [name, flavor, call, script, expected] of RETRY_TABLE) {
      await t.test(name, async () => {
        const browser = new FakeBrowser(flavor, scripted(script));
        const c = client(browser, { mode });
        const args = { submit: [JOB], hello: [], listPrinters: [], getJob: ["order-1"] }[call];
        const { value, error } = await outcome(c[call](...args));
        c.close();
        assert.equal(browser.requests.length, expected.attempts);
        if (call === "submit") {
          // Every retry carries the caller's intent id and media (both name the output), and
          // a request id of its own.
          assert.deepEqual(new Set(browser.requests.map((r) => `${r.payload.intent_id} ${r.payload.media}`)),
                           new Set(["order-1 na_index-4x6_4x6in"]));
          assert.equal(new Set(browser.requests.map((r) => r.request_id)).size, browser.requests.length);
        }
        if (expected.code) {
          assert.equal(value, undefined);
          assert.deepEqual([error.code, error.mayHavePrinted, error.action, error.attempts],
                           [expected.code, expected.may, expected.action, expected.attempts]);
        } else {
          assert.equal(error, undefined, error && error.message);
          if (call === "submit") {
            assert.deepEqual([value.attempts, value.duplicate, value.resubmitted],
                             [expected.attempts, expected.duplicate, expected.resubmitted ?? false]);
          }
        }
      });
    }
  });
}

test("answers in any order reach their own calls on one port", async () => {
  const held = [];
  const browser = new FakeBrowser("chromium", (request, port) => {
    held.push([request, port]);
    if (held.length === 3) {
      for (const [r, p] of held.reverse()) {
        p.answer(r, { result: r.type === "get_job"
          ? { intent_id: r.payload.intent_id, state: "SUBMITTED", printer: "Zebra", os_job_id: "1",
              payload_sha256: "", created_at_ms: 1, updated_at_ms: 2, error_code: "", error_message: "" }
          : r.type === "hello" ? HELLO : { default_printer: "Zebra", printers: [] } });
      }
    }
  });
  const c = client(browser);
  const [hello, printers, job] = await Promise.all([c.hello(), c.listPrinters(), c.getJob("a:b")]);
  c.close();
  assert.equal(browser.ports.length, 1);
  assert.deepEqual([hello.version, printers.defaultPrinter, job.intentId, job.updatedAtMs], ["1.0.0", "Zebra", "a:b", 2]);
});

test("a disconnect rejects every pending call; only the oldest was being answered", async () => {
  let seen = 0;
  const browser = new FakeBrowser("chromium", (request, port) => {
    if (++seen === 3) port.close(CHROMIUM.ioError);
  });
  const c = client(browser, { retry: false });
  const results = await Promise.all([c.listPrinters(), c.listPrinters(), c.submit(JOB)].map(outcome));
  assert.deepEqual(results.map((r) => r.error.code), ["ANSWER_TOO_LARGE", "COMMUNICATION_ERROR", "COMMUNICATION_ERROR"]);
  assert.deepEqual([results[2].error.mayHavePrinted, results[2].error.browserMessage], ["maybe", CHROMIUM.ioError]);
});

test("the port closes when idle and a later call opens a new one", async () => {
  const browser = new FakeBrowser("chromium", scripted([{ result: HELLO }]));
  const c = client(browser, { idleCloseMs: 30 });
  await c.hello();
  await c.hello();
  assert.equal(browser.disconnectedByClient, 0);
  await new Promise((r) => setTimeout(r, 80));
  assert.equal(browser.disconnectedByClient, 1);
  await c.hello();
  assert.equal(browser.ports.length, 2);
  c.close();
});

test("concurrent submits of one intent and output share one request", async () => {
  const browser = new FakeBrowser("chromium", (request, port) => setTimeout(() => port.answer(request, { result: SUBMITTED }), 20));
  const c = client(browser);
  const [a, b] = await Promise.all([c.submit(JOB), c.submit({ ...JOB, title: "Order 1 again" })]);
  assert.equal(browser.requests.length, 1);
  // The second press printed nothing of its own, and is told so.
  assert.deepEqual([a.duplicate, a.joined, b.duplicate, b.joined, b.osJobId], [false, false, true, true, a.osJobId]);
  // Other output under the same intent id is the host's to judge (INTENT_CONFLICT).
  await Promise.all([c.submit(JOB), c.submit({ ...JOB, copies: 2 })]);
  assert.equal(browser.requests.length, 3);
  c.close();
});

test("a silent host times out; the submit is resubmitted once, and the stuck port is closed", async () => {
  const browser = new FakeBrowser("chromium", scripted(["silent"]));
  const c = client(browser, { requestTimeoutMs: 40 });
  const started = Date.now();
  const { error } = await outcome(c.submit(JOB));
  assert.deepEqual([error.code, error.mayHavePrinted, error.action, error.attempts], ["TIMEOUT", "maybe", "retry", 2]);
  assert.ok(Date.now() - started >= 80);
  assert.equal(browser.ports.length, 2);
  assert.equal(browser.disconnectedByClient, 2);
});

test("an aborted submit reports that it may have reached the host", async () => {
  const browser = new FakeBrowser("chromium", scripted(["silent"]));
  const c = client(browser);
  const controller = new AbortController();
  const pending = outcome(c.submit(JOB, { signal: controller.signal }));
  await new Promise((r) => setTimeout(r, 10));
  controller.abort();
  const { error } = await pending;
  assert.deepEqual([error.code, error.mayHavePrinted, error.source], ["ABORTED", "maybe", "client"]);
  c.close();
});

test("an abort in the pause before a retry keeps what the earlier requests may have done", async (t) => {
  for (const [name, lost, may, requests] of [["after a lost answer", true, "maybe", 2],
                                             ["after BRIDGE_BUSY only", false, "no", 1]]) {
    await t.test(name, async () => {
      const controller = new AbortController();
      const busy = (request, port) => {
        port.answer(request, { error: "BRIDGE_BUSY" });
        setTimeout(() => controller.abort(), 20); // the pause is 200 to 400 ms
      };
      const browser = new FakeBrowser("chromium", scripted(lost ? [{ close: CHROMIUM.exited }, busy] : [busy]));
      const c = client(browser, { retry: { baseDelayMs: 400, maxElapsedMs: 5_000 } });
      const { error } = await outcome(c.submit(JOB, { signal: controller.signal }));
      await new Promise((r) => setTimeout(r, 450));
      c.close();
      // "no" is only true if no request follows the abort.
      assert.deepEqual([error.code, error.mayHavePrinted, error.attempts, browser.requests.length],
                       ["ABORTED", may, requests, requests]);
    });
  }
});

test("a joined caller's own signal lets only that caller go", async () => {
  const browser = new FakeBrowser("chromium", scripted([{ result: SUBMITTED }]));
  const c = client(browser);
  const first = new AbortController();
  const calls = [c.submit(JOB, { signal: first.signal }), c.submit(JOB, { signal: new AbortController().signal })];
  first.abort(); // the request is out: it may print
  const [left, stayed] = await Promise.all(calls.map(outcome));
  c.close();
  assert.deepEqual([left.error?.code, left.error?.mayHavePrinted, stayed.value?.state], ["ABORTED", "maybe", "SUBMITTED"]);
  assert.equal(browser.requests.length, 1);
});

test("requests posted together on one port: each timeout starts when the host can start on it", async (t) => {
  const done = [1, false]; // attempts, resubmitted
  for (const [name, hangs, expected, ports] of [
    ["five labels, each answered within its own timeout", 0, Array(5).fill(done), 1],
    ["the first hangs: it alone times out, those behind it never started and move to a new port", 1,
     [[2, true], ...Array(4).fill(done)], 2],
  ]) {
    await t.test(name, async () => {
      // The host works on one request at a time, 80 ms each; the first `hangs` never finish.
      let started = 0;
      const queues = new Map();
      const browser = new FakeBrowser("chromium", (request, port) => {
        const work = () => new Promise((finished) => setTimeout(() => {
          if (++started <= hangs) return;
          port.answer(request, { result: { ...SUBMITTED, intent_id: request.payload.intent_id } });
          finished();
        }, 80));
        queues.set(port, (queues.get(port) ?? Promise.resolve()).then(work));
      });
      const c = client(browser, { requestTimeoutMs: 250 });
      const results = await Promise.all([1, 2, 3, 4, 5].map((n) => c.submit({ ...JOB, intentId: `order-1-${n}` })));
      c.close();
      assert.deepEqual(results.map((r) => [r.attempts, r.resubmitted]), expected);
      assert.deepEqual(results.map((r) => r.intentId), ["order-1-1", "order-1-2", "order-1-3", "order-1-4", "order-1-5"]);
      assert.equal(browser.ports.length, ports);
    });
  }
});

test("bad arguments are refused before anything is sent, naming the argument", async () => {
  const browser = new FakeBrowser("chromium", scripted([{ result: SUBMITTED }]));
  const c = client(browser);
  const big = new Uint8Array(5_242_881);
  big.set(PNG.subarray(0, 24));
  const cases = [
    [{ intentId: "order 1" }, "intentId"],
    [{ intentId: "x".repeat(161) }, "intentId"],
    [{ dpi: 203.5 }, "dpi"],
    [{ copies: 0 }, "copies"],
    [{ printer: "Zebra\n" }, "printer"],
    [{ media: "4x6:in" }, "media"],
    [{ media: "Letter" }, "media"], // names no size: the host would record a failed attempt
    // Beyond the host's limits before rounding, as the host reads them.
    [{ media: "custom_0.0005x4mm" }, "media"],
    [{ media: "custom_10000.0004x1mm" }, "media"],
    [{ png: big }, "png"],
    [{ widthPx: 17 }, "png"],
  ];
  for (const [change, argument] of cases) {
    const { error } = await outcome(c.submit({ ...JOB, ...change }));
    assert.deepEqual([error.code, error.argument, error.mayHavePrinted], ["INVALID_ARGUMENT", argument, "no"], argument);
  }
  assert.equal((await outcome(c.getJob("no/slash"))).error.argument, "intentId");
  assert.equal(browser.requests.length, 0);
});

test("waitForJob reports each new state and ends at the first wanted one", async () => {
  const states = ["SUBMITTED", "SUBMITTED", "OBSERVED", "COMPLETED"];
  const browser = new FakeBrowser("chromium", (request, port) => port.answer(request, { result: {
    intent_id: "j", state: states.shift(), printer: "Zebra", os_job_id: "3", payload_sha256: "",
    created_at_ms: 1, updated_at_ms: 1, error_code: "", error_message: "" } }));
  const c = client(browser);
  const seen = [];
  const job = await c.waitForJob("j", { pollMs: 10, onUpdate: (j) => seen.push(j.state) });
  c.close();
  assert.equal(job.state, "COMPLETED");
  assert.deepEqual(seen, ["SUBMITTED", "OBSERVED", "COMPLETED"]);
});

test("intent ids: stable per business key, distinct across keys, random for reprints", async () => {
  const a = await intentIdFor("order", 1001, 1);
  assert.equal(a, await intentIdFor("order", 1001, 1));
  assert.match(a, /^k1-[0-9a-f]{64}$/);
  assert.notEqual(a, await intentIdFor("order", 1001, 2));
  assert.notEqual(await intentIdFor("ab", "c"), await intentIdFor("a", "bc"));
  assert.notEqual(await intentIdFor("1"), await intentIdFor(1));
  assert.match(reprintIntentId(), /^r1-[0-9a-f]{32}$/);
  assert.notEqual(reprintIntentId(), reprintIntentId());
});

test("a label PNG holds the pixels flattened onto white at their physical size", async () => {
  assert.deepEqual(labelPixelSize({ width: 4, height: 6, dpi: 203 }), { widthPx: 812, heightPx: 1218 });
  assert.deepEqual(labelPixelSize({ width: 100, height: 150, unit: "mm", dpi: 300 }), { widthPx: 1181, heightPx: 1772 });
  // Pixels: opaque red, transparent black, half-transparent black.
  const data = new Uint8Array([255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 128]);
  const png = await encodeLabelPng({ width: 3, height: 1, data }, 203);
  const chunks = {};
  for (let at = 8; at < png.length;) {
    const length = new DataView(png.buffer, png.byteOffset + at).getUint32(0);
    chunks[String.fromCharCode(...png.subarray(at + 4, at + 8))] = png.subarray(at + 8, at + 8 + length);
    at += 12 + length;
  }
  assert.deepEqual([...chunks.IHDR], [0, 0, 0, 3, 0, 0, 0, 1, 8, 2, 0, 0, 0]);
  assert.equal(new DataView(chunks.pHYs.buffer, chunks.pHYs.byteOffset).getUint32(0), 7992); // 203 dpi
  assert.deepEqual([...inflateSync(chunks.IDAT)], [0, 255, 0, 0, 255, 255, 255, 127, 127, 127]);
});

const ZEBRA = {
  color: false, default_media: "na_index-4x6_4x6in", default_resolution: { x_dpi: 203, y_dpi: 203 }, enabled: true,
  is_default: true, media: [
    { height_um: 152400, name: "na_index-4x6_4x6in", width_um: 101600,
      printable_area: { height_um: 152400, width_um: 101600, x_um: 0, y_um: 0 } },
    { height_um: 31750, name: "custom_2.25x1.25in", printable_area: null, width_um: 57150 }],
  media_ready: ["na_index-4x6_4x6in"], media_truncated: false, name: "Zebra", resolutions: [{ x_dpi: 203, y_dpi: 203 }],
  state: "idle", uri: "winspool",
  custom_range: { min_width_um: 25400, max_width_um: 104000, min_height_um: 12700, max_height_um: 990600 } };

test("getPrinter: the answer in camelCase, read with the reads' retries", async () => {
  const browser = new FakeBrowser("chromium", scripted([{ error: "BRIDGE_BUSY" }, { result: ZEBRA }]));
  const c = client(browser);
  const printer = await c.getPrinter("Zebra");
  c.close();
  assert.deepEqual(browser.requests.map((r) => [r.type, r.payload]), Array(2).fill(["get_printer", { printer: "Zebra" }]));
  assert.deepEqual(printer, {
    name: "Zebra", state: "idle", enabled: true, uri: "winspool", isDefault: true, color: false,
    resolutions: [{ xDpi: 203, yDpi: 203 }], defaultResolution: { xDpi: 203, yDpi: 203 },
    media: [{ name: "na_index-4x6_4x6in", widthUm: 101600, heightUm: 152400,
              printableArea: { xUm: 0, yUm: 0, widthUm: 101600, heightUm: 152400 } },
            { name: "custom_2.25x1.25in", widthUm: 57150, heightUm: 31750, printableArea: null }],
    defaultMedia: "na_index-4x6_4x6in", mediaReady: ["na_index-4x6_4x6in"], mediaTruncated: false,
    raw: null, customRange: { minWidthUm: 25400, maxWidthUm: 104000, minHeightUm: 12700, maxHeightUm: 990600 } });
});

test("a ZPL or EPL label goes as its bytes, refused before sending where the host would refuse it", async () => {
  const browser = new FakeBrowser("chromium", scripted([{ result: { ...SUBMITTED, geometry: "checked" } }]));
  const c = client(browser);
  const ZPL = { intentId: "order-1", printer: "Zebra", dpi: 203, copies: 1, title: "Order 1",
                format: "zpl", data: "^XA^PW812^LL1218^FDx^FS^XZ" };
  assert.equal((await c.submit(ZPL)).geometry, "checked");
  assert.deepEqual(browser.requests[0].payload.payload,
                   { format: "zpl", base64: Buffer.from(ZPL.data).toString("base64") });
  const refused = [
    [{ data: "^XA^JUS^XZ" }, "data"],
    [{ data: "^XA^CC+\n+JUF+XZ" }, "data"],              // a changed prefix is followed
    [{ data: "^XA^FDprice ~JR^FS^XZ" }, "data"],           // field data hides no command
    [{ data: "^XA^DFE:FORM.ZPL^FS^XZ" }, "data"],          // stored beyond the job
    [{ format: "epl", data: "^default\nP1\n" }, "data"],
    [{ data: "" }, "data"],
    [{ data: 7 }, "data"],
    [{ printerSettings: "yes" }, "printerSettings"],
    [{ format: "pdf" }, "format"],
  ];
  for (const [change, argument] of refused) {
    const { error } = await outcome(c.submit({ ...ZPL, intentId: "order-2", ...change }));
    assert.deepEqual([error.code, error.argument], ["INVALID_ARGUMENT", argument], JSON.stringify(change));
  }
  assert.equal(browser.requests.length, 1);
  // What the host lets through: memory for the job, binary graphic data, a caller's allowance.
  for (const change of [{ data: "~DGR:L.GRF,2,1,FFFF^XA^XGR:L.GRF^XZ" },
                        { data: new Uint8Array([...Buffer.from("^XA^GFB,4,4,1,"), 0x5e, 0x4a, 0x55, 0x53, ...Buffer.from("^XZ")]) },
                        { data: "^XA^JUS^XZ", printerSettings: "allow" },
                        { format: "epl", data: 'N\nA5,5,0,1,1,1,N,"^default"\nP1\n' }]) {
    assert.equal((await outcome(c.submit({ ...ZPL, intentId: "order-3", ...change }))).error, undefined,
                 JSON.stringify(change));
  }
  assert.equal(browser.requests.at(-2).payload.printer_settings, "allow");
  c.close();
});

test("printLabels with ZPL: one format a wave, the opt-in shared, each label's geometry; refused by a host without raw batches", async () => {
  const zpl = (n, extra = "") => ({ intentId: `z-${n}`, format: "zpl", data: `^XA${extra}^FD${n}^FS^XZ` });
  const printed = (request, port) => port.answer(request, { result: { results: request.payload.labels.map((l) => (
    { ok: true, result: { ...SUBMITTED, intent_id: l.intent_id, geometry: "undeclared" } })) } });
  const browser = new FakeBrowser("chromium", scripted([
    printed, printed, { result: { ...HELLO, version: "1.2.0", capabilities: ["submit_batch", "submit_raw"] } },
  ]));
  const c = client(browser);
  await assert.rejects(c.printLabels("Zebra", [zpl(1), { ...JOB, intentId: "p-1" }], { dpi: 203, title: "W" }),
                       { code: "INVALID_ARGUMENT" });
  const outcomes = await c.printLabels("Zebra", [zpl(1), zpl(2, "^JUS")], { dpi: 203, title: "W" });
  assert.deepEqual(outcomes.map((o) => [o.verdict, o.geometry ?? o.error.code]),
                   [["printed", "undeclared"], ["not printed", "INVALID_ARGUMENT"]]);
  await c.printLabels("Zebra", [zpl(2, "^JUS")], { dpi: 203, title: "W", printerSettings: "allow" });
  assert.deepEqual(browser.requests.map((r) => [r.payload.printer_settings, r.payload.labels.map((l) => l.payload.format)]),
                   [[undefined, ["zpl"]], ["allow", ["zpl"]]]);
  await c.hello();
  await assert.rejects(c.printLabels("Zebra", [zpl(3)], { dpi: 203, title: "W" }), { code: "UNSUPPORTED" });
  c.close();
});

test("a host before 1.1.0 is UNSUPPORTED for getPrinter and media, before sending once its hello is known", async () => {
  const browser = new FakeBrowser("chromium", scripted([{ error: "UNKNOWN_MESSAGE" }, { result: HELLO }]));
  const c = client(browser);
  // Not yet known: the host's UNKNOWN_MESSAGE says it.
  const unknown = (await outcome(c.getPrinter("Zebra"))).error;
  await c.hello();
  const known = await Promise.all([c.getPrinter("Zebra"), c.submit(JOB)].map(outcome));
  c.close();
  assert.deepEqual([unknown, ...known.map((o) => o.error)].map((e) => [e.code, e.source, e.mayHavePrinted, e.action]),
                   Array(3).fill(["UNSUPPORTED", "client", "no", "never"]));
  assert.deepEqual(browser.typesSent(), ["get_printer", "hello"]);
});

test("pickMedia: the label's size first, else the smallest that holds it within the fit rule", async (t) => {
  const media = (name, widthUm, heightUm, printableArea = null) => ({ name, widthUm, heightUm, printableArea });
  const area = (widthUm, heightUm) => ({ xUm: 0, yUm: 0, widthUm, heightUm });
  const LETTER = media("na_letter_8.5x11in", 215900, 279400, area(203200, 266700));
  const A6 = media("iso_a6_105x148mm", 105000, 148000, area(101000, 144000));
  const FOUR_BY_SIX = media("na_index-4x6_4x6in", 101600, 152400, area(101600, 152400));
  const SMALLER = media("custom_3.5x5.5in", 88900, 139700); // holds a 4x6 shrunk to 88 %
  const rows = [
    ["exact size before a smaller one that holds it", [LETTER, SMALLER, FOUR_BY_SIX], { widthIn: 4, heightIn: 6 }, FOUR_BY_SIX],
    ["exact within half a millimetre, in millimetres", [SMALLER, media("custom_101.9x152mm", 101900, 152000)],
     { widthMm: 101.6, heightMm: 152.4 }, "custom_101.9x152mm"],
    ["the smallest that holds it, shrunk within a quarter", [LETTER, A6], { widthIn: 4, heightIn: 6 }, A6],
    ["the printable area decides, not the whole size", [A6, LETTER],
     { widthIn: 5, heightIn: 7.7 }, LETTER],
    ["too small for any", [A6, media("custom_2x1in", 50800, 25400)], { widthIn: 8.5, heightIn: 14 }, null],
    ["turned paper is not the label's size and cannot hold it", [media("custom_6x4in", 152400, 101600)],
     { widthIn: 4, heightIn: 6 }, null],
    ["unknown printable area: the whole size", [media("custom_3x4.5in", 76200, 114300)], { widthIn: 4, heightIn: 6 },
     "custom_3x4.5in"],
    ["between equal sizes, the loaded one", [media("na_index-4x6_4x6in", 101600, 152400), media("oe_4x6-label_4x6in", 101600, 152400)],
     { widthIn: 4, heightIn: 6 }, "oe_4x6-label_4x6in"],
  ];
  for (const [name, offered, label, expected] of rows) {
    await t.test(name, () => {
      const picked = pickMedia({ media: offered, defaultMedia: "na_index-4x6_4x6in", mediaReady: ["oe_4x6-label_4x6in"] }, label);
      assert.equal(picked?.name ?? null, typeof expected === "string" || expected === null ? expected : expected.name);
    });
  }
  assert.throws(() => pickMedia({ media: [], defaultMedia: "", mediaReady: [] }, { widthIn: 4 }), { argument: "label" });
});

test("printLabels: split by the request limit, resent with the same intents, one sticky outcome per label", async () => {
  const wave = Array.from({ length: 503 }, (_, i) => ({ intentId: `wave-${i}`, png: PNG, widthPx: 16, heightPx: 16 }));
  wave[2] = { ...wave[2], copies: 11 };
  const ok = (label, duplicate) => ({ ok: true, result: { ...SUBMITTED, intent_id: label.intent_id, duplicate } });
  const err = (code) => ({ ok: false, error: { code, message: code } });
  // Request 1 (500 labels): the answer is lost. Request 2 (the 2 labels after them). Request 3,
  // the 500 again: label 0 answered from the ledger, 1 UNKNOWN_OUTCOME, 3 busy, the rest new.
  // Request 4: label 3 alone, refused for certain; it may still have printed by request 1.
  const browser = new FakeBrowser("chromium", scripted([
    { close: CHROMIUM.exited },
    (request, port) => port.answer(request, { result: { results: request.payload.labels.map((l) => ok(l, false)) } }),
    (request, port) => port.answer(request, { result: { results: request.payload.labels.map((l, i) =>
      i === 0 ? ok(l, true) : i === 1 ? err("UNKNOWN_OUTCOME") : i === 2 ? err("BRIDGE_BUSY") : ok(l, false)) } }),
    { result: { results: [err("SUBMISSION_REJECTED")] } },
  ]));
  const c = client(browser);
  const outcomes = await c.printLabels("Zebra", wave, { dpi: 203, title: "Wave" });
  assert.deepEqual(browser.requests.map((r) => r.payload.labels.length), [500, 2, 500, 1]);
  assert.deepEqual(browser.requests[2].payload.labels.map((l) => l.intent_id),
                   browser.requests[0].payload.labels.map((l) => l.intent_id));
  assert.equal(browser.requests[0].payload.labels[2].intent_id, "wave-3");
  assert.deepEqual(outcomes.slice(0, 5).map((o) => [o.verdict, o.error?.code ?? o.duplicate]),
                   [["printed", true], ["may have printed", "UNKNOWN_OUTCOME"], ["not printed", "INVALID_ARGUMENT"],
                    ["may have printed", "SUBMISSION_REJECTED"], ["printed", false]]);
  assert.equal(outcomes.length, 503);
  assert.ok(outcomes.every((o, i) => o.intentId === `wave-${i}`));
  c.close();
});
