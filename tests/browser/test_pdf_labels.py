#!/usr/bin/env python3
"""Carrier PDF labels through the client's printPdf, in real browsers against both hosts: headless
Chromium (pdf.js in the extension's offscreen document, printing from its service worker) and
firefox-esr (pdf.js on an extension page), each with the Windows host under Wine and with the
Linux host, on 4x6 in capture queues at 203 and at 300 dpi. The PDFs are made at test time
(make_pdf_labels.py, Debian's reportlab). Every printed page is rasterised at the queue's
resolution: its size is the media's, its ink lies where the PDF put it within 2 device dots, and
its barcode decodes with zbarimg. One table of cases for every browser and host.

    PYTHONPATH=tests python3 tests/browser/test_pdf_labels.py [--linux-host build/linux/vantrel-print-host]

Exits 77 (skipped) when a browser, a host build, the packed client, reportlab or zbarimg is
missing, unless CI or VANTREL_E2E_REQUIRED is set; a setup whose host is missing is skipped alone.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from rig import chromium, programs, testing
from rig.browser import WRAPPER_ENV_NAMES, assemble_client_extension, package_missing
from rig.cups import CupsScheduler
from rig.firefox import FirefoxBrowser, FirefoxRegistration
from rig.images import pages, rasterise
from rig.linux_host import add_pdf_queue, linux_host_executable
from rig.registration import HostRegistration, MANIFEST_TEMPLATE, extension_id, render_host_manifest
from rig.wine import shared_prefix

HERE = Path(__file__).resolve().parent
DEBIAN_PYTHON = "/usr/bin/python3"  # reportlab is Debian's package, for Debian's Python
FIREFOX_ID = "print-host-test@vantrel.example"
CROP = {"x": 0, "y": 0, "width": 288, "height": 432}  # the label in a Letter page's upper left
TOLERANCE_DOTS = 2

# name, file, queue's dpi, printPdf options, what happens: the pages printed, or the error code.
CASES = [
    ("4x6 page of vector text and a Code 128 barcode", "label.pdf", 203, {}, 1),
    ("the same at 300 dpi", "label.pdf", 300, {}, 1),
    ("one embedded 4x6 in image of 300 dpi", "image.pdf", 203, {}, 1),
    ("the image at 300 dpi", "image.pdf", 300, {}, 1),
    ("two pages, two labels", "two-pages.pdf", 203, {}, 2),
    ("a Letter page cropped to its label lands on 4x6 media", "letter.pdf", 203, {"crop": CROP}, 1),
    ("the Letter crop at 300 dpi", "letter.pdf", 300, {"crop": CROP}, 1),
    ("a whole Letter page is larger than any media", "letter.pdf", 203, {}, "PAGE_LARGER_THAN_MEDIA"),
    ("an encrypted PDF", "encrypted.pdf", 203, {}, "PDF_ENCRYPTED"),
    ("not a PDF", "not-a.pdf", 203, {}, "PDF_UNREADABLE"),
]


def make_documents(folder: Path) -> dict:
    done = subprocess.run([DEBIAN_PYTHON, str(HERE / "make_pdf_labels.py"), str(folder)],
                          capture_output=True, text=True, check=True, timeout=120)
    return json.loads(done.stdout)


def decode_barcodes(picture: Path) -> list[str]:
    done = subprocess.run(["zbarimg", "--raw", "-q", str(picture)], capture_output=True, text=True,
                          timeout=60)
    return done.stdout.split()


def reportlab_missing() -> list[str]:
    found = subprocess.run([DEBIAN_PYTHON, "-c", "import reportlab"], capture_output=True).returncode
    missing = [] if found == 0 else ["python3-reportlab (bash scripts/install-deps)"]
    return missing + ([] if shutil.which("zbarimg") else ["zbarimg (bash scripts/install-deps)"])


class PdfLabels:
    """The table against one browser and one host; a subclass starts them (start())."""

    BROWSER = HOST = ""
    cups: CupsScheduler

    @classmethod
    def setUpClass(cls):
        testing.skip_or_fail(package_missing() + reportlab_missing())
        cls.root = Path(tempfile.mkdtemp(prefix="vantrel-pdf-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.documents = cls.root / "pdf"
        cls.data = make_documents(cls.documents)
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        cls.queues = {dpi: f"{cls.HOST}_4x6_{dpi}" for dpi in (203, 300)}
        cls.extension = assemble_client_extension(cls.root / "extension")
        cls.start()

    # ---- per browser

    @classmethod
    def start_chromium(cls, manifest_for, env: dict[str, str]):
        origin = f"chrome-extension://{extension_id(cls.extension)}/"
        profile = cls.root / "profile"
        manifest_for(profile, origin)
        cls.browser = chromium.ChromiumBrowser(cls.root, cls.extension, extra_env=env)
        cls.addClassCleanup(cls.browser.close)
        cls.browser.start()
        cls.browser.wait_for_extension(extension_id(cls.extension))

    @classmethod
    def start_firefox(cls, host: Path, env: dict[str, str]):
        for path in (HERE / "firefox_extension").iterdir():
            shutil.copy(path, cls.extension / path.name)
        cls.browser = FirefoxBrowser(cls.root, cls.extension, FIREFOX_ID, extra_env=env)
        FirefoxRegistration(cls.browser.home, host, [FIREFOX_ID])
        cls.addClassCleanup(cls.browser.close)
        cls.browser.start()

    def call(self, method: str, *args) -> dict:
        return self.browser.call("clientCall", "pdf", method, list(args), timeout=180)

    # ---- the table

    def test_pdf_labels(self):
        for name, file, dpi, options, expected in CASES:
            with self.subTest(name):
                self.check_case(name, file, dpi, options, expected)

    def check_case(self, name: str, file: str, dpi: int, options: dict, expected):
        queue = self.queues[dpi]
        intent = f"pdf-{self.BROWSER}-{self.HOST}-{file.split('.')[0]}-{dpi}-{'crop' if options else 'whole'}"
        pdf = base64.b64encode((self.documents / file).read_bytes()).decode()
        job = dict(options, intentId=intent, title=intent)
        outcome = self.call("printPdf", queue, pdf, job)
        if isinstance(expected, str):
            self.assertFalse(outcome["ok"], outcome)
            error = outcome["error"]
            self.assertEqual((error["code"], error["mayHavePrinted"]), (expected, "no"), error)
            self.assertEqual(self.printed(intent), [])
            return
        self.assertTrue(outcome["ok"], outcome)
        printed = outcome["value"]["pages"]
        self.assertEqual([(p["intentId"], p["duplicate"]) for p in printed],
                         [(f"{intent}:p{n}", False) for n in range(1, expected + 1)])
        self.assertEqual(outcome["value"]["dpi"], dpi)
        again = self.call("printPdf", queue, pdf, job)  # a repeat prints nothing
        self.assertTrue(again["ok"], again)
        self.assertTrue(all(p["duplicate"] for p in again["value"]["pages"]), again)
        # A page per label: one document each as single submits, or one job of all of them where
        # the host takes them as one submit_batch.
        printed_pages = self.printed_pages(intent, dpi, expected)
        self.assertEqual(len(printed_pages), expected, printed_pages)
        for (path, index), barcode in zip(printed_pages, self.data["pages"][file]):
            check_printed_page(self, path, dpi, barcode, self.data, index)

    def printed(self, intent: str, count: int = 0) -> list:
        """The documents of `intent`'s pages, once `count` have come and no more are arriving."""
        deadline = time.monotonic() + 60
        while len(self.documents_of(intent)) < count and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.5)  # a further document would have arrived by now
        return self.documents_of(intent)

    def printed_pages(self, intent: str, dpi: int, count: int) -> list:
        """Each printed page of `intent` as (document, index), in the order printed, once `count`
        have come and no more are arriving."""
        def found():
            documents = sorted(self.documents_of(intent), key=lambda d: d.job_id)
            return [(d.path, i) for d in documents for i in range(len(pages(d.path, dpi)))]
        deadline = time.monotonic() + 60
        while len(found()) < count and time.monotonic() < deadline:
            time.sleep(0.5)
        time.sleep(1.5)  # a further document would have arrived by now
        return found()

    def documents_of(self, intent: str) -> list:
        return [d for d in self.cups.captured_documents() if d.title.startswith(intent)]


