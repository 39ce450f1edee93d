// Intent ids decide what the host's ledger treats as one label. A retry must reuse the
// id of the label it retries, also after the service worker was stopped and restarted,
// so the id is derived from what the caller already stores (an order number and a label
// index); only a deliberate reprint gets a new, random one.

import { invalidArgument } from "./errors.js";

/** Web Crypto: a global in every extension context, but in Node.js only from version 19
 *  on; where it is missing, say so rather than fail with a ReferenceError. */
function webCrypto(): Crypto {
  const found = (globalThis as { crypto?: Crypto }).crypto;
  if (!found?.subtle) throw new TypeError("Intent ids need Web Crypto (globalThis.crypto), which this runtime lacks.");
  return found;
}

function hex(bytes: Uint8Array): string {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

/** The same business key always gives the same intent id ("k1-" and 64 hex digits).
 *  Parts are length-prefixed before hashing, so ("ab", "c") and ("a", "bc") differ. */
export async function intentIdFor(...keyParts: (string | number)[]): Promise<string> {
  if (keyParts.length === 0) {
    throw invalidArgument("submit", "keyParts", "must hold at least one part.");
  }
  let text = "";
  for (const part of keyParts) {
    if (typeof part !== "string" && !(typeof part === "number" && Number.isFinite(part))) {
      throw invalidArgument("submit", "keyParts", "must be strings or finite numbers.");
    }
    const value = `${typeof part}:${part}`;
    text += `${value.length}:${value};`;
  }
  const digest = await webCrypto().subtle.digest("SHA-256", new TextEncoder().encode(text));
  return "k1-" + hex(new Uint8Array(digest));
}

/** A fresh intent id for a deliberate reprint ("r1-" and 32 random hex digits). */
export function reprintIntentId(): string {
  return "r1-" + hex(webCrypto().getRandomValues(new Uint8Array(16)));
}
