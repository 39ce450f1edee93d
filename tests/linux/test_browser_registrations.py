#!/usr/bin/env python3
"""The doctor's verdict is each browser's: one table of manifests and folders, each case
loaded in Debian's Chromium and firefox-esr (headless, one start each for the whole table;
both read the manifests anew at every connection), the test extension's hello sent, and
whether it reached the host compared with what `--doctor --json` says of that browser (its
registration and the start of the program it names). The browsers' system folders are
private to this test: it runs in a mount namespace of its own, with temporary folders bound
over /etc/chromium and /usr/lib/mozilla.

    python3 tests/linux/test_browser_registrations.py --host build/linux/vantrel-print-host

Prints the table. Exits 77 (skipped) without root, unshare, Chromium or firefox-esr, unless CI
or VANTREL_E2E_REQUIRED is set.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass, field
from pathlib import Path

from rig import testing
from rig.chromium import ChromiumBrowser
from rig.firefox import FirefoxBrowser
from rig.programs import REPO_ROOT
from rig.registration import EXTENSION_DIR, TEST_FIREFOX_ID, TEST_ORIGIN

HOST = None
NAME = "com.vantrel.print"
ID = TEST_ORIGIN[len("chrome-extension://"):-1]
HELLO = {"protocol": 1, "request_id": "table", "type": "hello"}
NAMESPACE_MARK = "VANTREL_PRIVATE_MOUNTS"
SYSTEM_PARENTS = {"chromium-system": Path("/etc/chromium"), "firefox-system": Path("/usr/lib/mozilla")}


def manifest(firefox: bool, program: str = "HOST", allowed: list[str] | None = None,
             **members) -> str:
    """A manifest of the browser's form; a member given as None is left out."""
    key = "allowed_extensions" if firefox else "allowed_origins"
    value = {"name": NAME, "description": "Vantrel print host", "path": program, "type": "stdio",
             key: allowed if allowed is not None else [TEST_FIREFOX_ID if firefox else TEST_ORIGIN]}
    value.update(members)
    return json.dumps({k: v for k, v in value.items() if v is not None}, indent=2)


def both(place: str, **changes) -> dict[str, str]:
    """The same change to the manifests of both browsers, in their folders of `place`."""
    return {f"chromium-{place}": manifest(False, **changes), f"firefox-{place}": manifest(True, **changes)}


def with_comment(text: str) -> str:
    return text.replace("{\n", "{\n  // written by hand\n", 1)


@dataclass
class Case:
    name: str
    files: dict[str, str]          # place -> manifest text ("HOST" stands for the host's path)
    chromium: bool                 # whether Chromium's extension reaches the host
    firefox: bool
    profile: bool = False          # Chromium started with --user-data-dir elsewhere
    extra: dict[str, str] = field(default_factory=dict)


def cases() -> list[Case]:
    upper = f"chrome-extension://{ID.upper()}/"
    typo = ID[:-1] + ("b" if ID.endswith("a") else "a")
    return [
        Case("user install", both("user"), True, True),
        Case("Firefox id with +", {"chromium-user": manifest(False), "firefox-user": manifest(
            True, allowed=[TEST_FIREFOX_ID, "a+b@example.com"])}, True, False),
        Case("extra Firefox member", {"chromium-user": manifest(False), "firefox-user": manifest(
            True, allowed_origins=[TEST_ORIGIN])}, True, False),
        Case("\"comment\" member", both("user", comment="for the label printer"), True, False),
        Case("uppercase Chromium id", {"chromium-user": manifest(False, allowed=[upper]),
                                       "firefox-user": manifest(True)}, True, True),
        Case("trailing /*", {"chromium-user": manifest(False, allowed=[TEST_ORIGIN + "*"]),
                             "firefox-user": manifest(True)}, True, True),
        Case("extra invalid origin", {"chromium-user": manifest(
            False, allowed=["chrome-extension://not-an-extension-id/", TEST_ORIGIN]),
            "firefox-user": manifest(True)}, True, True),
        Case("origin without its /", {"chromium-user": manifest(False, allowed=[TEST_ORIGIN[:-1]]),
                                      "firefox-user": manifest(True)}, False, True),
        Case("// comment line", {place: with_comment(text) for place, text in both("user").items()},
             True, False),
        Case("user typo, system right", {
            "chromium-user": manifest(False, allowed=[f"chrome-extension://{typo}/"]),
            "firefox-user": manifest(True, allowed=["print-host-tset@vantrel.example"]),
            **both("system")}, False, True),
        Case("profile folder", {"chromium-profile": manifest(False)}, True, False, profile=True),
        Case("user folder, browser on a profile", {"chromium-user": manifest(False)}, False, False,
             profile=True),
        Case("missing file", both("user", program="/nonexistent/vantrel-print-host"), False, False),
        Case("another program", both("user", program="/bin/true"), False, False),
        Case("not executable", both("user", program="NOEXEC"), False, False),
        Case("relative path", both("user", program="vantrel-print-host"), False, False),
        Case("wrong name", both("user", name="com.vantrel.other"), False, False),
        Case("wrong type", both("user", type="stdin"), False, False),
        Case("empty list", both("user", allowed=[]), False, False),
        Case("user and system", {**both("user"), **both("system")}, True, True),
    ]


