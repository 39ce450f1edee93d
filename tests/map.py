#!/usr/bin/env python3
"""The map is true: every path that the README's layout table and docs/architecture.md name
exists in the tree. A path is a `backticked` word with a "/" or a file ending; it may be named
from the root or from a folder the text is about ("state/", "label_pdf.cpp"), so it counts
when some file or folder of the tree ends with it. Build outputs, home and system paths and
patterns are not files of the tree and are passed over.

And the map is whole: every folder at the top level and every folder under src/ and tests/ is
named by the layout table, the same way (a folder of tests/unit/ also by the folder of src/
that it mirrors). A folder that moves or appears must be named where it now is.

    python3 tests/map.py
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CODE = re.compile(r"`([^`\s]+)`")
FILE_ENDING = re.compile(r"\.(cpp|hpp|py|md|cmake|sh|json|ts|mjs|js|txt|wxs|in)$")
NOT_OURS = ("build/", "/", "~", "%", "$", "http", "chrome-extension:", "C:", "HKCU", "HKLM")


def named_paths(text: str) -> set[str]:
    found = set()
    for word in CODE.findall(text):
        word = word.rstrip(",.:;")
        if word.startswith(NOT_OURS) or any(c in word for c in "<>*{}()=|"):
            continue
        if "/" in word or FILE_ENDING.search(word):
            found.add(word)
    return found


def layout_section(readme: str) -> str:
    match = re.search(r"^## Layout\n(.*?)(?=^## )", readme, re.M | re.S)
    return match.group(1) if match else ""


def tree_paths() -> set[str]:
    """Every file and folder of the tree, with "/" after folders."""
    paths = set()
    for path in ROOT.rglob("*"):
        relative = path.relative_to(ROOT).as_posix()
        if relative.split("/", 1)[0] in {".git", "build", "node_modules"} or "/node_modules/" in relative:
            continue
        paths.add(relative + "/" if path.is_dir() else relative)
    return paths


def in_tree(path: str, tree: set[str]) -> bool:
    return any(known == path or known.endswith("/" + path) for known in tree)


def missing() -> list[str]:
    sources = {
        "README.md": layout_section((ROOT / "README.md").read_text(encoding="utf-8")),
        "docs/architecture.md": (ROOT / "docs/architecture.md").read_text(encoding="utf-8"),
    }
    tree = tree_paths()
    absent = []
    for document, text in sources.items():
        for path in sorted(named_paths(text)):
            if not in_tree(path, tree):
                absent.append(f"{document} names {path}, which is not in the tree")
    return absent


def named_folder(folder: str, named: set[str]) -> bool:
    """Whether a word of the table names the folder ("src/domain/state/", or "state/" from the
    row of src/domain/)."""
    return any(word.endswith("/") and (folder == word or folder.endswith("/" + word))
               for word in named)


UNIT_TESTS = "tests/unit/"
SKIPPED = {".git", "build", "node_modules", "__pycache__"}


def folders_to_map() -> list[str]:
    """The top-level folders, and every folder under src/ and tests/, with "/" after them."""
    folders = [p for p in ROOT.iterdir() if p.is_dir() and p.name not in SKIPPED]
    for top in ("src", "tests"):
        folders += [p for p in (ROOT / top).rglob("*")
                    if p.is_dir() and not SKIPPED.intersection(p.relative_to(ROOT).parts)]
    return sorted({p.relative_to(ROOT).as_posix() + "/" for p in folders})


def unmapped() -> list[str]:
    """The folders a newcomer must find in the layout table."""
    named = named_paths(layout_section((ROOT / "README.md").read_text(encoding="utf-8")))
    absent = []
    for folder in folders_to_map():
        mirrored = folder.startswith(UNIT_TESTS) and named_folder(
            "src/" + folder[len(UNIT_TESTS):], named)
        if not named_folder(folder, named) and not mirrored:
            absent.append(f"README.md's layout table does not name {folder}")
    return absent


def main() -> int:
    wrong = missing() + unmapped()
    print("\n".join(wrong + [f"{len(wrong)} path(s) named by the map and not in the tree, "
                             "or folders not named"]))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
