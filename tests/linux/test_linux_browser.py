#!/usr/bin/env python3
"""The .deb as a Linux user gets it: installed with dpkg, found by a real headless Chromium
through its system-wide manifest (/etc/chromium/native-messaging-hosts), which starts the
installed host directly, with no wrapper, to print on a private CUPS scheduler. The installed
program's --doctor passes the package and names a broken manifest, a malformed origin and a
missing program. Depends carry the versions the host was linked against; an administrator's
extensions are allowed.

    PYTHONPATH=tests python3 tests/linux/test_linux_browser.py \
        --deb build/dist/vantrel-print-host-test-extension_1.0.0_amd64.deb

The package is removed (purged) at the end. Needs root for dpkg. Exits 77 (skipped) without
Chromium, cupsd, root or the package, unless CI or VANTREL_E2E_REQUIRED is set.
"""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from rig import chromium, protocol, testing
from rig.browser import request
from rig.cups import ZEBRA_ZPL, CupsScheduler
from rig.labels import notched_label
from rig.registration import TEST_FIREFOX_ID, TEST_ORIGIN, extension_id

DEB = None
QUEUE = "Label_ZPL"
MANIFEST = Path("/etc/chromium/native-messaging-hosts/com.vantrel.print.json")
CHROMIUM_MANIFESTS = [MANIFEST] + [Path(f"/etc/opt/{name}/native-messaging-hosts/com.vantrel.print.json")
                                   for name in ("chrome", "edge", "brave", "vivaldi")]
FIREFOX_MANIFEST = Path("/usr/lib/mozilla/native-messaging-hosts/com.vantrel.print.json")
ADMIN_LIST = Path("/etc/vantrel-print-host/allowed-extensions")
UPDATE = "/usr/sbin/update-vantrel-print-host-manifests"
INSTALLED = Path("/usr/lib/vantrel-print-host/vantrel-print-host")


