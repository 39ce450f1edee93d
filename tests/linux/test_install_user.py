#!/usr/bin/env python3
"""install-user.sh from the per-user archive (--archive), in a home whose path holds a space
and a glob character: the developer's own extensions are allowed and kept by a reinstall, and
the installed program's --doctor passes the install; --remove takes exactly what the installs
wrote, nothing of the home the path read as a pattern would match; a malformed entry is
refused before anything is written. Exits 77 (skipped) without the archive or cupsd, unless CI
or VANTREL_E2E_REQUIRED is set."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from rig import testing
from rig.cups import ZEBRA_ZPL, CupsScheduler
from rig.registration import TEST_FIREFOX_ID, TEST_ORIGIN

ARCHIVE = None
OWN_ORIGIN = f"chrome-extension://{'abcdefghijklmnop' * 2}/"
OWN_FIREFOX_ID = "{12345678-1234-1234-1234-123456789abc}"
MANIFESTS = (".config/google-chrome/NativeMessagingHosts", ".config/chromium/NativeMessagingHosts",
             ".config/microsoft-edge/NativeMessagingHosts",
             ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts",
             ".config/vivaldi/NativeMessagingHosts", ".mozilla/native-messaging-hosts")


def tree(root: Path) -> dict[str, bytes | None]:
    """Every path under root with its contents (None for a folder)."""
    return {str(p.relative_to(root)): None if p.is_dir() else p.read_bytes() for p in root.rglob("*")}


class InstallUser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scheduler = CupsScheduler()  # the doctor's print system
        cls.addClassCleanup(cls.scheduler.close)
        cls.scheduler.add_queue("Label_ZPL", model=ZEBRA_ZPL)

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-homes-"))
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = self.root / "home [x]"
        # What the home folder's name read as a pattern matches: another user's install.
        for folder in MANIFESTS[1], MANIFESTS[5]:
            (self.root / "home x" / folder).mkdir(parents=True)
            (self.root / "home x" / folder / "com.vantrel.print.json").write_text("{}")
        # A browser's own files: their folders stay.
        (self.home / ".config/chromium/Default").mkdir(parents=True)
        (self.home / ".config/chromium/Default/Preferences").write_text("{}")
        unpacked = Path(tempfile.mkdtemp(prefix="vantrel-archive-"))
        self.addCleanup(shutil.rmtree, unpacked, True)
        subprocess.run(["tar", "xzf", ARCHIVE, "-C", str(unpacked)], check=True)
        (self.script,) = unpacked.glob("vantrel-print-host-*/install-user.sh")
        self.env = dict(self.scheduler.client_env, HOME=str(self.home),
                        XDG_STATE_HOME=str(unpacked / "state"))
        self.env.pop("XDG_CONFIG_HOME", None)

    def install_user(self, *options: str) -> subprocess.CompletedProcess:
        return subprocess.run(["sh", str(self.script), *options], env=self.env, text=True,
                              capture_output=True, timeout=60)

    def test_own_extensions_are_kept_across_installs_and_remove_takes_what_was_written(self):
        before = tree(self.root)
        self.assertEqual(self.install_user("--allow-origin", OWN_ORIGIN,
                                           "--allow-firefox-id", OWN_FIREFOX_ID).returncode, 0)
        installed = self.install_user()
        self.assertEqual(installed.returncode, 0, installed.stderr)

        program = self.home / ".local/lib/vantrel-print-host/vantrel-print-host"
        for folder in MANIFESTS:
            with self.subTest(folder=folder):
                manifest = json.loads((self.home / folder / "com.vantrel.print.json").read_text())
                self.assertEqual(manifest["path"], str(program))
                allowed = ((manifest["allowed_extensions"], [OWN_FIREFOX_ID, TEST_FIREFOX_ID])
                           if folder.startswith(".mozilla")
                           else (manifest["allowed_origins"], [OWN_ORIGIN, TEST_ORIGIN]))
                self.assertCountEqual(*allowed)
        # Every browser's registration read as the browser reads it, and the program started
        # as each starts it.
        doctor = subprocess.run([str(program), "--doctor"], env=self.env, text=True,
                                capture_output=True, timeout=60)
        self.assertEqual(doctor.returncode, 0, doctor.stdout)

        removed = self.install_user("--remove")
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertEqual(tree(self.root), before)
        # The ledger stays.
        self.assertTrue((Path(self.env["XDG_STATE_HOME"]) / "com.vantrel.print").is_dir())

    def test_a_malformed_entry_is_refused_before_anything_is_written(self):
        before = tree(self.root)
        for option, entry in (("--allow-origin", OWN_ORIGIN[:-2] + "/"),  # 31 letters
                              ("--allow-origin", OWN_ORIGIN.replace("p/", "q/")),
                              ("--allow-origin", OWN_ORIGIN[:-1]),
                              ("--allow-origin", f"{OWN_ORIGIN}\n{OWN_ORIGIN}"),
                              ("--allow-firefox-id", OWN_ORIGIN)):
            with self.subTest(option=option, entry=entry):
                # A good entry first: nothing is written until all are checked.
                refused = self.install_user("--allow-firefox-id", OWN_FIREFOX_ID, option, entry)
                self.assertEqual(refused.returncode, 1)
                self.assertIn(f'"{entry.splitlines()[0]}', refused.stderr)
                self.assertEqual(tree(self.root), before)


def main():
    global ARCHIVE
    ARCHIVE, rest = testing.built_file_argument("--archive")  # the per-user archive
    testing.run_script(rest, ARCHIVE, testing.CUPSD_NEEDED)


if __name__ == "__main__":
    main()