def check_printed_page(test: unittest.TestCase, path: Path, dpi: int, barcode: str, data: dict,
                       index: int = 0):
    """The captured page (the document's `index`th) at `dpi`: the 4x6 in media's size, the
    label's frame where the PDF put it within TOLERANCE_DOTS, upright and unmirrored, and its
    barcode read back."""
    page = pages(path, dpi)[index]
    dots = lambda pt: pt * dpi / 72  # noqa: E731
    width, height = data["label_pt"]
    test.assertEqual((page.width, page.height), (round(dots(width)), round(dots(height))))
    box = page.dark_box()
    for found, expected in zip(box, map(dots, data["frame_pt"])):
        test.assertLessEqual(abs(found - expected), TOLERANCE_DOTS, (box, data["frame_pt"]))
    left, top, right, bottom = map(dots, data["mark_pt"])
    middle = (round((left + right) / 2), round((top + bottom) / 2))
    test.assertTrue(page.dark(*middle), "the corner mark is missing: the page is not upright")
    test.assertFalse(page.dark(page.width - middle[0], middle[1]), "the page is mirrored")
    picture = rasterise(path, dpi, device="pnggray")[index]
    test.assertEqual(decode_barcodes(picture), [barcode])


# ---- the hosts


def linux_env(cups: CupsScheduler, state: Path) -> dict[str, str]:
    env = {name: cups.client_env[name] for name in ("CUPS_SERVER", "CUPS_SERVERROOT")}
    return dict(env, XDG_STATE_HOME=str(state))


