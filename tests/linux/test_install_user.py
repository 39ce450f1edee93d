#!/usr/bin/env python3
"""install-user.sh from the per-user archive (--archive), in a home whose path holds a space
and a glob character: the developer's own extensions are allowed and kept by a reinstall, and
the installed program's --doctor passes the install, made under umask 000, and fails it once
another user can replace the program; --chromium-profile registers a profile folder too;
--remove takes exactly what the installs wrote, nothing of the home the path read as a pattern
would match; a malformed entry is refused before anything is written. cmake/deb_package.cmake
run by hand, as install/README.md says, makes a package for one's own ids that replaces the
test one. Exits 77 (skipped) without the archive or cupsd, unless CI
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
from rig.programs import REPO_ROOT
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
        # Under umask 000: the script sets every mode itself.
        return subprocess.run(["sh", str(self.script), *options], env=self.env, text=True,
                              capture_output=True, timeout=60, preexec_fn=lambda: os.umask(0))

    def doctor(self, program: Path, *options: str) -> subprocess.CompletedProcess:
        return subprocess.run([str(program), "--doctor", *options], env=self.env, text=True,
                              capture_output=True, timeout=60)

    def test_own_extensions_are_kept_across_installs_and_remove_takes_what_was_written(self):
        profile = self.root / "profile"
        profile.mkdir()
        before = tree(self.root)
        self.assertEqual(self.install_user("--allow-origin", OWN_ORIGIN[19:-1],  # the bare id
                                           "--allow-firefox-id", OWN_FIREFOX_ID,
                                           "--chromium-profile", str(profile)).returncode, 0)
        installed = self.install_user()
        self.assertEqual(installed.returncode, 0, installed.stderr)
        written = [p for p in self.root.rglob("*") if p not in map(self.root.joinpath, before)]
        self.assertEqual(sorted({oct(p.stat().st_mode & 0o777) for p in written}),
                         ["0o644", "0o755"], written)

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
        doctor = self.doctor(program, "--extension", OWN_ORIGIN, "--extension", OWN_FIREFOX_ID,
                             "--chromium-profile", str(profile))
        self.assertEqual(doctor.returncode, 0, doctor.stdout)
        self.assertIn(f"ok   registration Chromium: {profile}/NativeMessagingHosts/", doctor.stdout)
        program.chmod(0o757)  # another user could replace what the browsers start
        self.assertIn(f"{program} can be changed by other users (mode 0757)",
                      self.doctor(program).stdout)
        program.chmod(0o755)
        # --help and --version answer and end; no host starts (its log would say caller=).
        for option, start in (("--version", "vantrel-print-host 1."), ("--help", "usage: ")):
            shown = subprocess.run([str(program), option], env=self.env, text=True,
                                   capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
            self.assertEqual((shown.returncode, shown.stdout[:len(start)]), (0, start))
        log = Path(self.env["XDG_STATE_HOME"]) / "com.vantrel.print/logs/host.log"
        self.assertNotIn("caller=--", log.read_text())

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
                              ("--allow-firefox-id", OWN_ORIGIN),
                              ("--allow-firefox-id", "a+b@example.com")):  # Firefox's rule
            with self.subTest(option=option, entry=entry):
                # A good entry first: nothing is written until all are checked.
                refused = self.install_user("--allow-firefox-id", OWN_FIREFOX_ID, option, entry)
                self.assertEqual(refused.returncode, 1)
                self.assertIn(f'"{entry.splitlines()[0]}', refused.stderr)
                self.assertEqual(tree(self.root), before)

    def test_a_package_for_ones_own_extension_replaces_the_test_package(self):
        output = self.root / "own-dist" / "made"  # missing: the recipe makes it
        host = self.script.parent / "vantrel-print-host"
        made = subprocess.run(
            ["cmake", "-DVERSION=9.9.9", f"-DHOST_EXE={host}", f"-DWORK_DIR={self.root / 'work'}",
             f"-DOUTPUT_DIR={output}", f"-DDPKG_DEB={shutil.which('dpkg-deb')}",
             f"-DDPKG_SHLIBDEPS={shutil.which('dpkg-shlibdeps')}", "-DARCH=amd64",
             f"-DVANTREL_ALLOWED_ORIGINS={OWN_ORIGIN}", f"-DVANTREL_FIREFOX_EXTENSION_IDS={OWN_FIREFOX_ID}",
             "-P", str(REPO_ROOT / "cmake/deb_package.cmake")], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        fields = subprocess.run(["dpkg-deb", "-f", str(output / "vantrel-print-host_9.9.9_amd64.deb"),
                                 "Package", "Conflicts", "Replaces"], capture_output=True, text=True)
        self.assertEqual(fields.stdout.splitlines(), [
            "Package: vantrel-print-host", "Conflicts: vantrel-print-host-test-extension",
            "Replaces: vantrel-print-host-test-extension"])


def main():
    global ARCHIVE
    ARCHIVE, rest = testing.built_file_argument("--archive")  # the per-user archive
    testing.run_script(rest, ARCHIVE, testing.CUPSD_NEEDED)


if __name__ == "__main__":
    main()
