#!/usr/bin/env python3
"""The example extension (examples/extension) as a new developer meets it, its README
followed on Linux: setup.sh (first without a built client), the folder loaded unpacked into
headless Chromium's default profile in a private HOME (its id as the README computes it), the host registered with the per-user
archive's install-user.sh, first without and then with the extension's origin, and its page
driven against a private CUPS queue: Print, Print again, Reprint after the form moved on to
another order, a paused queue, and a Letter queue that also offers 4 x 6 in labels at 300 dpi,
where the label prints on the media the page picked. What was printed is counted in the
queues' capture folder. The same folder loaded in firefox-esr, registered with its gecko id,
prints an order once.

    python3 tests/linux/test_example_extension.py --archive build/dist/<the linux-user archive>

Exits 77 (skipped) without Chromium, firefox-esr, cupsd, the archive or the packed client, unless CI or
VANTREL_E2E_REQUIRED is set.
"""

import json
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from rig import testing
from rig.browser import packed_client
from rig.chromium import ChromiumBrowser
from rig.cups import LETTER_300, CupsScheduler
from rig.firefox import FirefoxBrowser
from rig.images import rasterise, read_pnm
from rig.linux_host import add_pdf_queue
from rig.programs import REPO_ROOT

ARCHIVE = None
QUEUE = "Label_4x6_203dpi"
OFFICE_QUEUE = "Office_Letter_300dpi"
LONG_STREET = "12 Analytical Row, Building C, Floor 4, Suite 401, Attention: Receiving Dock 7"


