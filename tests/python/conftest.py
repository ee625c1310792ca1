"""Fixtures shared by the Python tests of libkiv.

The module, the stand-in driver and the zor tool all come from one build
directory: KIV_BUILD_DIR when set (CTest sets it), else <repo>/build. The
interpreter the tests start is KIV_TEST_PYTHON (CTest passes the build's
choice), else the one running the tests.
"""

import ctypes
import itertools
import json
import os
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.path.abspath(os.environ.get("KIV_BUILD_DIR", os.path.join(REPO, "build")))
PYTHON = os.environ.get("KIV_TEST_PYTHON") or sys.executable
SEARCH_PATH = [BUILD_DIR, os.path.join(REPO, "python")]

STANDIN_LIBRARY = os.path.join(BUILD_DIR, "standin", "libaipudrv.so")

for _entry in reversed(SEARCH_PATH):
    if _entry not in sys.path:
        sys.path.insert(0, _entry)

# The stand-in is chosen by name, for this process and every child it starts:
# the driver's default name means the system's driver, which is not here.
os.environ["AIPU_LIB_PATH"] = STANDIN_LIBRARY

import libkiv  # noqa: E402
from kiv.standin import StandinControls  # noqa: E402


class Standin(StandinControls):
    """The stand-in driver as the runtime loaded it, with its test controls,
    and its entry points by their own names (standin.aipu_standin_...).

    ctypes opens the same file the runtime was told to load (AIPU_LIB_PATH),
    so both share one copy of the driver and its records of calls.
    """

    def __init__(self, path):
        super().__init__(path)
        self.lib.aipu_standin_set_tensor_write_limit.argtypes = [ctypes.c_uint32]

    def __getattr__(self, name):
        return getattr(self.lib, name)


def pytest_configure(config):
    config.addinivalue_line("markers", "stress: long loops with resource checks (test_stress.py)")


@pytest.fixture(scope="session")
def build_dir():
    return BUILD_DIR


@pytest.fixture(scope="session")
def python():
    """Path of the interpreter that child processes of the tests run."""
    return PYTHON


@pytest.fixture
def standin():
    driver = Standin(STANDIN_LIBRARY)
    driver.aipu_standin_reset_calls()
    driver.aipu_standin_set_call_recording(1)  # for last_call
    yield driver
    driver.aipu_standin_set_call_recording(0)
    driver.aipu_standin_set_init_status(0)
    driver.aipu_standin_set_deinit_status(0)
    driver.aipu_standin_set_tensor_write_limit(0xFFFFFFFF)
    driver.aipu_standin_set_call_status(None, 0)
    driver.aipu_standin_set_completion_fault(0)
    driver.aipu_standin_set_close_waits_for_completions(0)
    driver.aipu_standin_set_status_queries_wait(1)


@pytest.fixture
def npu():
    device = libkiv.NPU()
    status = device.kiv_init_context()
    assert status == libkiv.KIV_STATUS_SUCCESS, f"kiv_init_context: {status!r}"
    yield device
    device.kiv_deinit_context()


_model_numbers = itertools.count()


@pytest.fixture
def make_model():
    """make_model(directory, program, io=None) -> path of a new .zor container.

    `program` is a ProgramBuilder (or the program bytes); `io` an IO
    description dict. Each call writes files of its own in `directory`.
    """

    def make(directory, program, io=None):
        n = next(_model_numbers)
        directory = str(directory)
        data = program if isinstance(program, (bytes, bytearray)) else program.build()
        bin_path = os.path.join(directory, f"prog{n}.bin")
        with open(bin_path, "wb") as f:
            f.write(data)
        out = os.path.join(directory, f"model{n}.zor")
        cmd = [os.path.join(BUILD_DIR, "tools", "zor", "zor"), "pack", "--bin", bin_path]
        if io is not None:
            io_path = os.path.join(directory, f"io{n}.json")
            with open(io_path, "w") as f:
                json.dump(io, f)
            cmd += ["--io", io_path]
        subprocess.run(cmd + ["-o", out], check=True, capture_output=True, timeout=120)
        return out

    return make


@pytest.fixture
def run_python():
    """run_python(code, env={NAME: value or None}) -> CompletedProcess of PYTHON -c code (text output)."""

    def run(code, timeout=120, env=None):
        environment = dict(os.environ)
        environment["KIV_BUILD_DIR"] = BUILD_DIR
        search = SEARCH_PATH + [environment.get("PYTHONPATH", "")]
        environment["PYTHONPATH"] = os.pathsep.join(search).rstrip(os.pathsep)
        for name, value in (env or {}).items():  # None removes a variable
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        return subprocess.run([PYTHON, "-c", code], env=environment, capture_output=True, text=True, timeout=timeout)

    return run