class WineHost:
    HOST = "Wine"

    @classmethod
    def host_env(cls):
        testing.skip_or_fail(programs.missing_prerequisites(), "the Windows build is missing: ")
        for dpi, queue in cls.queues.items():
            cls.cups.add_queue(queue, f"label-4x6-{dpi}")
        wine_env = shared_prefix().env(cls.cups.env)
        return {name: wine_env[name] for name in WRAPPER_ENV_NAMES if name in wine_env}

    @classmethod
    def registration(cls, folder: Path, origin: str) -> HostRegistration:
        return HostRegistration(folder, origin, wine64=programs.WINE64,
                                host_exe=programs.host_executable(), env=cls.host_env())


class LinuxHost:
    HOST = "Linux"

    @classmethod
    def linux_host(cls) -> Path:
        host = linux_host_executable()
        testing.skip_or_fail([] if host.is_file() else [f"{host} (run: bash scripts/build)"])
        for dpi, queue in cls.queues.items():
            add_pdf_queue(cls.cups, queue, dpi=dpi)
        return host


class ChromiumWine(WineHost, PdfLabels, unittest.TestCase):
    BROWSER = "chromium"

    @classmethod
    def start(cls):
        testing.skip_or_fail([] if chromium.chromium_executable() else ["Chromium"])
        cls.start_chromium(lambda profile, origin: cls.registration(profile, origin), {})


class ChromiumLinux(LinuxHost, PdfLabels, unittest.TestCase):
    BROWSER = "chromium"

    @classmethod
    def start(cls):
        testing.skip_or_fail([] if chromium.chromium_executable() else ["Chromium"])
        host = cls.linux_host()

        def register(profile: Path, origin: str):
            folder = profile / "NativeMessagingHosts"
            folder.mkdir(parents=True, exist_ok=True)
            (folder / "com.vantrel.print.json").write_text(
                render_host_manifest(MANIFEST_TEMPLATE.read_text(), str(host), [origin]))
        cls.start_chromium(register, linux_env(cls.cups, cls.root / "state"))


class FirefoxWine(WineHost, PdfLabels, unittest.TestCase):
    BROWSER = "firefox"

    @classmethod
    def start(cls):
        testing.skip_or_fail([] if testing.FIREFOX_NEEDED.present() else [testing.FIREFOX_NEEDED.missing])
        wrapper = cls.registration(cls.root / "wine-registration" / "profile",
                                   "chrome-extension://" + "a" * 32 + "/").wrapper
        cls.start_firefox(wrapper, {})


class FirefoxLinux(LinuxHost, PdfLabels, unittest.TestCase):
    BROWSER = "firefox"

    @classmethod
    def start(cls):
        testing.skip_or_fail([] if testing.FIREFOX_NEEDED.present() else [testing.FIREFOX_NEEDED.missing])
        cls.start_firefox(cls.linux_host(), linux_env(cls.cups, cls.root / "state"))


# ---- the example extension's PDF label, on its page, in both browsers (Linux host)


