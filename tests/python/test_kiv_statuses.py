"""Names and meanings of the statuses (kiv.status_name, kiv.RUNTIME_STATUSES,
KivError.name), and the reference's table of them."""

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


def test_the_reference_tables_the_runtime_codes_as_the_code_has_them():
    text = page("docs/reference/kiv-errors.rst")
    listed = [(int(code), name) for code, name in re.findall(r"^(\d\d)\s+``(KIV_STATUS_\w+)``", text, re.M)]
    assert listed == [(code, status.name) for code, status in sorted(kiv.RUNTIME_STATUSES.items())]
