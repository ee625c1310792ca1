"""kiv.Model: inspection, running with numpy arrays, input checks and quantisation."""

import json
import os
import subprocess

import numpy as np
import pytest

import kiv
import libkiv
from helpers_kiv import copy_model, copy_program, fc_model, ramp
from helpers_models import FC_K, add_program, fc_reference


@pytest.fixture
def runtime():
    with kiv.Runtime() as rt:
        yield rt


# --- inspection --------------------------------------------------------------------------------


def test_inputs_and_outputs_combine_container_and_descriptors(runtime, tmp_path, make_model):
    with runtime.load(fc_model(tmp_path, make_model)) as model:
        assert [t.name for t in model.inputs] == ["x"]
        assert [t.name for t in model.outputs] == ["y", "sq"]
        x = model.inputs[0]
        assert (x.index, x.shape, x.dtype, x.size) == (0, (1, FC_K), np.dtype(np.float32), FC_K * 4)
        assert x.data_type == libkiv.KIV_DATA_TYPE_F32
        assert x.shape_from_container and not x.is_raw
        assert [o.index for o in model.outputs] == [0, 1]
        assert [o.shape for o in model.outputs] == [(1, 3), (1, FC_K)]


def test_quantisation_parameters_come_from_the_descriptor(runtime, tmp_path, make_model):
    path = copy_model(tmp_path, make_model, shape=(4,), dtype="int8", scale=0.25, zero_point=-3)
    with runtime.load(path) as model:
        info = model.inputs[0]
        assert info.dtype == np.dtype(np.int8)
        assert info.scale == pytest.approx(0.25)
        assert info.zero_point == -3


DTYPES = ["bool", "uint8", "int8", "uint16", "int16", "uint32", "int32", "uint64", "int64", "float16", "float32",
          "float64"]


@pytest.mark.parametrize("dtype", DTYPES)
def test_outputs_have_the_dtype_and_shape_of_the_description(runtime, tmp_path, make_model, dtype):
    shape = (2, 3, 2)
    with runtime.load(copy_model(tmp_path, make_model, shape=shape, dtype=dtype)) as model:
        assert model.inputs[0].dtype == np.dtype(dtype)
        assert model.outputs[0].dtype == np.dtype(dtype)
        value = ramp(shape, dtype, start=1)
        (out,) = model.run(value)
        assert out.dtype == np.dtype(dtype)
        assert out.shape == shape
        np.testing.assert_array_equal(out, value)


def test_container_without_shapes_gives_one_dimensional_arrays(runtime, tmp_path, build_dir):
    program = tmp_path / "prog.bin"
    program.write_bytes(copy_program([2, 4], "int16").build())
    path = tmp_path / "bare.zor"
    subprocess.run([f"{build_dir}/tools/zor/zor", "pack", "--bin", str(program), "-o", str(path)], check=True)
    with runtime.load(path) as model:
        info = model.inputs[0]
        assert info.shape == (8,) and info.dtype == np.dtype(np.int16)
        assert not info.shape_from_container
        # The container's only names are its subgraph's, as zor lists them.
        assert (info.name, model.outputs[0].name) == ("input", "output")
        (out,) = model.run(ramp((8,), np.int16))
        np.testing.assert_array_equal(out, ramp((8,), np.int16))


def _graph_without_names(directory, build_dir):
    """A container from a graph description whose graph lists no tensors but
    whose subgraph names its two inputs and its output."""
    program = directory / "add.bin"
    program.write_bytes(add_program().build())
    description = directory / "unnamed.json"
    description.write_text(json.dumps({
        "name": "unnamed", "version": [1, 0, 0], "inputs": [], "outputs": [], "tensors": [],
        "subgraphs": [{"name": "s", "backend": 1, "inputs": ["a", "b"], "outputs": ["total"], "data": str(program)}],
    }))
    path = directory / "unnamed.zor"
    subprocess.run([f"{build_dir}/tools/zor/zor", "pack", "--graph", str(description), "-o", str(path)], check=True)
    return path