class ExamplePagePrintsPdf(unittest.TestCase):
    """examples/extension set up by its setup.sh, its page printing the Letter PDF's corner label
    by the shipment number, twice: one label. Chromium loads it as it is; Firefox with a gecko id
    and background scripts in its manifest."""

    QUEUE = "Example_4x6_203"

    @classmethod
    def setUpClass(cls):
        host = linux_host_executable()
        testing.skip_or_fail(package_missing() + reportlab_missing() +
                             ([] if host.is_file() else [f"{host} (run: bash scripts/build)"]))
        cls.host = host
        cls.root = Path(tempfile.mkdtemp(prefix="vantrel-example-pdf-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.data = make_documents(cls.root / "pdf")
        cls.cups = CupsScheduler()
        cls.addClassCleanup(cls.cups.close)
        add_pdf_queue(cls.cups, cls.QUEUE, default=True)
        # setup.sh finds the package and pdf.js beside the example, as in the repository.
        repo = cls.root / "repo"
        shutil.copytree(programs.REPO_ROOT / "examples" / "extension", repo / "examples" / "extension",
                        ignore=shutil.ignore_patterns("print-client", "pdfjs"))
        (repo / "build").mkdir()
        (repo / "build" / "dist").symlink_to(programs.REPO_ROOT / "build" / "dist")
        (repo / "client").symlink_to(programs.REPO_ROOT / "client")
        cls.extension = repo / "examples" / "extension"
        subprocess.run(["sh", str(cls.extension / "setup.sh")], check=True, capture_output=True)

    def test_chromium(self):
        testing.skip_or_fail([] if chromium.chromium_executable() else ["Chromium"])
        root = Path(tempfile.mkdtemp(prefix="chromium-", dir=self.root))
        browser = chromium.ChromiumBrowser(root, self.extension, extra_env=linux_env(self.cups, root / "state"))
        self.addCleanup(browser.close)
        browser.start()
        ext_id = None
        while ext_id is None:
            time.sleep(0.1)
            ext_id = next((t["url"].split("/")[2] for t in browser.devtools.command("Target.getTargets")["targetInfos"]
                           if t["type"] == "service_worker"), None)
        folder = root / "profile" / "NativeMessagingHosts"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "com.vantrel.print.json").write_text(render_host_manifest(
            MANIFEST_TEMPLATE.read_text(), str(self.host), [f"chrome-extension://{ext_id}/"]))
        target = browser.devtools.command("Target.createTarget", {"url": f"chrome-extension://{ext_id}/print.html"})
        session = browser.devtools.command("Target.attachToTarget",
                                           {"targetId": target["targetId"], "flatten": True})["sessionId"]

        def evaluate(expression: str):
            reply = browser.devtools.command("Runtime.evaluate", {
                "expression": expression, "awaitPromise": True, "returnByValue": True}, session_id=session)
            self.assertNotIn("exceptionDetails", reply, expression)
            return reply["result"].get("value")
        self.check_page_prints(evaluate, "chromium")

    def test_firefox(self):
        testing.skip_or_fail([] if testing.FIREFOX_NEEDED.present() else [testing.FIREFOX_NEEDED.missing])
        root = Path(tempfile.mkdtemp(prefix="firefox-", dir=self.root))
        extension = root / "extension"
        shutil.copytree(self.extension, extension, symlinks=False)
        manifest = json.loads((extension / "manifest.json").read_text())
        manifest["background"] = {"scripts": ["background.js"], "type": "module"}
        manifest["browser_specific_settings"] = {"gecko": {"id": FIREFOX_ID}}
        (extension / "manifest.json").write_text(json.dumps(manifest))
        browser = FirefoxBrowser(root, extension, FIREFOX_ID, page="print.html",
                                 extra_env=linux_env(self.cups, root / "state"))
        FirefoxRegistration(browser.home, self.host, [FIREFOX_ID])
        self.addCleanup(browser.close)
        browser.start()
        self.check_page_prints(lambda expression: browser.call(f"(async () => {expression})"), "firefox")

    def check_page_prints(self, evaluate, name: str):
        """Chooses the queue once the page listed it, gives the form the Letter PDF (the label
        in its corner), presses Print PDF twice; returns the page's two messages."""
        deadline = time.monotonic() + 60
        while not evaluate(f"!!document.querySelector('#printer option[value={self.QUEUE}]')"):
            self.assertLess(time.monotonic(), deadline, "the page listed no queue")
            time.sleep(0.2)
        pdf = base64.b64encode((self.root / "pdf" / "letter.pdf").read_bytes()).decode()
        evaluate(f"""(() => {{
            document.getElementById('printer').value = '{self.QUEUE}';
            const files = new DataTransfer();
            files.items.add(new File([Uint8Array.from(atob('{pdf}'), (c) => c.charCodeAt(0))], 'label.pdf'));
            const form = document.getElementById('pdf-label');
            form.pdf.files = files.files;
            form.shipment.value = 'S-{name}';
            form.corner.checked = true;
            return true; }})()""")
        said = []
        for _ in range(2):
            evaluate("(document.getElementById('pdf-status').textContent = '', document.getElementById('print-pdf').click(), true)")
            deadline = time.monotonic() + 90
            while not (text := evaluate("document.getElementById('pdf-status').textContent")) or "Printing" in text:
                self.assertLess(time.monotonic(), deadline, "printing did not end")
                time.sleep(0.2)
            said.append(text)
        self.assertRegex(said[0], rf"^Shipment S-{name}: 1 label sent to {self.QUEUE} at 203 dpi \(job \d+ on na_index-4x6_4x6in\)\.$")
        self.assertEqual(said[1], f"Shipment S-{name} was printed before; nothing was printed again.")
        time.sleep(1.5)  # a second document would have arrived by now
        (document,) = [d for d in self.cups.captured_documents() if d.title == f"Shipment S-{name}"]
        check_printed_page(self, document.path, 203, self.data["pages"]["letter.pdf"][0], self.data)


if __name__ == "__main__":
    # --linux-host PATH: the Linux host to test (default: build/linux's).
    if "--linux-host" in sys.argv:
        at = sys.argv.index("--linux-host")
        os.environ["VANTREL_LINUX_HOST"] = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    testing.main(package_missing() + reportlab_missing())
