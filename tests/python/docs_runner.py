"""Runs the code blocks of one document in order, as a reader would.

Usage: docs_runner.py BLOCKS.json

BLOCKS.json is a list of {"lang", "code", "where"}: "python" blocks run in
this one interpreter, in a shared namespace; "sh" blocks run in bash. All run
in the working directory. What a shell block exports is kept for the blocks
after it, as in the one shell a reader types them into (and what a Python
block puts in os.environ too). Each block's standard output is framed by
marker lines; a failing block ends the run with its location on standard
error.
"""

import ctypes
import json
import os
import subprocess
import sys
import traceback

MARK = "\x1e--docs-block %d--\x1e"


def line_buffered_c_stdout():
    """The runtime's own messages (printf) appear where a terminal shows them:
    between the lines Python prints, not at exit."""
    libc = ctypes.CDLL(None)
    stdout = ctypes.c_void_p.in_dll(libc, "stdout")
    libc.setvbuf(stdout, None, 1, 0)  # _IOLBF
    sys.stdout.reconfigure(line_buffering=True)


def flush():
    sys.stdout.flush()
    ctypes.CDLL(None).fflush(None)


def run_shell(block):
    """Runs a shell block and keeps the environment it leaves."""
    reader, writer = os.pipe()
    script = "%s\nenv -0 >&%d\n" % (block["code"], writer)
    with subprocess.Popen(["bash", "-e", "-c", script], pass_fds=(writer,), stdout=sys.stdout) as shell:
        os.close(writer)
        with os.fdopen(reader, "rb") as pipe:
            environment = pipe.read()
    if shell.returncode != 0:
        raise RuntimeError("the shell block exited with status %d" % shell.returncode)
    adopt_environment(environment)


def adopt_environment(dump):
    for entry in dump.split(b"\0"):
        name, _, value = entry.decode().partition("=")
        if name and os.environ.get(name) != value:
            os.environ[name] = value
            if name == "PYTHONPATH":
                for path in reversed(value.split(os.pathsep)):
                    if path and path not in sys.path:
                        sys.path.insert(0, path)


def main():
    (blocks_file,) = sys.argv[1:]
    with open(blocks_file) as f:
        blocks = json.load(f)
    line_buffered_c_stdout()
    namespace = {"__name__": "__main__"}
    for number, block in enumerate(blocks):
        print(MARK % number)
        flush()
        try:
            if block["lang"] == "python":
                exec(compile(block["code"], block["where"], "exec"), namespace)
            else:
                run_shell(block)
        except BaseException:
            flush()
            print("\n%s failed:" % block["where"], file=sys.stderr)
            traceback.print_exc()
            return 1
        flush()
    print(MARK % len(blocks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
