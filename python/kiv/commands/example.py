"""kiv example: writes an example model of the guides (kiv.examples)."""

from __future__ import annotations

import argparse
import sys

from .. import examples
from .output_files import check_file


def command_example(args: argparse.Namespace) -> int:
    path = args.output if args.output is not None else args.name + ".zor"
    check_file("-o", path)
    try:
        examples.write(args.name, path)
    except ModuleNotFoundError as err:
        # The stand-in is not installed: a fact of the machine, not a fault.
        print("kiv example: %s" % err, file=sys.stderr)
        return 1
    print("wrote %s" % path)
    return 0
