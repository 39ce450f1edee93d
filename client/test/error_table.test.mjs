// The error tables of docs/protocol.md section 4 are the library's: every code's verdict and
// action there must be what PrintHostError says, and every code the library knows must be there.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";

import { PrintHostError } from "../dist/index.js";
import { CONFLICT_VERDICTS, VERDICTS } from "../dist/errors.js";

const DOC = readFileSync(new URL("../../docs/protocol.md", import.meta.url), "utf8");
const SECTION = DOC.slice(DOC.indexOf("## 4. Error codes"), DOC.indexOf("## 5. "));

/** The rows (header left out) of the table under each "###" heading of the section, as trimmed cells. */
function tables() {
  const found = {};
  let heading = "";
  for (const line of SECTION.split("\n")) {
    if (line.startsWith("### ")) heading = line.slice(4);
    else if (line.startsWith("| ")) (found[heading] ??= []).push(line.split("|").slice(1, -1).map((c) => c.trim()));
  }
  for (const rows of Object.values(found)) rows.shift();
  return found;
}

/** A cell's word for reads and for submits: "reads: `a`; submit: `b`", or its first word of `vocabulary`. */
function said(cell, vocabulary) {
  const split = cell.match(/reads: `(\w+)`.*submit: `(\w+)`/);
  if (split) return { read: split[1], submit: split[2] };
  const word = [...cell.matchAll(/`(\w+)`/g)].map((m) => m[1]).find((w) => vocabulary.includes(w));
  return { read: word, submit: word };
}

const judged = (code, operation, storedState) =>
  new PrintHostError({ code, operation, message: "", storedState });

test("every code's verdict and action are the documented ones", () => {
  const { "Codes the host answers": host, "Codes the client library adds": client } = tables();
  const documented = [...host, ...client].map(([code]) => code.replace(/`/g, ""));
  assert.deepEqual(documented.toSorted(), Object.keys(VERDICTS).toSorted());
  for (const [cell, , printedCell, doCell] of [...host, ...client]) {
    const code = cell.replace(/`/g, "");
    const doc = said(doCell, ["retry", "reconcile", "never"]);
    // A conflict's verdict is by the stored state (below); without it, as a host up to 1.1.0 answers.
    const printed = printedCell.includes("stored_state") ? "maybe" : said(printedCell, ["no", "maybe", "yes"]).submit;
    const submit = judged(code, "submit");
    const read = judged(code, "get_job");
    if (!doCell.includes("stored_state")) {
      assert.deepEqual([submit.action, read.action], [doc.submit, doc.read], code);
    }
    assert.deepEqual([submit.mayHavePrinted, read.mayHavePrinted], [printed, "no"], code);
  }
});

test("an intent conflict's verdict by its stored state is the documented one", () => {
  const rows = tables()["An intent conflict"];
  const states = rows.flatMap(([cell]) => [...cell.matchAll(/`(\w+)`/g)].map((m) => m[1]));
  assert.deepEqual(states.toSorted(), Object.keys(CONFLICT_VERDICTS).toSorted());
  for (const [cell, , printedCell, doCell] of rows) {
    const expected = [said(printedCell, ["no", "maybe", "yes"]).submit, said(doCell, ["retry", "reconcile", "never"]).submit];
    const named = [...cell.matchAll(/`(\w+)`/g)].map((m) => m[1]);
    for (const state of named.length ? named : [undefined, "ARCHIVED"]) {
      const error = judged("INTENT_CONFLICT", "submit", state);
      assert.deepEqual([error.mayHavePrinted, error.action], expected, String(state));
    }
  }
});