class ExamplePage:
    """The example's page in a tab of `browser`, driven through the DevTools protocol."""

    def __init__(self, browser: ChromiumBrowser, url: str):
        self.devtools = browser.devtools
        target = self.devtools.command("Target.createTarget", {"url": url})["targetId"]
        self.session = self.devtools.command(
            "Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.devtools.command("Page.enable", session_id=self.session)
        self.settled()

    def evaluate(self, expression: str):
        reply = self.devtools.command("Runtime.evaluate", {
            "expression": expression, "awaitPromise": True, "returnByValue": True},
            session_id=self.session)
        if "exceptionDetails" in reply:
            raise AssertionError(f"{expression}: {reply['exceptionDetails']}")
        return reply["result"].get("value")

    def settled(self, timeout: float = 60) -> str:
        """The page's message once its action has ended (its buttons are enabled again)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate("document.readyState === 'complete' && document.getElementById('print')?.disabled === false"):
                return self.evaluate("document.getElementById('status').textContent")
            time.sleep(0.1)
        raise TimeoutError("the page's action did not end")

    def click(self, button: str) -> str:
        self.evaluate(f"document.getElementById('{button}').click()")
        return self.settled()

    def answer_dialog(self, button: str, accept: bool) -> str:
        """Clicks `button`, answers the dialog it opens, returns the dialog's text."""
        self.evaluate(f"setTimeout(() => document.getElementById('{button}').click())")
        deadline = time.monotonic() + 30
        while True:
            for event in self.devtools.events:
                if event["method"] == "Page.javascriptDialogOpening":
                    self.devtools.events.remove(event)
                    self.devtools.command("Page.handleJavaScriptDialog", {"accept": accept},
                                          session_id=self.session)
                    return event["params"]["message"]
            if time.monotonic() > deadline:
                raise TimeoutError(f"{button} opened no dialog")
            self.devtools.command("Browser.getVersion")  # reads the events that came meanwhile
            time.sleep(0.05)

    def fill(self, **fields):
        for name, value in fields.items():
            self.evaluate(f"document.querySelector('[name={name}]').value = {json.dumps(value)}")


class FirefoxExamplePage(ExamplePage):
    """The example's page open in Firefox's first tab, driven through WebDriver BiDi."""

    def __init__(self, browser: FirefoxBrowser):
        self.browser = browser
        self.settled()

    def evaluate(self, expression: str):
        reply = self.browser.command("script.evaluate", {
            "expression": expression, "target": {"context": self.browser.context},
            "awaitPromise": True, "resultOwnership": "none"})
        if reply["type"] != "success":
            raise AssertionError(f"{expression}: {reply}")
        return reply["result"].get("value")


GECKO_ID = json.loads((REPO_ROOT / "examples/extension/manifest.json").read_text())[
    "browser_specific_settings"]["gecko"]["id"]


class ExampleExtension(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="vantrel-example-"))
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = self.root / "home"

    def test_readme_steps_in_firefox(self):
        extension = self.root / "extension"
        shutil.copytree(REPO_ROOT / "examples" / "extension", extension,
                        ignore=shutil.ignore_patterns("print-client"))
        (extension / "print-client").mkdir()
        subprocess.run(["tar", "-xzf", str(packed_client()), "-C", str(extension / "print-client"),
                        "--strip-components=1"], check=True)
        cups = CupsScheduler()
        self.addCleanup(cups.close)
        browser = FirefoxBrowser(self.root, extension, GECKO_ID, page="print.html", extra_env=dict(
            cups.env, XDG_STATE_HOME=str(self.root / "state")))
        self.addCleanup(browser.close)
        browser.start()
        page = FirefoxExamplePage(browser)
        status = page.settled()
        self.assertIn("not installed", status)
        self.assertIn(GECKO_ID, status)  # the id to register, shown without about:debugging

        self.install_user("--allow-firefox-id", GECKO_ID)
        add_pdf_queue(cups, QUEUE, default=True)
        self.assertEqual(page.click("refresh"), "1 print queue listed.")
        self.assertRegex(page.click("print"), r"^Order A-1001 was sent to Label_4x6_203dpi as job \d+\.$")
        self.assertIn("nothing was printed again", page.click("print"))
        time.sleep(1.5)  # a second document would have arrived by now
        self.assertEqual([d.title for d in cups.captured_documents()], ["Order A-1001"])

    def test_readme_steps_print_each_order_once(self):
        # 1. setup.sh, as in the repository: first with no client built, then with it.
        extension = self.root / "repo" / "examples" / "extension"
        shutil.copytree(REPO_ROOT / "examples" / "extension", extension,
                        ignore=shutil.ignore_patterns("print-client"))
        dist = self.root / "repo" / "build" / "dist"
        dist.mkdir(parents=True)
        refused = subprocess.run(["sh", str(extension / "setup.sh")], capture_output=True, text=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("bash scripts/build-client", refused.stderr)
        before = sorted(p.name for p in extension.iterdir())
        shutil.copy(packed_client(), dist)
        subprocess.run(["sh", str(extension / "setup.sh")], check=True, capture_output=True)
        self.assertEqual(sorted(p.name for p in extension.iterdir()), sorted(before + ["print-client"]))

        # 2. Loaded unpacked into the default profile; no host registered yet.
        cups = CupsScheduler()
        self.addCleanup(cups.close)
        browser = ChromiumBrowser(self.root, extension, extra_env=dict(
            cups.env, XDG_STATE_HOME=str(self.root / "state")))
        browser.user_data_dir = self.home / ".config" / "chromium"
        self.addCleanup(browser.close)
        browser.start()
        extension_id = self.loaded_extension_id(browser)
        # The README's way to the id without the browser: the SHA-256 of the folder's path.
        digest = subprocess.run(["sh", "-c", "printf '%s' \"$(cd \"$1\" && pwd -P)\" | sha256sum",
                                 "sh", str(extension)], capture_output=True, text=True).stdout
        self.assertEqual(extension_id, digest[:32].translate(str.maketrans("0123456789abcdef",
                                                                           "abcdefghijklmnop")))
        page = ExamplePage(browser, f"chrome-extension://{extension_id}/print.html")
        status = page.settled()
        self.assertIn("not installed", status)
        self.assertIn("Specified native messaging host not found.", status)

        # 3. Registered without, then with this extension's origin.
        self.install_user()
        status = page.click("refresh")
        self.assertIn("installed, but not for this extension", status)
        self.assertIn(extension_id, status)
        self.install_user("--allow-origin", f"chrome-extension://{extension_id}/")
        self.assertIn("No print queue is listed", page.click("refresh"))
        self.assertIn("No print queue is listed", page.click("print"))
        self.assertTrue(page.evaluate("document.getElementById('reprint').disabled"))

        # 4. Print, Print again, Reprint with the form on another order: two labels of A-1001.
        add_pdf_queue(cups, QUEUE, default=True)
        self.assertEqual(page.click("refresh"), "1 print queue listed.")
        page.fill(street=LONG_STREET)
        self.assertRegex(page.click("print"), r"^Order A-1001 was sent to Label_4x6_203dpi as job \d+\.$")
        (first,) = cups.wait_for_documents(1)
        again = page.click("print")
        self.assertIn("Order A-1001 was printed before", again)
        self.assertIn("nothing was printed again", again)
        time.sleep(3)  # the job is followed meanwhile, on its own line
        self.assertEqual(page.evaluate("document.getElementById('status').textContent"), again)
        page.fill(order="B-2002")
        self.assertEqual(page.answer_dialog("reprint", accept=True), "Print another label for order A-1001?")
        self.assertRegex(page.settled(), r"^Order A-1001 was sent to")
        time.sleep(1.5)  # a third document would have arrived by now
        self.assertEqual([d.title for d in cups.captured_documents()], ["Order A-1001", "Order A-1001 (reprint)"])

        # 5. A paused queue is asked about, and nothing is sent when the answer is no.
        cups.disable(QUEUE)
        self.assertIn("is paused", page.answer_dialog("print", accept=False))
        self.assertEqual(page.settled(), f"Nothing was printed: {QUEUE} is paused.")
        self.assertEqual(len(cups.captured_documents()), 2)

        # 6. On a Letter queue that also offers 4 x 6 in labels, the label is drawn at the
        # queue's 300 dpi and printed on the 4 x 6 in media the page picked.
        office = self.root / "office.ppd"
        office.write_text(letter_and_4x6_pdf_ppd())
        cups.add_queue(OFFICE_QUEUE, str(office))
        page.click("refresh")  # a queue can be selected once it is listed
        page.evaluate(f"document.getElementById('printer').value = {json.dumps(OFFICE_QUEUE)}")
        page.click("refresh")
        paper = page.evaluate("document.getElementById('paper').textContent")
        with self.subTest("the label on the picked media"):
            self.assertIn("Paper: na_letter_8.5x11in", paper)
            self.assertIn("prints on na_index-4x6_4x6in at 300 dpi", paper)
            page.fill(order="C-3003")
            self.assertRegex(page.click("print"), rf"^Order C-3003 was sent to {OFFICE_QUEUE} as job \d+\.$")
            (document,) = cups.wait_for_documents(1, OFFICE_QUEUE)
            pdf = document.read()
            self.assertIn(b"/MediaBox [0 0 288 432]", pdf)  # 4 x 6 in, not Letter
            self.assertIn(b"/Width 1200 /Height 1800", pdf)  # drawn at 300 dpi

        # The long street was wrapped within the label's margins: nothing between the text
        # column and the frame on the right.
        (picture,) = rasterise(first.path, 203, self.root / "pages")
        page_image = read_pnm(picture)
        overrun = [(x, y) for y in range(101, 386) for x in range(780, 800) if page_image.gray(x, y) < 128]
        self.assertEqual(overrun, [])
        # The order number's pattern holds under the "v" flag, so it refuses a space.
        page.fill(order="A 1001")
        self.assertFalse(page.evaluate("document.getElementById('label').checkValidity()"))

    def loaded_extension_id(self, browser: ChromiumBrowser) -> str:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for target in browser.devtools.command("Target.getTargets")["targetInfos"]:
                if target["type"] == "service_worker" and target["url"].endswith("/background.js"):
                    return target["url"].split("/")[2]
            time.sleep(0.1)
        raise TimeoutError(f"the example did not load: {browser.log_tail()}")

    def install_user(self, *options: str):
        """The README's step: the per-user archive unpacked in HOME and install-user.sh run."""
        target = self.home / "vantrel-host"
        target.mkdir(exist_ok=True)
        subprocess.run(["tar", "-xzf", ARCHIVE, "-C", str(target)], check=True)
        (script,) = target.glob("vantrel-print-host-*/install-user.sh")
        env = {"HOME": str(self.home), "PATH": "/usr/bin:/bin"}
        subprocess.run(["sh", str(script), *options], env=env, check=True, capture_output=True)


def letter_and_4x6_pdf_ppd() -> str:
    """A 300-dpi PDF capture queue whose default paper is Letter, with 4 x 6 in labels too."""
    extra = {"PageSize": '"<</PageSize[288 432]/ImagingBBox null>>setpagedevice"',
             "PageRegion": '"<</PageSize[288 432]/ImagingBBox null>>setpagedevice"',
             "ImageableArea": '"0 0 288 432"', "PaperDimension": '"288 432"'}
    ppd = LETTER_300.replace('"application/postscript 0 -"', '"application/pdf 0 -"')
    for keyword, value in extra.items():
        ppd = re.sub(rf"^(\*{keyword} Letter/.*)$", rf"\1\n*{keyword} w288h432/4x6: {value}", ppd,
                     count=1, flags=re.M)
    return ppd


def main():
    global ARCHIVE
    ARCHIVE, rest = testing.built_file_argument("--archive")  # the per-user Linux archive
    testing.run_script(rest, ARCHIVE, testing.CHROMIUM_NEEDED, testing.FIREFOX_NEEDED,
                       testing.CUPSD_NEEDED, testing.CLIENT_NEEDED)


if __name__ == "__main__":
    main()
