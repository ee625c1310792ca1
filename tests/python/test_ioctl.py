"""kiv_ioctl from Python: the records each command hands the driver, the
tuples built from them, share-buffer views, and the DMA-buffer data form."""

import ctypes
import os
import struct

import numpy as np
import pytest

import libkiv
from helpers_models import add_program, load_graph

DEV = libkiv.npu
INVALID_CONFIG = libkiv.KIV_STATUS_ERROR_INVALID_CONFIG
INVALID_OP = libkiv.KIV_STATUS_ERROR_INVALID_OP


def ioctl_raw(standin):
    """The record as it reached the driver, before the driver filled its outputs."""
    call = standin.last_call("aipu_ioctl")
    assert call is not None and call["arg_null"] is False
    return bytes.fromhex(call["raw"])


def u32(raw, offset):
    return struct.unpack_from("<I", raw, offset)[0]


def u64(raw, offset):
    return struct.unpack_from("<Q", raw, offset)[0]


# --- records of the keyword form ---------------------------------------------------------------


def test_set_profile(npu, standin):
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_SET_PROFILE, set_profile=1, unrelated="ignored") == (0,)
    call = standin.last_call("aipu_ioctl")
    assert call["cmd"] == 255
    assert bytes.fromhex(call["raw"])[:4] == struct.pack("<I", 1)


def test_build_version_of_a_graph(npu, standin, tmp_path, make_model, capfd):
    graph_id = load_graph(npu, make_model(tmp_path, add_program()))
    try:
        status, version = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_GET_KIVBIN_BUILDVERSION, graph_id=graph_id)
        assert status == 0 and isinstance(version, int)
        assert ioctl_raw(standin) == struct.pack("<Q8x", graph_id)
        status, _ = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_GET_KIVBIN_BUILDVERSION, graph_id=graph_id + 12345)
        assert status != 0
        assert capfd.readouterr().err == ""  # the keyword form returns a driver failure, never prints it
    finally:
        npu.kiv_unload_graph(graph_id)


def test_share_buffer_view_is_the_driver_buffer(npu, standin):
    status, pa, view = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_ALLOC_SHARE_BUF, size=4096)
    assert status == 0 and pa != 0
    assert ioctl_raw(standin) == struct.pack("<QQII", 0, 0, 4096, 0)
    assert isinstance(view, np.ndarray) and view.dtype == np.uint8 and view.shape == (4096,)
    assert view.flags.writeable and not view.flags.owndata
    va = view.__array_interface__["data"][0]
    assert va != 0
    # Writes through the view land in the driver's memory itself.
    view[:] = np.arange(4096) % 251
    assert ctypes.string_at(va, 4096) == (np.arange(4096) % 251).astype(np.uint8).tobytes()
    ctypes.memmove(va + 10, b"\xaa\xbb", 2)
    assert view[10] == 0xAA and view[11] == 0xBB
    # Dropping the view does not free the buffer; 264 does.
    del view
    assert ctypes.string_at(va + 10, 2) == b"\xaa\xbb"
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_FREE_SHARE_BUF, pa=pa, size=4096) == (0,)
    assert ioctl_raw(standin) == struct.pack("<QQII", pa, 0, 4096, 0)
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_FREE_SHARE_BUF, pa=pa, size=4096)[0] != 0


def test_share_buffer_memory_type_keyword(npu, standin):
    status, pa, view = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_ALLOC_SHARE_BUF, size=64, mem_type=1)
    assert status == 0 and view.shape == (64,)
    assert ioctl_raw(standin) == struct.pack("<QQII", 0, 0, 64, 1)
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_FREE_SHARE_BUF, pa=pa, size=64) == (0,)


def test_dma_buffer_cycle_and_write(npu, standin):
    status, fd = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_ALLOC_DMABUF, bytes=256)
    assert status == 0 and fd >= 0
    assert ioctl_raw(standin) == struct.pack("<i4xQ", 0, 256)
    os.fstat(fd)  # a real descriptor of this process
    for cmd in (267, libkiv.KIV_IOCTL_ATTACH_DMABUF):
        result = npu.kiv_ioctl(DEV, cmd, dmabuf_fd=fd)
        assert len(result) == 3 and result[0] == 0
        # Zeroed outputs: a failing driver would hand back zeros, not stack contents.
        assert ioctl_raw(standin) == struct.pack("<i4xQQ", fd, 0, 0)
        assert result[1] != 0 and result[2] == 256
        assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_DETACH_DMABUF, dmabuf_fd=fd) == (0,)
        assert ioctl_raw(standin)[:4] == struct.pack("<i", fd)

    payload = bytes(range(40, 90))
    status = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_WRITE_DMABUF, {"dmabuf_fd": fd, "offset_in_dmabuf": 16, "size": 30},
                           payload)
    assert status == 0
    raw = ioctl_raw(standin)
    assert len(raw) == 24
    assert struct.unpack_from("<iII", raw, 0) == (fd, 16, 30) and u64(raw, 16) != 0
    # The DMA buffer is a file in this process: read it back directly.
    assert os.pread(fd, 30, 16) == payload[:30]
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_WRITE_DMABUF, {"dmabuf_fd": fd, "size": 3}, "héj") == 0
    assert os.pread(fd, 3, 0) == "héj".encode()[:3]
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_WRITE_DMABUF, {"dmabuf_fd": fd}, bytearray(b"zz")) == 0
    assert struct.unpack_from("<iII", ioctl_raw(standin), 0) == (fd, 0, 0)

    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_FREE_DMABUF, dmabuf_fd=fd) == (0,)
    assert ioctl_raw(standin)[:4] == struct.pack("<i", fd)


