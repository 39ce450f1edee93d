#!/bin/sh
# Unpacks the client package that `bash scripts/build` packed (build/dist/) into
# print-client/, where print.js imports it from.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
package="$(ls "$here"/../../build/dist/vantrel-print-client-*.tgz | tail -n 1)"
rm -rf "$here/print-client"
mkdir "$here/print-client"
tar -xzf "$package" -C "$here/print-client" --strip-components=1
echo "unpacked $(basename "$package") into print-client/"