@pytest.mark.parametrize(
    "io, inputs, outputs",
    [
        (None, ["input", "input1"], ["output"]),
        ({"name": "p", "input_tensors": [{"name": "lhs"}], "output_tensors": []}, ["lhs", "input1"], ["output0"]),
        ({"name": "e", "input_tensors": ["", "rhs"], "output_tensors": ["sum"]}, ["input0", "rhs"], ["sum"]),
        ("graph", ["a", "b"], ["total"]),
    ],
)
def test_tensors_are_named_as_zor_names_them(runtime, tmp_path, make_model, build_dir, io, inputs, outputs):
    """The graph's names; where the graph lists none, the first subgraph's;
    input<i> / output<i> where neither names the i-th tensor."""
    if io == "graph":
        path = _graph_without_names(tmp_path, build_dir)
    else:
        path = make_model(tmp_path, add_program(), io=io)
    with runtime.load(path) as model:
        assert [t.name for t in model.inputs] == inputs
        assert [t.name for t in model.outputs] == outputs
    listed = json.loads(subprocess.run([f"{build_dir}/tools/zor/zor", "io", str(path)], check=True,
                                       capture_output=True, text=True).stdout)
    # zor lists the tensors the container names; kiv also those the NPU program has beyond them.
    for kind, names in (("input_tensors", inputs), ("output_tensors", outputs)):
        zor_names = [t["name"] for t in listed[kind]]
        assert names[: len(zor_names)] == zor_names
        assert all(name == "%s%d" % (kind.split("_")[0], i) for i, name in enumerate(names) if i >= len(zor_names))


def test_the_container_is_described_in_one_pass_by_the_naming_rule(tmp_path, make_model):
    """kiv._native.describe: names, shapes, dtype codes and quantisation, as
    the graph lists them, or the first subgraph's names when it lists none."""
    io = {"name": "q", "version": [1, 2, 3],
          "input_tensors": [{"name": "a", "shape": [2, 4], "dtype": 2, "scale": [0.5], "zero_point": [3]}, "b"],
          "output_tensors": [{"name": "sum", "shape": [2, 4], "dtype": 11}]}
    name, version, (inputs, by_subgraph), (outputs, _) = kiv._native.describe(
        os.fsencode(make_model(tmp_path, add_program(), io=io)))
    assert (name, version, by_subgraph) == ("q", "1.2.3", False)
    assert inputs == [("a", [2, 4], 2, [0.5], [3]), ("b", [], 0, [], [])]
    assert outputs == [("sum", [2, 4], 11, [], [])]
    _, _, (inputs, by_subgraph), (outputs, _) = kiv._native.describe(
        os.fsencode(make_model(tmp_path, add_program())))
    assert (inputs, outputs, by_subgraph) == ([("input", [], 0, [], [])], [("output", [], 0, [], [])], True)
    junk = tmp_path / "junk.zor"
    junk.write_bytes(b"definitely not a container")
    with pytest.raises(ValueError, match="is not a zor model container"):
        kiv._native.describe(os.fsencode(junk))


def test_container_shape_that_disagrees_with_the_size_falls_back_with_a_warning(runtime, tmp_path, make_model):
    io = {"name": "bad", "input_tensors": [{"name": "src", "shape": [5, 5]}], "output_tensors": [{"name": "dst"}]}
    path = make_model(tmp_path, copy_program([2, 4], "float32"), io=io)
    with pytest.warns(RuntimeWarning, match="'src'"):
        model = runtime.load(path)
    with model:
        assert model.inputs[0].shape == (8,)
        assert not model.inputs[0].shape_from_container


# --- running -----------------------------------------------------------------------------------


def test_run_computes_every_output(runtime, tmp_path, make_model):
    with runtime.load(fc_model(tmp_path, make_model)) as model:
        x = np.linspace(-1.0, 2.0, FC_K, dtype=np.float32).reshape(1, FC_K)
        y, sq = model.run(x)
        ref_y, ref_sq = fc_reference(x)
        np.testing.assert_allclose(y, ref_y, rtol=1e-6)
        np.testing.assert_allclose(sq, ref_sq, rtol=1e-6)


