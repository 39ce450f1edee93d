"""The packaging step itself (cmake/msi_package.cmake, which the `msi` target runs), without
Wine: signing with a throwaway self-signed certificate gives the program inside the package
and both packages signatures that osslsigncode verifies; without a certificate it says the
artefacts are unsigned; only the per-machine package asks for elevation; a package built
without an extension parameter is refused, naming the parameter, and nothing is left
behind; a package that allows the test extension says so in its name. And the configure
step of every package: a release (VANTREL_RELEASE) refuses the test extension and missing
ids, naming both parameters."""

import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path


from rig import msi
from rig.programs import REPO_ROOT, host_executable
from rig.registration import TEST_FIREFOX_ID, TEST_ORIGIN
from rig.testing import main, skip_or_fail

OPENSSL = shutil.which("openssl")
OSSLSIGNCODE = shutil.which("osslsigncode")
MSIEXTRACT = shutil.which("msiextract")
MSIINFO = shutil.which("msiinfo")
PACKAGES = (msi.PER_USER_MSI.name, msi.PER_MACHINE_MSI.name)
VENDOR_ORIGIN = f"chrome-extension://{'abcdefghijklmnop' * 2}/"
VENDOR_FIREFOX_ID = "labels@vendor.example"


def missing() -> list[str]:
    found = []
    if not host_executable().is_file():
        found.append(f"{host_executable()} (run: bash scripts/build)")
    for name, tool in (("openssl", OPENSSL), ("osslsigncode", OSSLSIGNCODE),
                       ("msiextract (msitools)", MSIEXTRACT), ("msiinfo (msitools)", MSIINFO),
                       ("wixl", msi.WIXL),
                       ("cmake", msi.CMAKE)):
        if tool is None:
            found.append(name)
    return found


def run(args: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=120, **kwargs)


class PackageBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        skip_or_fail(missing())

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-package-"))
        self.addCleanup(shutil.rmtree, self.root, True)

    def make_certificate(self) -> tuple[Path, Path, Path]:
        """A self-signed code-signing certificate: (PEM, PKCS#12, password file)."""
        key, cert = self.root / "key.pem", self.root / "cert.pem"
        p12, password = self.root / "signing.p12", self.root / "password.txt"
        password.write_text("throwaway-password\n")
        made = run([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Vantrel Print Host test signing", "-keyout", str(key),
                    "-out", str(cert), "-addext", "extendedKeyUsage=codeSigning"])
        self.assertEqual(made.returncode, 0, made.stderr)
        exported = run([OPENSSL, "pkcs12", "-export", "-inkey", str(key), "-in", str(cert),
                        "-out", str(p12), "-passout", f"file:{password}"])
        self.assertEqual(exported.returncode, 0, exported.stderr)
        return cert, p12, password

    def verify(self, path: Path, cert: Path) -> subprocess.CompletedProcess:
        return run([OSSLSIGNCODE, "verify", "-CAfile", str(cert), "-in", str(path)])

    def test_signed_build_signs_the_program_it_packages_and_both_packages(self):
        cert, p12, password = self.make_certificate()
        out = self.root / "dist"
        built = msi.build_package(
            "1.0.0", out, scope="perUser;perMachine", VANTREL_SIGN_PKCS12=str(p12),
            VANTREL_SIGN_PASSWORD_FILE=str(password), OSSLSIGNCODE=OSSLSIGNCODE)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.assertNotIn("UNSIGNED", built.stdout)
        for name in PACKAGES:
            with self.subTest(package=name):
                checked = self.verify(out / name, cert)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                extracted = self.root / f"extract-{name}"
                extracted.mkdir()
                self.assertEqual(run([MSIEXTRACT, "-C", str(extracted), str(out / name)]).returncode, 0)
                (program,) = extracted.rglob("vantrel-print-host.exe")
                checked = self.verify(program, cert)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        # The build's own program is left as the linker made it.
        self.assertNotEqual(self.verify(host_executable(), cert).returncode, 0)

    def test_unsigned_build_says_so(self):
        built = msi.build_package("1.0.0", self.root / "dist")
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.assertIn("UNSIGNED", built.stdout)

    def test_only_the_per_machine_package_asks_for_elevation(self):
        # Wine never prompts, so this is read from the packages: summary word count bit 8
        # ("elevated privileges are not required") and the ALLUSERS property.
        out = self.root / "dist"
        built = msi.build_package("1.0.0", out, scope="perUser;perMachine")
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        for name, elevates in zip(PACKAGES, (False, True)):
            with self.subTest(package=name):
                summary = run([MSIINFO, "suminfo", str(out / name)]).stdout
                word_count = int(re.search(r"^Source: (\d+)", summary, re.M).group(1))
                self.assertEqual(not word_count & 8, elevates, summary)
                self.assertIn("Template: x64;", summary)
                properties = run([MSIINFO, "export", str(out / name), "Property"]).stdout
                self.assertEqual("ALLUSERS\t1" in properties.splitlines(), elevates)

    def test_package_without_an_extension_parameter_is_refused_by_name(self):
        out = self.root / "dist"
        for parameter in ("VANTREL_ALLOWED_ORIGINS", "VANTREL_FIREFOX_EXTENSION_IDS"):
            with self.subTest(parameter=parameter):
                (out / PACKAGES[0]).parent.mkdir(parents=True, exist_ok=True)
                (out / PACKAGES[0]).write_bytes(b"an earlier build's package")
                built = msi.build_package("1.0.0", out, **{parameter: ""})
                self.assertNotEqual(built.returncode, 0)
                self.assertIn(f"{parameter} is empty", built.stderr)
                self.assertFalse((out / PACKAGES[0]).exists())

    def test_a_package_that_allows_the_test_extension_says_so_in_its_name(self):
        for row, (origins, firefox_ids, name) in enumerate((
                (VENDOR_ORIGIN, VENDOR_FIREFOX_ID, "vantrel-print-host-per-user.msi"),
                (f"{VENDOR_ORIGIN},{TEST_ORIGIN}", VENDOR_FIREFOX_ID, PACKAGES[0]),
                (VENDOR_ORIGIN, TEST_FIREFOX_ID, PACKAGES[0]))):
            with self.subTest(origins=origins, firefox_ids=firefox_ids):
                out = self.root / f"dist-{row}"
                built = msi.build_package("1.0.0", out, VANTREL_ALLOWED_ORIGINS=origins,
                                          VANTREL_FIREFOX_EXTENSION_IDS=firefox_ids)
                self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
                self.assertEqual([p.name for p in out.glob("*.msi")], [name])

    def test_release_configure_takes_only_the_vendors_own_extensions(self):
        # The native configure, which names the Linux packages; the MSI ones follow the same rule.
        def configure(*options: str) -> subprocess.CompletedProcess:
            return run([msi.CMAKE, "-S", str(REPO_ROOT), "-B", str(self.root / "build"), *options])

        default = configure()
        self.assertEqual(default.returncode, 0, default.stderr)
        self.assertIn("/vantrel-print-host-test-extension_", default.stdout)
        vendor = (f"-DVANTREL_ALLOWED_ORIGINS={VENDOR_ORIGIN}",
                  f"-DVANTREL_FIREFOX_EXTENSION_IDS={VENDOR_FIREFOX_ID}")
        for ids in ((),  # the defaults: the test extension's
                    (vendor[0], f"-DVANTREL_FIREFOX_EXTENSION_IDS={TEST_FIREFOX_ID}"),
                    (f"-DVANTREL_ALLOWED_ORIGINS={VENDOR_ORIGIN};{TEST_ORIGIN}", vendor[1]),
                    (vendor[0], "-DVANTREL_FIREFOX_EXTENSION_IDS=")):
            with self.subTest(ids=ids):
                refused = configure("-DVANTREL_RELEASE=ON", *ids)
                self.assertNotEqual(refused.returncode, 0)
                for parameter in ("VANTREL_RELEASE", "VANTREL_ALLOWED_ORIGINS",
                                  "VANTREL_FIREFOX_EXTENSION_IDS"):
                    self.assertIn(parameter, refused.stderr)
        release = configure("-DVANTREL_RELEASE=ON", *vendor)
        self.assertEqual(release.returncode, 0, release.stderr)
        self.assertIn("/vantrel-print-host_", release.stdout)
        self.assertNotIn("test-extension", release.stdout)


if __name__ == "__main__":
    main(missing())
