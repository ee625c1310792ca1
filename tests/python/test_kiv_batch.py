"""Model.run_batch over the batch queue methods."""

import numpy as np
import pytest

import kiv
from helpers_kiv import copy_model, fc_model
from helpers_models import FC_K, fc_reference


@pytest.fixture
def fc(tmp_path, make_model):
    with kiv.Runtime() as runtime, runtime.load(fc_model(tmp_path, make_model)) as model:
        yield model


def test_every_input_set_gets_its_own_outputs(fc):
    sets = [np.full((1, FC_K), v, np.float32) for v in (-1.0, 0.5, 2.0)]
    results = fc.run_batch(sets)
    assert len(results) == 3
    for x, (y, sq) in zip(sets, results):
        ref_y, ref_sq = fc_reference(x)
        assert y.dtype == np.float32 and y.shape == (1, 3)
        np.testing.assert_allclose(y, ref_y, rtol=1e-6)
        np.testing.assert_allclose(sq, ref_sq, rtol=1e-6)


def test_input_sets_by_sequence_and_name_agree_with_run(fc):
    x = np.linspace(-3, 3, FC_K, dtype=np.float32)
    by_seq, by_name = fc.run_batch([[x], {"x": x}])
    expected = fc.run(x)
    for got in (by_seq, by_name):
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b)


def test_empty_batch_and_bad_set_queue_nothing(fc, standin):
    assert fc.run_batch([]) == []
    standin.aipu_standin_reset_calls()
    with pytest.raises(TypeError, match="input 'x'"):
        fc.run_batch([np.zeros(FC_K, np.float32), np.zeros(FC_K, np.int32)])
    assert standin.last_call("aipu_create_batch_queue") is None


def test_outputs_a_driver_leaves_short_hold_zeros(tmp_path, make_model, standin):
    """Output arrays are new: bytes the driver does not write read as zeros,
    never as memory freed before."""
    with kiv.Runtime() as runtime, runtime.load(copy_model(tmp_path, make_model, shape=(64,))) as model:
        standin.aipu_standin_set_tensor_write_limit(100)
        for _ in range(3):
            garbage = [np.full(64, 7.5, np.float32) for _ in range(16)]
            del garbage
            (out,), (again,) = model.run_batch([np.arange(64, dtype=np.float32)] * 2)
            (ran,) = model.run(np.arange(64, dtype=np.float32))
            (submitted,) = model.submit(np.arange(64, dtype=np.float32)).result(timeout=10)
            for output in (out, again, ran, submitted):
                np.testing.assert_array_equal(output[:25], np.arange(25, dtype=np.float32))  # 100 bytes written
                assert not output[25:].any(), "an output carries bytes the driver never wrote"
