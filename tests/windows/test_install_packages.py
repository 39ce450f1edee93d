"""The MSI packages under Wine, each test in a fresh prefix: msiexec /i of the per-user
package registers the installed program for Chrome, Edge, Chromium and Firefox under HKCU,
and that program, started by the path its manifest gives, answers and prints; its --doctor
passes the install and names a broken manifest, a malformed origin and a missing program; an
upgrade from a lower version replaces it in place and keeps the ledger; removal takes program,
manifests and keys and leaves the ledger, also while a host runs and the lock is held; the
per-machine package does the same under HKLM and Program Files, checked by the doctor."""

import shutil
import sys
from pathlib import Path


from rig import msi
from rig.images import make_png
from rig.ledger import hold_ledger_lock
from rig.msi import (BROWSER_KEYS, PER_MACHINE_FOLDER, PER_MACHINE_MSI, PER_USER_MSI,
                     TEST_FIREFOX_ID, TEST_ORIGIN)
from rig.protocol import submit_payload
from rig.testing import main
from rig.wine import windows_path


class Packages(msi.InstallTestCase):
    def assert_registered(self, root: str, folder) -> str:
        """Every browser's key names its manifest in `folder`, which names the program there
        and the test extension; returns the program's Windows path."""
        program = folder / "vantrel-print-host.exe"
        for browser, (key, manifest_name) in BROWSER_KEYS.items():
            with self.subTest(browser=browser):
                value = msi.reg_default(self.prefix, rf"{root}\{key}")
                self.assertEqual(value, str(folder / manifest_name))
                manifest, named = msi.read_manifest(self.prefix, value)
                self.assertEqual((manifest["name"], manifest["type"], named),
                                 ("com.vantrel.print", "stdio", program))
                if browser == "Firefox":
                    self.assertEqual(manifest["allowed_extensions"], [TEST_FIREFOX_ID])
                    self.assertNotIn("allowed_origins", manifest)
                else:
                    self.assertEqual(manifest["allowed_origins"], [TEST_ORIGIN])
        self.assertTrue(msi.unix_path(self.prefix, program).is_file())
        return program

    def assert_unregistered(self, root: str):
        for browser, (key, _) in BROWSER_KEYS.items():
            self.assertIsNone(msi.reg_default(self.prefix, rf"{root}\{key}"), browser)

    def submit(self, host, intent_id: str, *, duplicate: bool) -> dict:
        payload = submit_payload(intent_id, self.QUEUE, make_png(64, 32), 64, 32)
        answer = host.request("submit", intent_id, payload, timeout=60)
        self.assertTrue(answer["ok"], answer)
        self.assertEqual((answer["result"]["state"], answer["result"]["duplicate"]),
                         ("SUBMITTED", duplicate))
        return answer["result"]

    def doctor(self, program, *options: str) -> tuple[int, str]:
        """`<program> --doctor` as a user runs it: its exit status and report."""
        result = self.prefix.run([str(program), "--doctor", *options], extra_env=self.cups.env,
                                 timeout=120)
        return result.returncode, result.text

    def documents(self, title: str) -> list:
        return [d for d in self.cups.wait_for_documents(1) if d.title == title]

    # ---- per user

    def test_per_user_install_registers_the_program_for_every_browser_and_it_prints(self):
        self.install(PER_USER_MSI)
        program = self.assert_registered("HKCU", msi.per_user_folder(self.prefix))
        self.assert_unregistered("HKLM")
        host = self.start_installed_host(program)
        hello = host.request("hello")
        self.assertTrue(hello["ok"], hello)
        # One version everywhere: the package's entry among installed programs and hello.
        self.assertEqual(msi.installed_products(self.prefix), [hello["result"]["version"]])
        self.submit(host, "installed-print-1", duplicate=False)
        self.assertEqual(len(self.documents("installed-print-1")), 1)

    def test_the_doctor_passes_the_install_and_names_what_breaks_it(self):
        self.install(PER_USER_MSI)
        folder = msi.per_user_folder(self.prefix)
        program = folder / "vantrel-print-host.exe"
        status, report = self.doctor(program, "--extension", TEST_ORIGIN)
        self.assertEqual(status, 0, report)
        # The install allows only the test extension: another one would meet "forbidden".
        other = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"
        status, report = self.doctor(program, "--extension", other)
        self.assertEqual(status, 1, report)
        self.assertIn(f"it does not allow {other}, so the browser refuses that extension", report)

        manifest = msi.unix_path(self.prefix, folder / msi.CHROMIUM_MANIFEST)
        good = manifest.read_text()
        chrome = (f"\nFAIL registration Chrome: HKCU\\{BROWSER_KEYS['Chrome'][0]} -> "
                  f"{folder / msi.CHROMIUM_MANIFEST}: ")
        for broken, line in ((good[:-3], chrome + "is not valid JSON;"),
                             (good.replace(TEST_ORIGIN, TEST_ORIGIN[:-1]),
                              chrome + f'"allowed_origins" holds "{TEST_ORIGIN[:-1]}", which is not')):
            with self.subTest(line=line):
                manifest.write_text(broken)
                status, report = self.doctor(program)
                self.assertEqual(status, 1, report)
                self.assertIn(line, report)
        manifest.write_text(good)

        # The installed program gone, a copy elsewhere runs the doctor.
        copy = self.scratch / "vantrel-print-host.exe"
        shutil.move(msi.unix_path(self.prefix, program), copy)
        status, report = self.doctor(windows_path(copy))
        self.assertEqual(status, 1, report)
        self.assertIn(f"\nFAIL program for Chrome, Edge, Chromium: {program} {TEST_ORIGIN} "
                      "--parent-window=0: not found;", report)

    def test_upgrade_from_a_lower_version_replaces_it_and_keeps_the_ledger(self):
        built = msi.build_package("0.9.0", self.scratch)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        older = self.scratch / PER_USER_MSI.name
        self.install(older)
        self.assertEqual(msi.installed_products(self.prefix), ["0.9.0"])
        program = msi.per_user_folder(self.prefix) / "vantrel-print-host.exe"
        with self.start_installed_host(program) as host:
            first = self.submit(host, "before-upgrade", duplicate=False)
            version = host.request("hello")["result"]["version"]

        self.install(PER_USER_MSI)
        self.assertEqual(msi.installed_products(self.prefix), [version])
        self.assert_registered("HKCU", msi.per_user_folder(self.prefix))
        host = self.start_installed_host(program)
        job = host.request("get_job", "j1", {"intent_id": "before-upgrade"})
        self.assertEqual((job["ok"], job["result"]["os_job_id"]), (True, first["os_job_id"]), job)
        self.assertEqual(self.submit(host, "before-upgrade", duplicate=True), dict(first, duplicate=True))
        self.assertEqual(len(self.documents("before-upgrade")), 1)

        # Going back is refused, and the later version stays.
        self.assertNotEqual(msi.msiexec(self.prefix, "/i", older).returncode, 0)
        self.assertEqual(msi.installed_products(self.prefix), [version])

    def test_removal_deletes_program_manifests_and_keys_and_keeps_the_ledger(self):
        self.install(PER_USER_MSI)
        folder = msi.per_user_folder(self.prefix)
        with self.start_installed_host(folder / "vantrel-print-host.exe") as host:
            self.submit(host, "before-removal", duplicate=False)
        ledger = self.prefix.read_state_file("ledger.json")

        result = msi.msiexec(self.prefix, "/x", PER_USER_MSI)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(msi.unix_path(self.prefix, folder).exists())
        self.assert_unregistered("HKCU")
        self.assertEqual(msi.installed_products(self.prefix), [])
        self.assertEqual(self.prefix.read_state_file("ledger.json"), ledger)

    def test_removal_while_a_host_runs_and_the_state_lock_is_held(self):
        # The host is started as a browser would and stays connected; the lock is held the
        # way a second host in the middle of a request holds it.
        self.install(PER_USER_MSI)
        folder = msi.per_user_folder(self.prefix)
        host = self.start_installed_host(folder / "vantrel-print-host.exe")
        first = self.submit(host, "during-removal", duplicate=False)
        ledger = self.prefix.read_state_file("ledger.json")
        with hold_ledger_lock(self.prefix):
            result = msi.msiexec(self.prefix, "/x", PER_USER_MSI)
            # Under Wine the removal succeeds and leaves the running program's file (Windows
            # would delete it at the next restart and say so with 3010); no browser finds
            # it any more.
            self.assertEqual(result.returncode, 0, result.stderr)
            for name in ("com.vantrel.print.json", "com.vantrel.print.firefox.json"):
                self.assertFalse(msi.unix_path(self.prefix, folder / name).exists())
            self.assert_unregistered("HKCU")
            self.assertEqual(msi.installed_products(self.prefix), [])
            self.assertEqual(host.request("get_job", "busy", {"intent_id": "during-removal"})
                             ["error"]["code"], "BRIDGE_BUSY")
        self.assertEqual(self.prefix.read_state_file("ledger.json"), ledger)
        job = host.request("get_job", "after", {"intent_id": "during-removal"})
        self.assertEqual((job["ok"], job["result"]["os_job_id"]), (True, first["os_job_id"]), job)

    # ---- per machine

    def test_per_machine_install_and_removal_under_hklm(self):
        self.install(PER_MACHINE_MSI)
        self.assert_registered("HKLM", PER_MACHINE_FOLDER)
        self.assert_unregistered("HKCU")
        status, report = self.doctor(PER_MACHINE_FOLDER / "vantrel-print-host.exe")
        self.assertEqual(status, 0, report)
        self.assertIn(rf"ok   registration Chrome: HKLM\{BROWSER_KEYS['Chrome'][0]} (64-bit view)",
                      report)
        result = msi.msiexec(self.prefix, "/x", PER_MACHINE_MSI)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(msi.unix_path(self.prefix, PER_MACHINE_FOLDER).exists())
        self.assert_unregistered("HKLM")
        self.assertEqual(msi.installed_products(self.prefix), [])


if __name__ == "__main__":
    main(msi.missing_prerequisites())