def test_inputs_by_position_by_name_as_bytes_or_lists_agree(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(2, 3))) as model:
        value = ramp((2, 3), np.float32, start=5)
        expected = model.run(value)[0]
        for form in ({"src": value}, value.tobytes(), value.tolist(), value.reshape(1, 2, 3), value.reshape(2, 1, 3)):
            np.testing.assert_array_equal(model.run(form)[0], expected)
        # Outputs keep their shape and are also there by name.
        outputs = model.run(value)
        assert outputs["dst"] is outputs[0] and outputs.as_dict() == {"dst": outputs[0]}
        assert outputs[0].shape == (2, 3)
        with pytest.raises(KeyError, match="no output named 'nope'"):
            outputs["nope"]


def test_non_contiguous_input_is_read_in_c_order(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(3, 2))) as model:
        base = ramp((2, 3), np.float32)
        (out,) = model.run(base.T)
        np.testing.assert_array_equal(out, np.ascontiguousarray(base.T))


def test_outputs_are_independent_writable_arrays(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(4,))) as model:
        (first,) = model.run(ramp((4,), np.float32))
        first[:] = -1
        (second,) = model.run(ramp((4,), np.float32))
        np.testing.assert_array_equal(second, ramp((4,), np.float32))


@pytest.mark.parametrize(
    "make_args, error, text",
    [
        (lambda v: (v.astype(np.float64),), TypeError, "input 'src' (index 0) expects dtype float32, got float64"),
        (lambda v: (v[:1],), ValueError, "input 'src' (index 0) has shape (2, 3); got shape (1, 3)"),
        (lambda v: (v.reshape(6),), ValueError, "input 'src' (index 0) has shape (2, 3); got shape (6,)"),
        (lambda v: (v.reshape(3, 2).tolist(),), ValueError, "has shape (2, 3); got shape (3, 2)"),
        (lambda v: (v.tobytes()[:-1],), ValueError, "input 'src' (index 0) needs 24 bytes, got 23"),
        (lambda v: (v, v), ValueError, "takes 1 input(s), got 2"),
        (lambda v: ({"nope": v},), ValueError, "unknown input name(s) ['nope']"),
        (lambda v: ({},), ValueError, "missing input(s) ['src']"),
        (lambda v: ("text",), TypeError, "input 'src' (index 0) takes numbers (float32); got str"),
        (lambda v: ([[2**24 + 1] * 3] * 2,), ValueError, "is float32; the integer 16777217 has no exact value"),
        (lambda v: ([[1e39] * 3] * 2,), ValueError, "is float32; 1e+39 is out of its range"),
    ],
)
def test_bad_inputs_are_refused_naming_the_tensor(runtime, tmp_path, make_model, standin, make_args, error, text):
    with runtime.load(copy_model(tmp_path, make_model, shape=(2, 3))) as model:
        standin.aipu_standin_reset_calls()
        with pytest.raises(error) as info:
            model.run(*make_args(ramp((2, 3), np.float32)))
        assert text in str(info.value)
        assert standin.last_call("aipu_create_job") is None  # refused before any job exists


# --- quantisation ------------------------------------------------------------------------------


def test_quantize_rounds_saturates_and_dequantize_inverts(runtime, tmp_path, make_model):
    path = copy_model(tmp_path, make_model, shape=(5,), dtype="int8", scale=0.5, zero_point=10)
    with runtime.load(path) as model:
        info = model.inputs[0]
        q = info.quantize([0.0, 1.26, -2.0, 100.0, -100.0])
        assert q.dtype == np.int8
        assert q.tolist() == [10, 13, 6, 127, -128]
        (out,) = model.run(q)
        np.testing.assert_allclose(model.outputs[0].dequantize(out), [0.0, 1.5, -2.0, 58.5, -69.0])


