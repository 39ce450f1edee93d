#!/usr/bin/env python3
"""The layers of src/ depend one way: base <- domain <- protocol <- doctor <- main_*.cpp, and
inside the domain state <- printing <- submit <- messages (the watchdog beside state). The
doctor sits above the protocol, whose framing and constants it uses to speak to a host. A source file that includes a header of a layer above its own fails this check, and
so does a domain file that reaches the wire format (the JSON library or protocol/): the domain
returns typed results, and the protocol layer alone turns them into answers.

    python3 tests/layering.py
"""

import re
import sys
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"
LAYERS = {"base": 0, "domain": 1, "protocol": 2, "doctor": 3}
DOMAIN_ROOMS = {"state": 0, "printing": 1, "submit": 2, "messages": 3}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def layer_of(relative: str) -> int:
    top = relative.split("/", 1)[0]
    return LAYERS.get(top, len(LAYERS))  # main_*.cpp and anything else sits on top


def room_of(relative: str) -> int:
    """A domain file's room; the domain's own files (the watchdog) sit at the bottom."""
    parts = relative.split("/")
    return DOMAIN_ROOMS.get(parts[1], 0) if len(parts) > 2 else 0


def violations() -> list[str]:
    found = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        relative = path.relative_to(SRC).as_posix()
        own = layer_of(relative)
        for kind, header in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if kind == '"' and (SRC / header).is_file() and layer_of(header) > own:
                found.append(f"src/{relative} includes {header}, a layer above its own")
            if (kind == '"' and own == LAYERS["domain"] and header.startswith("domain/")
                    and room_of(header) > room_of(relative)):
                found.append(f"src/{relative} includes {header}, a domain room above its own")
            if own == LAYERS["domain"] and (header.startswith("nlohmann/") or
                                            header == "base/json.hpp"):
                found.append(f"src/{relative} includes {header}: the domain knows no JSON values")
    return found


def main() -> int:
    found = violations()
    for line in found:
        print(line)
    print(f"{len(found)} include(s) against the layering")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
