"""One switch for what libkiv prints about failures: an NPU object's error
lines (kiv._native.set_error_lines, kiv.Runtime(error_lines=...)) cover
every "[PY UMD ERROR]" line of its methods, and, while it opens a context or
reads a model file, the container reader's lines and the runtime's log
records, which still come when KIV_LOG_LEVEL asks for the log."""

import json

import pytest

import kiv
import libkiv

# Failing calls of an open NPU object, each with the line it prints.
FAILING_CALLS = [
    (lambda npu: npu.kiv_load_tensor(0, 0, "text"),
     "[PY UMD ERROR] input tensor only supports bytes,bytearray or numpy array\n"),
    (lambda npu: npu.kiv_add_batch(0, 0, ["text"], []),
     "[PY UMD ERROR] kiv_add_batch only accepts bytes, bytearray or numpy array\n"),
    (lambda npu: npu.kiv_add_batch(0, 0, [], [b"x"]),
     "[PY UMD ERROR] kiv_add_batch cannot accept `bytes` object for output, provide bytearray or numpy array\n"),
    (lambda npu: npu.kiv_ioctl(libkiv.npu, 999),
     "[PY UMD ERROR] kiv_ioctl invalid cmd 999\n"),
    (lambda npu: npu.kiv_ioctl(libkiv.npu, libkiv.KIV_IOCTL_ALLOC_SHARE_BUF),
     "[PY UMD ERROR] please provide kwargs size\n"),
    (lambda npu: npu.kiv_ioctl(libkiv.npu, libkiv.KIV_IOCTL_SET_PROFILE, {}, b""),
     "[PY UMD ERROR] kiv_ioctl with 3 args must use cmd: AIPU_IOCTL_WRITE_DMABUF\n"),
    (lambda npu: npu.kiv_unload_graph(0xBAD),
     "[PY UMD ERROR] kiv_unload_graph: invalid graph id\n"),
]


@pytest.mark.parametrize("call, line", FAILING_CALLS)
def test_every_error_line_of_an_npu_object_follows_its_switch(npu, capfd, call, line):
    kiv._native.set_error_lines(npu, False)
    quiet_status = call(npu)
    assert capfd.readouterr() == ("", "")
    kiv._native.set_error_lines(npu, True)
    assert call(npu) == quiet_status
    assert capfd.readouterr() == ("", line)


FAILED_OPENINGS = r"""
import json, sys
import kiv
error_lines = sys.argv[1] == "on"
failures = []
for path in sys.argv[2:]:
    with kiv.Runtime(error_lines=error_lines) as runtime:
        try:
            runtime.load(path)
        except kiv.KivError as error:
            failures.append(error.code)
try:
    kiv.Runtime(driver="/nonexistent/libaipudrv.so", error_lines=error_lines)
except kiv.KivError as error:
    failures.append(error.code)
print(json.dumps(failures))
"""


def _open_and_fail(run_python, tmp_path, error_lines, log_level=None):
    empty = tmp_path / "empty.zor"
    empty.write_bytes(b"")
    missing = tmp_path / "missing.zor"
    code = "import sys; sys.argv[1:] = %r\n" % ([error_lines, str(missing), str(empty)],) + FAILED_OPENINGS
    # Buffered as a program's output is in a pipe, where libkiv's lines and
    # Python's own could otherwise come out of order.
    done = run_python(code, env={"KIV_LOG_LEVEL": log_level, "PYTHONUNBUFFERED": None})
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == [12, 69, 66]
    return done, missing, empty


def test_a_runtime_without_error_lines_prints_nothing_about_what_it_cannot_load(run_python, tmp_path):
    done, _, _ = _open_and_fail(run_python, tmp_path, "off")
    assert done.stdout == "[12, 69, 66]\n" and done.stderr == ""


def test_a_runtime_with_error_lines_prints_the_native_lines(run_python, tmp_path):
    done, missing, empty = _open_and_fail(run_python, tmp_path, "on")
    container_lines = ["Error loading model: %s" % missing, "Error deserializing model: %s" % empty]
    assert done.stdout.splitlines()[:-1] == container_lines
    assert "[PY UMD ERROR] kiv_load_graph: cannot open file\n" in done.stderr
    assert "load_aipu_library: Failed to load backend: /nonexistent/libaipudrv.so" in done.stderr


def test_the_log_still_comes_when_kiv_log_level_asks_for_it(run_python, tmp_path):
    done, _, _ = _open_and_fail(run_python, tmp_path, "off", log_level="INFO")
    assert done.stdout == "[12, 69, 66]\n"
    assert "load_aipu_library: Failed to load backend: /nonexistent/libaipudrv.so" in done.stderr
    assert "kiv_init_context: Failed to initialize adapter" in done.stderr
    assert "[PY UMD ERROR]" not in done.stderr