class BrowserTable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="vantrel-table-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.home = cls.root / "home"
        bin_folder = cls.root / "bin"
        bin_folder.mkdir()
        cls.host = bin_folder / "vantrel-print-host"
        shutil.copy(HOST, cls.host)
        cls.host.chmod(0o755)
        cls.noexec = bin_folder / "vantrel-print-host-noexec"
        shutil.copy(HOST, cls.noexec)
        cls.noexec.chmod(0o644)
        cls.places = {
            "chromium-user": cls.home / ".config/chromium/NativeMessagingHosts",
            "chromium-profile": cls.root / "chromium-profile/NativeMessagingHosts",
            "firefox-user": cls.home / ".mozilla/native-messaging-hosts",
            "chromium-system": Path("/etc/chromium/native-messaging-hosts"),
            "firefox-system": Path("/usr/lib/mozilla/native-messaging-hosts"),
        }
        for place, parent in SYSTEM_PARENTS.items():
            private = cls.root / "system" / place
            private.mkdir(parents=True)
            subprocess.run(["mount", "--bind", str(private), str(parent)], check=True)
        cls.env = {"CUPS_SERVER": str(cls.root / "no-cups"), "XDG_STATE_HOME": str(cls.root / "state")}

        cls.chromium = ChromiumBrowser(cls.root, EXTENSION_DIR, extra_env=cls.env)
        cls.chromium.user_data_dir = cls.places["chromium-user"].parent  # the default one
        cls.profiled = ChromiumBrowser(cls.root / "profiled", EXTENSION_DIR, extra_env=cls.env)
        cls.profiled.user_data_dir = cls.places["chromium-profile"].parent
        extension = cls.root / "firefox-extension"
        extension.mkdir()
        shutil.copy(EXTENSION_DIR / "background.js", extension)
        for path in (REPO_ROOT / "tests/browser/firefox_extension").iterdir():
            shutil.copy(path, extension)
        cls.firefox = FirefoxBrowser(cls.root, extension, TEST_FIREFOX_ID, extra_env=cls.env)
        for browser in cls.chromium, cls.profiled, cls.firefox:
            cls.addClassCleanup(browser.close)
            browser.start()
        for browser in cls.chromium, cls.profiled:
            browser.wait_for_extension(ID)
        cls.rows = []
        cls.addClassCleanup(cls.print_table)

    @classmethod
    def print_table(cls):
        print("\ncase | Chromium | Firefox | doctor (Chromium, Firefox)", file=sys.stderr)
        for row in cls.rows:
            print(" | ".join(row), file=sys.stderr)

    def place_files(self, case: Case):
        for folder in self.places.values():
            shutil.rmtree(folder, ignore_errors=True)
        for place, text in case.files.items():
            self.places[place].mkdir(parents=True, exist_ok=True)
            text = text.replace('"HOST"', json.dumps(str(self.host)))
            text = text.replace('"NOEXEC"', json.dumps(str(self.noexec)))
            (self.places[place] / f"{NAME}.json").write_text(text)

    @staticmethod
    def reached(browser) -> tuple[bool, str]:
        outcome = browser.call("oneShot", HELLO, {"timeoutMs": 20000})
        answer = outcome.get("answer") or {}
        if outcome["ended"] == "answered" and "version" in (answer.get("result") or {}):
            return True, "reached"
        return False, outcome.get("error") or outcome["ended"]

    def doctor(self, case: Case) -> dict[str, tuple[bool, str]]:
        arguments = [str(self.host), "--doctor", "--json", "--extension", TEST_ORIGIN,
                     "--extension", TEST_FIREFOX_ID]
        if case.profile:
            arguments += ["--chromium-profile", str(self.places["chromium-profile"].parent)]
        env = dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / ".config"),
                   **self.env)
        run = subprocess.run(arguments, env=env, capture_output=True, timeout=60)
        report = json.loads(run.stdout.decode("utf-8"))  # strict: the report is UTF-8 JSON
        verdicts = {}
        for browser in "Chromium", "Firefox":
            checks = [c for c in report["checks"] if c["name"] == f"registration {browser}" or
                      (c["name"].startswith("program for ") and
                       browser in c["name"][len("program for "):].split(", "))]
            failed = [c for c in checks if not c["ok"]]
            verdicts[browser] = (not failed, "; ".join(f"{c['detail']} {c['advice']}" for c in failed))
        return verdicts

    def test_the_doctor_agrees_with_each_browser(self):
        for case in cases():
            with self.subTest(case=case.name):
                self.place_files(case)
                chromium = self.reached(self.profiled if case.profile else self.chromium)
                firefox = self.reached(self.firefox)
                try:
                    doctor = self.doctor(case)
                except (ValueError, KeyError) as error:  # no report: every verdict fails below
                    doctor = dict.fromkeys(("Chromium", "Firefox"), (None, repr(error)))
                self.rows.append((case.name, "yes" if chromium[0] else f"no ({chromium[1]})",
                                  "yes" if firefox[0] else f"no ({firefox[1]})",
                                  f"{'ok' if doctor['Chromium'][0] else 'FAIL'}, "
                                  f"{'ok' if doctor['Firefox'][0] else 'FAIL'}"))
                self.assertEqual((chromium[0], firefox[0]), (case.chromium, case.firefox),
                                 f"the browsers: {chromium}, {firefox}")
                self.assertEqual(doctor["Chromium"][0], chromium[0], doctor["Chromium"][1])
                self.assertEqual(doctor["Firefox"][0], firefox[0], doctor["Firefox"][1])


def main():
    global HOST
    HOST, rest = testing.built_file_argument("--host")
    if os.environ.get(NAMESPACE_MARK) != "1":
        unshare = shutil.which("unshare")
        missing = [] if os.geteuid() == 0 and unshare else ["root and unshare (util-linux)"]
        testing.exit_if_missing(missing)
        os.execve(unshare, [unshare, "--mount", "--propagation", "private", sys.executable,
                            *sys.argv], dict(os.environ, **{NAMESPACE_MARK: "1"}))
    testing.run_script(rest, HOST, testing.CHROMIUM_NEEDED, testing.FIREFOX_NEEDED)


if __name__ == "__main__":
    main()
