// Labels in a printer language (ZPL, EPL), sent to the printer unchanged. The host refuses,
// for good, a label carrying a command that changes the printer beyond the job; this is the
// host's own reading of the label (src/domain/submit/raw_label.cpp), so that the client
// refuses the same labels before anything is sent.

export type RawFormat = "zpl" | "epl";

/** The commands that change the printer beyond the job, as the languages' guides write them:
 *  ZPL by prefix and two letters ("store" ones only when their object leaves the job's memory,
 *  R:), EPL by how the line begins. */
const ZPL_ALWAYS = new Set([
  "^JU", "~JR", "~RO", "^JB", "~JB", "^CM", "~JC", "~JG", "~JL", "^SS", "^SR", "^KN", "^KP",
  "^KL", "^KC", "^MP", "^ST", "^SL", "^SC", "^NB", "^NC", "^ND", "^NI", "^NN", "^NP", "^NS",
  "^NT", "^NW", "~NR", "^WA", "^WE", "^WI", "^WL", "^WP", "^WR", "^WS", "^WX", "~WR", "^JI",
  "~JI",
]);
const ZPL_OUTSIDE_JOB_MEMORY = new Set(["~DY", "~DG", "~DB", "~DT", "~DU", "~DS", "^DF", "^IS", "^ID", "^TO"]);
const EPL_COMMANDS = ["^default", "AUTOFR", "^@", "xa", "TS", "FS", "FK", "GM", "GK", "ES", "EK", "Y"];

/** The first command of the label that changes the printer beyond the job ("^JUS", "~JR",
 *  "^default"), or null. */
export function settingsCommand(format: RawFormat, bytes: Uint8Array): string | null {
  return format === "epl" ? eplSettings(bytes) : zplSettings(bytes);
}

function text(bytes: Uint8Array, from: number, to: number): string {
  let out = "";
  for (let i = from; i < to && i < bytes.length; i++) out += String.fromCharCode(bytes[i]);
  return out;
}

function leadingNumber(s: string): number | null {
  const match = /^ *(\d*)(?:\.(\d*))?/.exec(s);
  if (!match || (match[1] === "" && (match[2] ?? "") === "")) return null;
  return Math.min(Number(`${match[1] || "0"}.${match[2] || "0"}`), 1e9);
}

function setGetDo(s: string): string | null {
  const match = /^! *[Uu]1? +(setvar|do)[ "]/i.exec(s);
  return match ? `! U1 ${match[1].toLowerCase()}` : null;
}

function zplSettings(bytes: Uint8Array): string | null {
  let caret = 0x5e;
  let tilde = 0x7e;
  let delimiter = ",";
  const paramsEnd = (from: number) => {
    let i = from;
    while (i < bytes.length && bytes[i] !== caret && bytes[i] !== tilde) i++;
    return i;
  };
  const field = (params: string, n: number) => params.split(delimiter)[n] ?? "";
  // Binary data after the `delimiters`-th delimiter, its length the parameter at `countField`.
  const skipBinary = (params: number, delimiters: number, countField: number) => {
    let i = params;
    let seen = 0;
    while (i < bytes.length && seen < delimiters) {
      if (bytes[i] === caret || bytes[i] === tilde) return i;
      if (String.fromCharCode(bytes[i]) === delimiter) seen++;
      i++;
    }
    const count = leadingNumber(field(text(bytes, params, i), countField));
    return count === null ? i : Math.min(bytes.length, i + Math.floor(count));
  };
  let at = 0;
  while (at < bytes.length) {
    const c = bytes[at];
    if (c !== caret && c !== tilde) {
      if (c === 0x21) {
        const found = setGetDo(text(bytes, at, at + 64));
        if (found) return found;
      }
      at++;
      continue;
    }
    const name = (c === caret ? "^" : "~") + text(bytes, at + 1, at + 3).toUpperCase();
    const params = Math.min(at + 3, bytes.length);
    if (name.length < 3) return null;
    if (/^[\^~]C[CTD]$/.test(name)) {
      if (params >= bytes.length) return null;
      if (name[2] === "C") caret = bytes[params];
      if (name[2] === "T") tilde = bytes[params];
      if (name[2] === "D") delimiter = String.fromCharCode(bytes[params]);
      at = params + 1;
      continue;
    }
    const end = paramsEnd(params);
    const parameters = text(bytes, params, end);
    if (ZPL_ALWAYS.has(name)) return name === "^JU" && parameters ? name + parameters[0].toUpperCase() : name;
    if (ZPL_OUTSIDE_JOB_MEMORY.has(name)) {
      const first = field(parameters, 0);
      const colon = first.indexOf(":");
      if (colon >= 1 && first[colon - 1].toUpperCase() !== "R") {
        return `${name} ${first[colon - 1].toUpperCase()}:`;
      }
    }
    if (name === "^GF" && /^[BC]/i.test(parameters)) {
      at = skipBinary(params, 4, 1);
    } else if (name === "~DY" && !/^A?$/i.test(field(parameters, 1).slice(0, 1))) {
      at = skipBinary(params, 5, 3);
    } else {
      at = end;
    }
  }
  return null;
}

function eplSettings(bytes: Uint8Array): string | null {
  let at = 0;
  while (at < bytes.length) {
    let end = bytes.indexOf(0x0a, at);
    if (end < 0) end = bytes.length;
    let line = text(bytes, at, end);
    if (line.endsWith("\r")) line = line.slice(0, -1);
    let next = end + 1;
    const found = EPL_COMMANDS.find((command) => line.startsWith(command)) ?? (line.startsWith("!") ? setGetDo(line) : null);
    if (found) return found;
    if (line.startsWith("GW")) {
      // The fourth comma is on the command's own line.
      let data = 0;
      for (let commas = 0; data < line.length && commas < 4; data++) if (line[data] === ",") commas++;
      const parts = line.slice(2).split(",");
      const rowBytes = leadingNumber(parts[2] ?? "");
      const rows = leadingNumber(parts[3] ?? "");
      data += at;
      if (rowBytes !== null && rows !== null && parts.length >= 5) {
        const after = Math.min(bytes.length, data + Math.floor(Math.min(rowBytes * rows, 1e9)));
        const lineEnd = bytes.indexOf(0x0a, after);
        next = lineEnd < 0 ? bytes.length : lineEnd + 1;
      }
    }
    at = next;
  }
  return null;
}