def test_version_and_record_less_commands(npu, standin):
    status, umd, kmd = npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_GET_VERSION)
    assert status == 0 and isinstance(umd, str) and isinstance(kmd, str)
    assert umd and kmd
    assert ioctl_raw(standin) == bytes(32)
    for cmd in (273, 274, 275):
        result = npu.kiv_ioctl(DEV, cmd)
        assert len(result) == 1 and result[0] == 0
        call = standin.last_call("aipu_ioctl")
        assert call["cmd"] == cmd and call["arg_null"] is True


# --- refusals before the driver ----------------------------------------------------------------


@pytest.mark.parametrize(
    "cmd", [0, 1, 254, 257, 258, 259, 260, 261, 262, 268, 269, 276, 4096, 2**32 - 1]
)
def test_invalid_commands(npu, standin, capfd, cmd):
    standin.aipu_standin_reset_calls()
    result = npu.kiv_ioctl(DEV, cmd, graph_id=1, size=8)
    assert result == (INVALID_OP,) and type(result[0]) is libkiv.kiv_status_t
    assert capfd.readouterr().err == "[PY UMD ERROR] kiv_ioctl invalid cmd %u\n" % cmd
    assert standin.last_call("aipu_ioctl") is None


@pytest.mark.parametrize(
    "cmd, kwargs, missing, result",
    [
        (255, {}, "set_profile", (INVALID_CONFIG,)),
        (256, {"set_profile": 1}, "graph_id", (INVALID_CONFIG, 0)),
        (263, {"pa": 5}, "size", (INVALID_CONFIG, 0, 0)),
        (264, {"size": 4096}, "pa", (INVALID_CONFIG,)),
        (264, {"pa": 4096}, "size", (INVALID_CONFIG,)),
        (265, {"size": 4}, "bytes", (INVALID_CONFIG, 0)),
        (266, {}, "dmabuf_fd", (INVALID_CONFIG,)),
        (267, {}, "dmabuf_fd", (INVALID_CONFIG, 0, 0)),
        (270, {"fd": 3}, "dmabuf_fd", (INVALID_CONFIG, 0, 0)),
        (271, {}, "dmabuf_fd", (INVALID_CONFIG,)),
    ],
)
def test_missing_keywords(npu, standin, capfd, cmd, kwargs, missing, result):
    standin.aipu_standin_reset_calls()
    assert npu.kiv_ioctl(DEV, cmd, **kwargs) == result
    assert capfd.readouterr().err == "[PY UMD ERROR] please provide kwargs %s\n" % missing
    assert standin.last_call("aipu_ioctl") is None


@pytest.mark.parametrize(
    "kwargs, native",
    [({"size": "4096"}, "unsigned int"), ({"size": -1}, "unsigned int"), ({"size": 2**32}, "unsigned int"),
     ({"size": 1.5}, "unsigned int")],
)
def test_unconvertible_keyword_values(npu, standin, kwargs, native):
    standin.aipu_standin_reset_calls()
    with pytest.raises(RuntimeError, match="C\\+\\+ type '%s'" % native):
        npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_ALLOC_SHARE_BUF, **kwargs)
    with pytest.raises(RuntimeError, match="C\\+\\+ type 'unsigned long'"):
        npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_FREE_SHARE_BUF, pa=-3, size=1)
    with pytest.raises(RuntimeError, match="C\\+\\+ type 'int'"):
        npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_FREE_DMABUF, dmabuf_fd=2**31)
    assert standin.last_call("aipu_ioctl") is None


def test_data_form_refusals(npu, standin, capfd):
    standin.aipu_standin_reset_calls()
    assert npu.kiv_ioctl(DEV, 269, {"size": 1}, b"x") == INVALID_OP
    assert capfd.readouterr().err == "[PY UMD ERROR] kiv_ioctl with 3 args must use cmd: AIPU_IOCTL_WRITE_DMABUF\n"
    for data in (None, 5, [1, 2]):
        with pytest.raises(TypeError):
            npu.kiv_ioctl(DEV, 268, {"size": 0}, data)
    with pytest.raises(TypeError):
        npu.kiv_ioctl(DEV, 268, {"size": -1}, b"")
    # More bytes asked for than given: refused before anything is copied.
    assert npu.kiv_ioctl(DEV, 268, {"dmabuf_fd": 3, "size": 9}, b"12345678") == libkiv.KIV_STATUS_ERROR_INVALID_SIZE
    err = capfd.readouterr().err
    assert err.startswith("[PY UMD ERROR] kiv_ioctl: ") and "8" in err and "9" in err
    assert standin.last_call("aipu_ioctl") is None
    # py_arg and data as keywords land in the keyword form, where 268 is no command.
    assert npu.kiv_ioctl(DEV, 268, py_arg={"size": 1}, data=b"x") == (INVALID_OP,)
    assert capfd.readouterr().err == "[PY UMD ERROR] kiv_ioctl invalid cmd 268\n"


def test_data_form_driver_failure_is_printed(npu, capfd):
    status = npu.kiv_ioctl(DEV, 268, {"dmabuf_fd": 987654, "size": 2}, b"ab")
    assert status != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_ioctl: ")


@pytest.mark.parametrize(
    "size, status", [(0, libkiv.KIV_STATUS_ERROR_INVALID_SIZE), (2**31, libkiv.KIV_STATUS_ERROR_BUF_ALLOC_FAIL)]
)
def test_share_buffer_without_memory_gives_the_status_and_no_array(npu, standin, size, status):
    # No buffer from the driver: the status says why, and there is nothing to view.
    assert npu.kiv_ioctl(DEV, libkiv.KIV_IOCTL_ALLOC_SHARE_BUF, size=size) == (status, 0, None)
    assert ioctl_raw(standin) == struct.pack("<QQII", 0, 0, size, 0)
