#!/usr/bin/env python3
"""Figures for the client library in headless Chromium against the Wine-run host:

- hello round trips per second on an open port, through the client and through a bare
  port.postMessage, alternating in the same run, and the client's added cost per round
  trip (also measured against an in-worker port that answers at once);
- the time from submit() to its answer for a new 4x6 in label at 203 dpi (each under a
  new intent id, printed on the private capture queue), and the time to draw and encode
  the label.

    python3 bench/browser_client.py [--round-trips N] [--submits N]

Needs the Windows build and the packed client (bash scripts/build) and Chromium."""

import argparse
import statistics
import sys
from pathlib import Path


from rig.browser import QUEUE, ClientRig, client_missing
from rig.wine import WinePrefix


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--round-trips", type=int, default=1000)
    parser.add_argument("--submits", type=int, default=5)
    args = parser.parse_args()

    absent = client_missing()
    if absent:
        sys.exit("missing: " + ", ".join(absent))

    with WinePrefix() as prefix:
        rig = ClientRig(prefix)
        try:
            print(rig.browser.version)
            n = args.round_trips
            ms = rig.browser.call("benchHello", n, timeout=600)
            bare, client = statistics.median(ms["bare"]), statistics.median(ms["client"])
            print(f"hello round trips on an open port, {n} each, alternating, median times:")
            print(f"  bare port.postMessage: {1000 / bare:8.1f} /s  ({bare:.3f} ms each)")
            print(f"  client.hello():        {1000 / client:8.1f} /s  ({client:.3f} ms each)")
            mean_bare, mean_client = statistics.mean(ms["bare"]), statistics.mean(ms["client"])
            # The worker's clock ticks in 0.1 ms: the means show what the medians round away.
            print(f"  means: bare {mean_bare:.3f} ms, client {mean_client:.3f} ms, "
                  f"difference {mean_client - mean_bare:+.3f} ms ({(mean_client / mean_bare - 1) * 100:+.1f} %)")
            cost = rig.browser.call("benchClientCost", n * 10, timeout=600)
            own = statistics.mean(cost["client"]) - statistics.mean(cost["bare"])
            print(f"  the client's own cost, against an in-worker port that answers at once: "
                  f"{own * 1000:.1f} us a call = {own / bare * 100:.2f} % of the bare round trip")
            figures = rig.browser.call("benchSubmit", args.submits, QUEUE, timeout=600)
            times = figures["submitMs"]
            print(f"4x6 in label at 203 dpi (812 x 1218 px, PNG {figures['pngBytes']} bytes): "
                  f"drawn and encoded in {figures['labelMs']:.1f} ms")
            print(f"  submit() to answer, {len(times)} new labels: median {statistics.median(times):.1f} ms, "
                  f"min {min(times):.1f} ms, max {max(times):.1f} ms")
            printed = rig.cups.wait_for_documents(len(times))
            print(f"  documents captured by the queue: {len(printed)}")
        finally:
            rig.close()


if __name__ == "__main__":
    main()