@pytest.mark.parametrize(
    "value, text",
    [
        ([300] * 5, "input 'src' (index 0) is int8; 300 is out of its range -128..127"),
        ([0.7] * 5, "is int8; 0.7 is not an integer; real values are quantised with model.inputs[0].quantize"),
        ([float("nan")] * 5, "is int8; nan is not an integer"),
        (2, "has shape (5,); got shape ()"),
    ],
)
def test_lists_for_a_quantised_input_must_hold_its_integers(runtime, tmp_path, make_model, value, text):
    path = copy_model(tmp_path, make_model, shape=(5,), dtype="int8", scale=0.5, zero_point=10)
    with runtime.load(path) as model:
        with pytest.raises(ValueError) as info:
            model.run(value)
        assert text in str(info.value)
        (out,) = model.run([-128, -1, 0, 1.0, 127])  # exact values convert
        assert out.tolist() == [-128, -1, 0, 1, 127]


def test_lists_for_a_float_input_take_real_values_rounded_to_its_precision(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(1, 4))) as model:
        (out,) = model.run([[0.1, 2, 3, 4]])
        assert out.tolist() == [[np.float32(0.1), 2, 3, 4]] and np.float32(0.1) != 0.1
        (out,) = model.run([[1e-46, 3.4e38, -2**24, 0.5]])  # below float32's least: 0; within range: taken
        assert out.tolist() == [[0.0, np.float32(3.4e38), -2**24, 0.5]]


@pytest.mark.parametrize("scale, zero_point", [(1.0, 0), (0.25, 3), (0.5, -4)])
def test_quantize_rounds_halves_away_from_zero_not_to_even(scale, zero_point):
    steps = np.array([0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 0.49, -0.49])
    q = kiv.quantize(steps * scale, scale, zero_point, np.int8)
    assert (q - zero_point).tolist() == [1, 2, 3, -1, -2, -3, 0, 0]
    # Python's round() and numpy's rint() take halves to even: 0, 2, 2, ...
    assert [round(v) for v in steps[:6]] == [0, 2, 2, 0, -2, -2] == np.rint(steps[:6]).tolist()


def test_quantize_needs_an_integer_dtype_and_a_scale():
    with pytest.raises(TypeError):
        kiv.quantize([1.0], 0.5, 0, np.float32)
    with pytest.raises(ValueError):
        kiv.quantize([1.0], 0.0, 0, np.int8)
    with pytest.raises(ValueError):
        kiv.dequantize([1], 0.0, 0)
    assert kiv.quantize([1000.0], 1.0, 0, np.uint8).tolist() == [255]
    assert kiv.numpy_dtype(libkiv.KIV_DATA_TYPE_BF16) is None


def test_every_element_type_of_the_runtime_has_its_name_and_numpy_type():
    from kiv.dtypes import data_type_name

    names = {int(t): data_type_name(t) for t in libkiv.kiv_data_type_t.__members__.values()}
    assert len(names) == 22 and names[3] == "int8" and names[11] == "float32" and names[13] == "bf16"
    for code, name in names.items():
        numpy_type = kiv.numpy_dtype(code)
        member = libkiv.kiv_data_type_t(code).name.removeprefix("KIV_DATA_TYPE_").lower()
        assert name == (member if numpy_type is None else str(numpy_type)), code
    assert {code for code in names if kiv.numpy_dtype(code) is not None} == set(range(1, 13))
    assert data_type_name(14) is None and kiv.numpy_dtype(14) is None


def test_tensors_the_container_does_not_list_get_default_names(runtime, tmp_path, make_model):
    io = {"name": "partial", "input_tensors": [{"name": "lhs", "shape": [2, 4]}], "output_tensors": []}
    with runtime.load(make_model(tmp_path, add_program(), io=io)) as model:
        assert [(t.name, t.shape, t.shape_from_container) for t in model.inputs] == [
            ("lhs", (2, 4), True),
            ("input1", (8,), False),
        ]
        assert [(t.name, t.shape) for t in model.outputs] == [("output0", (8,))]
        (out,) = model.run({"lhs": np.ones((2, 4), np.float32), "input1": np.arange(8, dtype=np.float32)})
        np.testing.assert_array_equal(out, np.arange(8, dtype=np.float32) + 1)
