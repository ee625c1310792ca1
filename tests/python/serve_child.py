"""Runs the kiv command (kiv serve ...) in this process, and applies the
stand-in NPU's fault controls that the test writes to standard input, one a
line, each answered "control ok" on standard output:

    completion_fault N          normal 0, late 1, twice 2, never 3
    call_status ENTRY STATUS    ENTRY fails with STATUS (0: works again)

The controls act on this process's stand-in, the one the server runs on.
"""

import sys
import threading

from kiv.standin import StandinControls

import kiv.cli


def apply_controls(controls):
    for line in sys.stdin:
        command, *args = line.split()
        if command == "completion_fault":
            controls.set_completion_fault(int(args[0]))
        elif command == "call_status":
            controls.set_call_status(args[0], int(args[1]))
        else:
            print("control unknown: %s" % line.strip(), flush=True)
            continue
        print("control ok", flush=True)


if __name__ == "__main__":
    threading.Thread(target=apply_controls, args=(StandinControls(),), daemon=True).start()
    sys.exit(kiv.cli.main(sys.argv[1:]))
