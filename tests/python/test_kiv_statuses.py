"""Names and meanings of the statuses (kiv.status_name, kiv.RUNTIME_STATUSES,
KivError.name), and the pages that list them and the environment variables:
the tables of docs/logging-and-errors.md and docs/reference/kiv-errors.rst
must say what the code does."""

import os
import pickle
import re

import pytest

import kiv
import libkiv
from conftest import REPO

RUNTIME_CODES = {64, 65, 66, 67, 69}


def page(path):
    with open(os.path.join(REPO, path), encoding="utf-8") as f:
        return f.read()


def test_the_runtime_codes_have_names_texts_and_meanings_that_libkiv_lacks():
    assert set(kiv.RUNTIME_STATUSES) == RUNTIME_CODES
    for code, status in kiv.RUNTIME_STATUSES.items():
        assert status.code == code
        assert re.fullmatch(r"KIV_STATUS_ERROR_[A-Z_]+", status.name), status
        assert status.text and status.meaning, status
        assert libkiv.kiv_status_t(code).name == "???"  # what libkiv itself shows
        assert kiv.status_name(code) == kiv.status_name(libkiv.kiv_status_t(code)) == status.name
    with pytest.raises(TypeError):
        kiv.RUNTIME_STATUSES[70] = None  # read-only


@pytest.mark.parametrize("status, name", [
    (0, "KIV_STATUS_SUCCESS"),
    (libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL, "KIV_STATUS_ERROR_OPEN_FILE_FAIL"),
    (1159, "KIV_STATUS_ERROR_ZERO_DIVISION_ERR"),
    (66, "KIV_STATUS_ERROR_BACKEND_LOAD_FAIL"),
    (42, None),  # a driver's code without a name
    (68, None),
    (2**32 - 1, None),
])
def test_status_name_names_every_named_status(status, name):
    assert kiv.status_name(status) == name


@pytest.mark.parametrize("status, error", [("12", TypeError), (None, TypeError), (True, TypeError), (1.0, TypeError),
                                           (-1, ValueError), (2**32, ValueError)])
def test_status_name_refuses_what_is_no_status(status, error):
    with pytest.raises(error):
        kiv.status_name(status)


def test_errors_carry_the_name_of_their_status_also_without_a_context(tmp_path):
    with pytest.raises(kiv.KivError) as info:
        kiv.Runtime(driver=str(tmp_path / "none.so"))
    error = info.value
    assert (error.code, error.name) == (66, "KIV_STATUS_ERROR_BACKEND_LOAD_FAIL")
    assert error.message == kiv.RUNTIME_STATUSES[66].text
    assert pickle.loads(pickle.dumps(error)).name == error.name
    # A driver's status on an object without a context: its name stands for the text.
    closed = libkiv.NPU()
    assert kiv.errors.status_text(closed, libkiv.KIV_STATUS_ERROR_TIMEOUT) == "KIV_STATUS_ERROR_TIMEOUT"
    assert kiv.errors.status_text(closed, 64) == kiv.RUNTIME_STATUSES[64].text
    assert kiv.errors.status_text(closed, 42) == "unknown status 42"
    assert kiv.KivError("kiv_x", 42, "text").name is None


def table_rows(text, first_header):
    """The rows of the Markdown table whose header starts with `first_header`, as lists of cells."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("| " + first_header))
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip().strip("`") for cell in line.strip().strip("|").split("|")])
    return rows


def test_the_logging_page_tables_the_runtime_codes_as_the_code_has_them():
    rows = table_rows(page("docs/logging-and-errors.md"), "Code | Name | Text")
    assert [(int(code), name, text) for code, name, text, _ in rows] == [
        (code, status.name, status.text) for code, status in sorted(kiv.RUNTIME_STATUSES.items())]


def test_the_reference_tables_the_runtime_codes_as_the_code_has_them():
    text = page("docs/reference/kiv-errors.rst")
    listed = [(int(code), name) for code, name in re.findall(r"^(\d\d)\s+``(KIV_STATUS_\w+)``", text, re.M)]
    assert listed == [(code, status.name) for code, status in sorted(kiv.RUNTIME_STATUSES.items())]


def variables_the_code_reads():
    """Every environment variable the runtime, the stand-in, kiv and the pip build read."""
    reads = re.compile(r'(?:getenv|env_status|environ\.get|environ\[|_ENV =)\(?\s*"([A-Z][A-Z0-9_]+)"')
    found = set()
    roots = ["kiv_umd/src", "standin_driver/src", "python/kiv", "setup.py"]
    for root in roots:
        path = os.path.join(REPO, root)
        files = [path] if os.path.isfile(path) else [
            os.path.join(d, f) for d, _, names in os.walk(path) for f in names if f.endswith((".cpp", ".h", ".py"))]
        for name in files:
            with open(name, encoding="utf-8") as f:
                found |= set(reads.findall(f.read()))
    return found


def test_the_logging_page_lists_every_environment_variable_the_code_reads():
    found = variables_the_code_reads()
    assert {"AIPU_LIB_PATH", "KIV_LOG_LEVEL", "AIPU_STANDIN_INIT_STATUS", "KIV_INSTALL_STANDIN_DRIVER"} <= found
    listed = {name for row in table_rows(page("docs/logging-and-errors.md"), "Variable | Read by")
              for name in re.findall(r"`([A-Z][A-Z0-9_]+)`", "`" + row[0] + "`")}
    assert found <= listed, "not on the page: %s" % sorted(found - listed)


def test_the_logging_page_gives_every_level_the_runtime_takes():
    with open(os.path.join(REPO, "kiv_umd", "src", "kiv_log.cpp"), encoding="utf-8") as f:
        source = f.read()
    # The names init_log_level_from_env compares the variable with, in its order.
    levels = re.findall(r'\{"([A-Z]+)", LogLevel::', source[source.index("init_log_level_from_env"):])
    rows = table_rows(page("docs/logging-and-errors.md"), "`KIV_LOG_LEVEL` | Records")
    assert [row[0].split("`")[0] for row in rows] == levels == ["DEBUG", "INFO", "WARNING", "ERROR", "NONE"]


def test_one_constructor_makes_the_error_of_every_failed_call(npu):
    from kiv.errors import INVALID_HANDLE, check, failure

    error = failure(npu, "kiv_load_graph", 12, "m.zor")
    assert str(error) == "kiv_load_graph failed with status 12: cannot open file (m.zor)"
    assert error.name == "KIV_STATUS_ERROR_OPEN_FILE_FAIL"
    with pytest.raises(kiv.KivError) as info:
        check(npu, "kiv_load_graph", 12, "m.zor")
    assert str(info.value) == str(error)
    check(npu, "kiv_load_graph", 0, "m.zor")  # success raises nothing
    assert INVALID_HANDLE == 64
    assert str(failure(npu, "kiv_clean_job", INVALID_HANDLE)) == (
        "kiv_clean_job failed with status 64: invalid runtime context handle")
