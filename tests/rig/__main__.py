"""The rig's commands for ctest: `python3 -m rig make-template DIR` creates the Wine prefix
template of one test run, `python3 -m rig remove-template DIR` removes it (run from tests/)."""

import argparse
import shutil
import sys
from pathlib import Path

from rig.programs import WINE64, WINESERVER
from rig.testing import exit_if_missing
from rig.wine import make_template

parser = argparse.ArgumentParser(prog="python3 -m rig", description="Wine test rig utilities")
sub = parser.add_subparsers(dest="command", required=True)
sub.add_parser("make-template", help="create the prefix template for one test run").add_argument("dir")
sub.add_parser("remove-template", help="remove a prefix template").add_argument("dir")
args = parser.parse_args()
if args.command == "make-template":
    if WINE64 is None or WINESERVER is None:
        exit_if_missing(["wine64 is not installed (apt-get install wine64)"], "")
    seconds = make_template(Path(args.dir))
    print(f"Wine prefix template created in {seconds:.1f} s: {args.dir}")
else:
    shutil.rmtree(args.dir, ignore_errors=True)
    print(f"removed {args.dir}")
sys.stdout.flush()
