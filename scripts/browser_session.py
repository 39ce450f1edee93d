#!/usr/bin/env python3
"""The demo session from a real browser: headless Chromium with the test extension
(tests/browser/extension) talks to the Wine-run host through chrome.runtime.connectNative
(one port, one host process) and sendNativeMessage (one host process per message), with the
host registered for that Chromium profile as on a user's machine. Every message and answer
is shown as the extension saw it.

    python3 scripts/browser_session.py
"""

import json
import sys
from pathlib import Path


from rig.browser import (QUEUE, BrowserRig, label_payload, missing_prerequisites,
                         padded_hello, request)
from rig.protocol import MAX_MESSAGE_LEN, shorten
from rig.wine import WinePrefix


def show(prefix: str, value):
    print(f"{prefix} {json.dumps(shorten(value), ensure_ascii=False, separators=(',', ':'))}")


def demo(rig: BrowserRig):
    print(f"{rig.browser.version}, headless, profile {rig.browser.user_data_dir}")
    print(f"test extension {rig.extension_id}; host manifest "
          f"{rig.registration.manifest_path}:\n{rig.registration.manifest_text}")
    print(f"the manifest's path, {rig.registration.wrapper}, starts the host under wine:")
    print(rig.registration.wrapper.read_text().rstrip().splitlines()[-1])
    submit = label_payload("demo-browser-1", "Demo browser label")
    messages = [request("hello", "b1"), request("list_printers", "b2"),
                request("submit", "b3", submit), request("submit", "b4", submit),
                request("get_job", "b5", {"intent_id": "demo-browser-1"}),
                request("print_test_page", "b6"), {"protocol": 1, "request_id": "b7"}]
    print("\n-- chrome.runtime.connectNative: one port, one host process")
    for message in messages:
        show(">>>", message)
    outcome = rig.port_session(messages)
    for answer in outcome["answers"]:
        show("<<<", answer)
    print(f"   port {outcome['ended']} after {outcome['elapsedMs']} ms")
    print("\n-- chrome.runtime.sendNativeMessage: one host process per message")
    for message in (request("hello", "b8"), request("get_job", "b9", {"intent_id": "demo-browser-1"})):
        show(">>>", message)
        result = rig.one_shot(message)
        show("<<<", result.get("answer", result))
    print("\n-- a request above the host's 8 MiB limit ends the host")
    big = padded_hello("b10", MAX_MESSAGE_LEN + 1)
    show(">>>", big)
    outcome = rig.port_session([big])
    print(f"   port {outcome['ended']}: {outcome['error']!r}")
    starts = rig.registration.starts()
    print(f"\nthe browser started the host {len(starts)} times, each with the "
          f"arguments {sorted({' '.join(a) for _, a in starts})}")
    printed = rig.cups.wait_for_documents(1)
    print(f"documents printed on {QUEUE}: {len(printed)}")


def main() -> int:
    missing = missing_prerequisites()
    if missing:
        print("missing: " + ", ".join(missing))
        return 1
    print("creating a private Wine prefix (about 10 s)...")
    with WinePrefix() as prefix:
        rig = BrowserRig(prefix)
        try:
            demo(rig)
        finally:
            rig.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
