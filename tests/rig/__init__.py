"""Rig for the end-to-end tests, browser tests, benchmarks and demos of the Wine-run host
(Python 3 standard library only).

- programs: where Wine, CUPS, Ghostscript and the Windows build are
- cleanup: everything the rig starts is stopped at exit, also after SIGTERM
- wine: private Wine prefixes with their services kept alive, and the state folder in them
- host: one host process spoken to in frames on its standard streams
- protocol: frames, envelopes and one builder per request type
- ledger: ledger records and files as the host writes them, and the ledger lock held from Linux
- cups: private CUPS schedulers whose queues capture every printed document
- images: PNG writing, PNM reading, Ghostscript pictures of printed pages
- labels: the label pictures that tests, benchmarks and demos print
- testing: unittest base classes, the skip-or-fail rule and main()
- figures: benchmark helpers (hosts side by side)
- chromium, registration, browser: headless Chromium with a test extension and the host
  registered for its profile
- msi: the MSI packages under Wine

Wine and CUPS: Wine copies the scheduler's queues into its registry when a process loads
winspool, and skips that while any process that loaded it lives (the rig's long-lived
helper never does). So a queue added or removed while a host runs is seen by the next
host process only.

Environment:
  VANTREL_HOST_EXE        the Windows host (default: build/windows/vantrel-print-host.exe)
  VANTREL_WINE_HELPER     the rig's helper program (default: next to the host)
  VANTREL_E2E_TEMPLATE    a prefix template made by `python3 -m rig make-template DIR`
  VANTREL_E2E_REQUIRED    when set (or CI is set), a missing build fails instead of skipping
"""
