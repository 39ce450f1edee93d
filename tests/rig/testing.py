"""unittest support: the base classes of the Wine-run host's tests, the rule that a missing
build skips a test (exit 77 for ctest) except where the tests are required, and main()."""

from __future__ import annotations

import argparse
import os
import sys
import unittest
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from rig.browser import packed_client
from rig.chromium import chromium_executable
from rig.cups import CupsScheduler
from rig.firefox import firefox_executable
from rig.host import HostProcess, HostResult
from rig.programs import CUPSD, GHOSTSCRIPT, LPADMIN, missing_prerequisites
from rig.wine import WinePrefix, shared_prefix

SKIP_EXIT_CODE = 77  # ctest's SKIP_RETURN_CODE for the e2e tests


def e2e_required() -> bool:
    return bool(os.environ.get("VANTREL_E2E_REQUIRED") or os.environ.get("CI"))


def skip_or_fail(missing: list[str], what: str = "missing: "):
    """For setUpClass: skips the class when something is missing, or fails where the
    end-to-end tests are required."""
    if missing:
        message = what + ", ".join(missing)
        if e2e_required():
            raise RuntimeError(message)
        raise unittest.SkipTest(message)


def exit_if_missing(missing: list[str], what: str = "missing: "):
    """For a script: with something missing, exits 77 (skipped), or 1 where the tests are
    required."""
    if missing:
        print(what + ", ".join(missing), flush=True)
        sys.exit(1 if e2e_required() else SKIP_EXIT_CODE)


def main(missing: list[str] | None = None):
    """Runs the tests of the calling module (verbose), as `python3 test_x.py` or from ctest.
    With something missing (by default: the Windows build or Wine) the whole file is
    skipped, or fails where the build is required."""
    if missing is None:
        exit_if_missing(missing_prerequisites(), "the Windows build is missing: ")
    else:
        exit_if_missing(missing)
    unittest.main(module="__main__", verbosity=2)


# ---- scripts given a built file: the Linux host, its packages, the CUPS probe


@dataclass(frozen=True)
class Prerequisite:
    """Something a script's tests need beside its built file: whether it is here, and what to
    install when it is not."""

    present: Callable[[], object]
    missing: str


CUPSD_NEEDED = Prerequisite(lambda: CUPSD, "cupsd (apt-get install cups-daemon)")
LPADMIN_NEEDED = Prerequisite(lambda: LPADMIN, "lpadmin (apt-get install cups-client)")
GHOSTSCRIPT_NEEDED = Prerequisite(lambda: GHOSTSCRIPT, "gs (apt-get install ghostscript)")
CHROMIUM_NEEDED = Prerequisite(chromium_executable, "Chromium (apt-get install chromium)")
FIREFOX_NEEDED = Prerequisite(firefox_executable, "firefox-esr (apt-get install firefox-esr)")
CLIENT_NEEDED = Prerequisite(
    packed_client, "build/dist/vantrel-print-client-*.tgz (run: bash scripts/build-client)")


def built_file_argument(option: str) -> tuple[Path, list[str]]:
    """The built file a script is given as `option` (--host, --archive, --deb, --probe),
    resolved, and the arguments left for unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument(option, required=True)
    args, rest = parser.parse_known_args()
    return Path(getattr(args, option.lstrip("-"))).resolve(), rest


def run_script(rest: list[str], built: Path, *needs: Prerequisite):
    """Runs the calling script's tests with the arguments left, unless the built file or one of
    `needs` is missing (then as exit_if_missing)."""
    missing = [] if built.is_file() else [f"{built} (run: bash scripts/build)"]
    exit_if_missing(missing + [need.missing for need in needs if not need.present()])
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


# ---- tests of the client library: what its calls resolve to


class ClientOutcomes:
    """For tests of the client library, whose calls resolve to {ok, value} or {ok, error}."""

    def ok(self, outcome: dict):
        self.assertTrue(outcome["ok"], outcome)
        return outcome["value"]

    def failed(self, outcome: dict) -> dict:
        self.assertFalse(outcome["ok"], outcome)
        return outcome["error"]


class HostTestCase(unittest.TestCase):
    """Tests of the Wine-run host. The prefix is shared by the whole test process; the
    host's state folder is removed before every test."""

    prefix: WinePrefix

    @classmethod
    def setUpClass(cls):
        skip_or_fail(missing_prerequisites(), "the Windows build is missing: ")
        cls.prefix = shared_prefix()

    def setUp(self):
        self.prefix.reset_state()

    def start_host(self, **kwargs) -> HostProcess:
        host = self.prefix.start_host(**kwargs)
        self.addCleanup(host.close)
        return host

    def run_host(self, data: bytes, **kwargs) -> HostResult:
        return self.prefix.run_host(data, **kwargs)


class PrintingTestCase(HostTestCase):
    """Tests of the Wine-run host that print: one private CUPS scheduler for the class, with
    the capture queues of QUEUES ((name, ppd) pairs; the first is the default) and those of
    REJECTING_QUEUES set to refuse jobs. Every test starts with no captured documents."""

    QUEUES: tuple[tuple[str, str], ...] = ()
    REJECTING_QUEUES: tuple[str, ...] = ()
    cups: CupsScheduler

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        for index, (name, ppd) in enumerate(cls.QUEUES):
            cls.cups.add_queue(name, ppd, default=index == 0)
        for name in cls.REJECTING_QUEUES:
            cls.cups.reject(name)

    def setUp(self):
        super().setUp()
        self.cups.clear_captured()
