#!/bin/sh
# Unpacks the client package that `bash scripts/build` (or `bash scripts/build-client`)
# packed into build/dist/ as print-client/, where print.js imports it from. Nothing is
# changed unless the package is there and unpacks whole.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
dist="$here/../../build/dist"
package=""
for candidate in "$dist"/vantrel-print-client-*.tgz; do
  [ -f "$candidate" ] && package="$candidate"
done
if [ -z "$package" ]; then
  echo "setup.sh: no client package in build/dist; build it first, from the repository's root:" >&2
  echo "  bash scripts/build-client      (or all of it: bash scripts/build)" >&2
  exit 1
fi
unpacked="$(mktemp -d "$here/.print-client.XXXXXX")"
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "$package" -C "$unpacked" --strip-components=1
rm -rf "$here/print-client"
mv "$unpacked" "$here/print-client"
echo "unpacked $(basename "$package") into $here/print-client/"
# pdf.js for PDF labels (pdf-label.js), as the client's npm install has it: its module, its
# worker, its standard fonts and its image decoders, where the client looks for them by default.
pdfjs="$here/../../client/node_modules/pdfjs-dist"
if [ -d "$pdfjs/build" ]; then
  rm -rf "$here/pdfjs"
  mkdir -p "$here/pdfjs"
  cp "$pdfjs/build/pdf.min.mjs" "$pdfjs/build/pdf.worker.min.mjs" "$here/pdfjs/"
  cp -R "$pdfjs/standard_fonts" "$pdfjs/wasm" "$here/pdfjs/"
  echo "copied pdf.js into $here/pdfjs/"
else
  echo "setup.sh: no pdf.js (client/node_modules/pdfjs-dist): PDF labels cannot print until" \
       "bash scripts/build-client has installed it and setup.sh runs again" >&2
fi
