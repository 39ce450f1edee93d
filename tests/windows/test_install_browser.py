"""The installed host in the real browser: the per-user package installed in a fresh prefix,
the program found as Chrome finds it on Windows (the HKCU key names the manifest, whose path
is resolved against the manifest's folder), and the browser test's sessions, one port and
one message per process, run against the program at that path."""

import sys
import unittest
from pathlib import Path


from browser import run_browser_test
from rig import msi
from rig.browser import BrowserRig, chromium_missing
from rig.testing import main


class InstalledHostInChromium(run_browser_test.RealBrowser):
    @classmethod
    def make_rig(cls) -> BrowserRig:
        result = msi.msiexec(cls.prefix, "/i", msi.PER_USER_MSI)
        if result.returncode != 0:
            raise RuntimeError(f"msiexec /i exited with {result.returncode}: {result.stderr!r}")
        key, _ = msi.BROWSER_KEYS["Chrome"]
        manifest_path = msi.reg_default(cls.prefix, rf"HKCU\{key}")
        cls.installed_manifest, cls.program = msi.read_manifest(cls.prefix, manifest_path)
        return BrowserRig(cls.prefix, host_exe=cls.program)

    def test_the_installed_program_is_started_and_lets_the_test_extension_in(self):
        self.assertEqual(self.installed_manifest["allowed_origins"], [self.rig.origin])
        wrapper = self.rig.registration.wrapper.read_text()
        self.assertIn(f"'{self.program}'", wrapper)


def load_tests(loader, tests, pattern):
    # The sessions only: the framing limits and refusals are the program's, which the
    # browser test already covers.
    names = ("test_the_installed_program_is_started_and_lets_the_test_extension_in",
             "test_one_port_carries_a_whole_session_with_answers_in_order",
             "test_each_one_shot_message_starts_its_own_host")
    return unittest.TestSuite(InstalledHostInChromium(name) for name in names)


if __name__ == "__main__":
    missing = msi.missing_prerequisites()
    if chromium_missing():
        missing.append(chromium_missing())
    main(missing)