def run(args: list[str]) -> subprocess.CompletedProcess:
    return subprocess.run(args, capture_output=True, text=True, timeout=120)


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The test package has a name of its own (either replaces the other).
        cls.package = run(["dpkg-deb", "-f", str(DEB), "Package"]).stdout.strip()
        subprocess.run(["dpkg", "-i", str(DEB)], check=True, capture_output=True)
        cls.addClassCleanup(subprocess.run, ["dpkg", "-P", cls.package], capture_output=True)
        cls.scheduler = CupsScheduler()
        cls.addClassCleanup(cls.scheduler.close)
        cls.scheduler.add_queue(QUEUE, model=ZEBRA_ZPL, options=("media=w288h432",))
        cls.root = chromium.make_root()
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        state_home = Path(tempfile.mkdtemp(prefix="vantrel-state-", dir=cls.root))
        browser_env = {name: cls.scheduler.client_env[name]
                       for name in ("CUPS_SERVER", "CUPS_SERVERROOT")}
        browser_env["XDG_STATE_HOME"] = str(state_home)
        cls.browser = chromium.ChromiumBrowser(cls.root, extra_env=browser_env)
        cls.addClassCleanup(cls.browser.close)
        cls.browser.start()
        cls.browser.wait_for_extension(extension_id())

    def test_the_installed_manifest_names_the_installed_host(self):
        manifest = json.loads(MANIFEST.read_text())
        self.assertEqual((manifest["name"], manifest["path"]), ("com.vantrel.print", str(INSTALLED)))
        self.assertEqual(manifest["allowed_origins"], [f"chrome-extension://{extension_id()}/"])

    def test_depends_carry_the_versions_the_host_was_linked_against(self):
        depends = dict(re.fullmatch(r"(\S+)(?: \((.*)\))?", entry.strip()).groups()
                       for entry in run(["dpkg-deb", "-f", str(DEB), "Depends"]).stdout.split(","))
        needed = re.findall(r"NEEDED\s+(\S+)", run(["objdump", "-p", str(INSTALLED)]).stdout)
        for library in needed:  # each from a package depended on with a version
            found = run(["dpkg-query", "-S", f"*/{library}"]).stdout
            owners = {line.split(":")[0] for line in found.splitlines()}
            self.assertTrue([o for o in owners if (depends.get(o) or "").startswith(">= ")],
                            (library, owners, depends))
        # libc6 is at least the newest glibc whose symbols the host uses.
        newest = max(tuple(map(int, v.split("."))) for v in re.findall(
            r"GLIBC_([0-9.]+)\b", run(["objdump", "-T", str(INSTALLED)]).stdout))
        libc6 = tuple(map(int, re.match(r">= ([0-9.]+)", depends["libc6"]).group(1).split(".")))
        self.assertGreaterEqual(libc6, newest)

    def test_an_administrators_extensions_are_allowed_and_kept_by_a_reinstall(self):
        original = ADMIN_LIST.read_text()
        self.addCleanup(subprocess.run, [UPDATE], capture_output=True)
        self.addCleanup(ADMIN_LIST.write_text, original)
        own_origin = f"chrome-extension://{'abcdefghijklmnop' * 2}/"
        own_firefox_id = "labels@vendor.example"
        ADMIN_LIST.write_text(f"{original}{own_origin}\n  {own_firefox_id}  # ours\n")

        # Removed and installed again (as an upgrade runs it), the list is kept and read.
        self.assertEqual(run(["dpkg", "-r", self.package]).returncode, 0)
        written = CHROMIUM_MANIFESTS + [FIREFOX_MANIFEST, Path("/var/lib/vantrel-print-host")]
        self.assertEqual([m for m in written if os.path.lexists(m)], [])
        installed = run(["dpkg", "-i", str(DEB)])
        self.assertEqual(installed.returncode, 0, installed.stderr)
        for manifest in CHROMIUM_MANIFESTS:
            self.assertCountEqual(json.loads(manifest.read_text())["allowed_origins"],
                                  [own_origin, TEST_ORIGIN])
        self.assertCountEqual(json.loads(FIREFOX_MANIFEST.read_text())["allowed_extensions"],
                              [own_firefox_id, TEST_FIREFOX_ID])

    def test_the_doctor_passes_the_package_and_names_what_breaks_it(self):
        home = Path(tempfile.mkdtemp(prefix="vantrel-doctor-", dir=self.root))  # no user install
        env = dict(self.scheduler.client_env, HOME=str(home), XDG_STATE_HOME=str(home / "state"))
        env.pop("XDG_CONFIG_HOME", None)

        def doctor(program: Path = INSTALLED, *options: str) -> tuple[int, str]:
            done = subprocess.run([str(program), "--doctor", *options], env=env, text=True,
                                  capture_output=True, timeout=120)
            return done.returncode, done.stdout

        status, report = doctor(INSTALLED, "--extension", TEST_ORIGIN)
        self.assertEqual(status, 0, report)
        # The package allows only the test extension: another one would meet "forbidden".
        other = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"
        status, report = doctor(INSTALLED, "--extension", other)
        self.assertEqual(status, 1, report)
        self.assertIn(f"it does not allow {other}, so the browser refuses that extension", report)
        self.assertIn("/etc/vantrel-print-host/allowed-extensions", report)
        written = Path(os.path.realpath(MANIFEST))  # the package's links lead to it
        good = written.read_text()
        self.addCleanup(written.write_text, good)
        line = f"\nFAIL registration Chromium: {MANIFEST}: "
        for broken, found in ((good[:-3], line + "is not valid JSON;"),
                              (good.replace(TEST_ORIGIN, TEST_ORIGIN[:-1]),
                               line + f'"allowed_origins" holds "{TEST_ORIGIN[:-1]}", which is not')):
            with self.subTest(found=found):
                written.write_text(broken)
                status, report = doctor()
                self.assertEqual(status, 1, report)
                self.assertIn(found, report)
        written.write_text(good)

        # The installed program gone, a copy elsewhere runs the doctor.
        copy = home / "vantrel-print-host"
        shutil.move(INSTALLED, copy)
        self.addCleanup(shutil.move, copy, INSTALLED)
        status, report = doctor(copy)
        self.assertEqual(status, 1, report)
        self.assertIn(f"\nFAIL program for Chrome, Chromium, Edge, Brave, Vivaldi: {INSTALLED} "
                      f"{TEST_ORIGIN}: not found;", report)

    def test_a_session_prints_once_through_the_installed_host(self):
        payload = protocol.submit_payload("deb-1", QUEUE, notched_label(406, 609, (40, 40, 60)),
                                          406, 609, title="deb-1")
        outcome = self.browser.call("portSession", [
            request("hello", "h"), request("submit", "s1", payload),
            request("submit", "s2", payload)], {"timeoutMs": 60000}, timeout=120)
        hello, first, again = outcome["answers"]
        self.assertEqual(hello["result"]["platform"], "linux", outcome)
        self.assertTrue(first["ok"], first)
        self.assertTrue(again["result"]["duplicate"], again)
        self.scheduler.capture(QUEUE, int(first["result"]["os_job_id"]))
        self.assertEqual(len(self.scheduler.captured_documents(QUEUE)), 1)


def main():
    global DEB
    DEB, rest = testing.built_file_argument("--deb")
    root_and_dpkg = testing.Prerequisite(lambda: os.geteuid() == 0 and shutil.which("dpkg"),
                                         "root and dpkg, to install the package")
    testing.run_script(rest, DEB, root_and_dpkg, testing.CHROMIUM_NEEDED, testing.CUPSD_NEEDED)


if __name__ == "__main__":
    main()
