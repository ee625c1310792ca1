#!/usr/bin/python3
"""Handwritten digit classification on the NPU through the kiv layer (or libkiv).

Trains a small fully connected network (64 -> 32 ReLU -> 10) in numpy on the
8x8 digits data set, quantises it to int8 (or keeps float32), packs it into a
zor model container and classifies the test split on the NPU: synchronous,
asynchronous with callbacks, as a stream and in batch queues. By default it
uses the kiv layer (digits_kiv.py: Model.run, Model.submit, Model.map,
Model.run_batch); --api libkiv does the same with the low-level libkiv module
(digits_npu.py), which has no stream of its own.
Every NPU output is compared with a numpy computation of the same arithmetic;
the program exits with status 1 if any differs.

Run after building: bash scripts/run.sh (or see README.md).
"""

import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

try:
    import kiv

    import digits_container
    import digits_data
    import digits_kiv
    import digits_model
    import digits_npu
    import digits_results
except ImportError as e:
    sys.exit(f"error: {e}\nlibkiv comes from the build directory and kiv, with the stand-in's program builder, "
             "from python/: put both on PYTHONPATH (bash scripts/run.sh builds and does that).")

APIS = {"kiv": digits_kiv, "libkiv": digits_npu}


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--api", choices=tuple(APIS), default="kiv",
                   help="kiv: the Pythonic layer (default); libkiv: the low-level module beneath it")
    p.add_argument("--precision", choices=("int8", "float32"), default="int8",
                   help="int8: quantised model, outputs must match exactly (default); "
                        "float32: unquantised model, outputs must match to rounding")
    p.add_argument("--quick", action="store_true", help="shorter run: fewer training steps and test samples")
    p.add_argument("--data", default=os.path.join(REPO, "data", "digits.csv.gz"),
                   help="the digits csv.gz (scripts/fetch_data.sh fetches it)")
    p.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(REPO, "build")),
                   help="build directory holding tools/zor/zor (default $KIV_BUILD_DIR or build/)")
    p.add_argument("--out-dir", default=os.path.join(HERE, "out"), help="where the program and container go")
    p.add_argument("--steps", type=int, default=None, help="gradient descent steps (default 300, 150 with --quick)")
    p.add_argument("--samples", type=int, default=None, help="test samples to run (default all, 60 with --quick)")
    return p.parse_args(argv)


def prepare_model(args, data):
    """Returns (container, NPU inputs [N, 64], numpy reference outputs [N, 10])."""
    steps = args.steps or (150 if args.quick else 300)
    t0 = time.perf_counter()
    model = digits_model.train(data.x_train, data.y_train, steps=steps)
    train_s = time.perf_counter() - t0
    float_test = digits_model.forward_float(model, digits_model.normalise(data.x_test))
    float_acc = digits_results.accuracy(float_test, data.y_test)
    print(f"trained 64-32-10 network: {steps} gradient descent steps in {train_s:.1f} s, "
          f"test accuracy in numpy (float32) {float_acc:.1%}")

    if args.precision == "int8":
        qmodel = digits_model.quantise(model, data.x_train)
        inputs = digits_model.quantise_input(data.x_test)
        reference = digits_model.forward_int8(qmodel, inputs)
        int8_acc = digits_results.accuracy(reference, data.y_test)
        print(f"quantised to int8 (per-tensor scales): test accuracy in numpy (int8) {int8_acc:.1%}")
        program = digits_container.build_int8_program(qmodel)
        io = digits_container.describe_io("int8", qmodel.x_scale, qmodel.fc2.out_scale)
    else:
        inputs = digits_model.normalise(data.x_test)
        reference = float_test
        program = digits_container.build_float_program(model)
        io = digits_container.describe_io("float32")
    container = digits_container.pack(args.out_dir, args.build_dir, f"digits_{args.precision}", program, io)
    print(f"packed {shown(container.path)} from {shown(container.graph_description_path)} "
          f"(program {len(program)} bytes)")
    # Every sample is its own C-contiguous [1, 64] array, as the input tensor expects.
    samples = [np.ascontiguousarray(row.reshape(1, -1)) for row in inputs]
    return container, samples, reference


def shown(path):
    """A path as short as it reads well: relative inside the working directory."""
    rel = os.path.relpath(path)
    return path if rel.startswith("..") else rel


def main(argv=None):
    args = parse_args(argv)
    if not os.path.isfile(args.data):
        print(f"error: {args.data} not found; run: bash scripts/fetch_data.sh", file=sys.stderr)
        return 2
    pixels, labels = digits_data.load_digits(args.data)
    data = digits_data.split(pixels, labels)
    if args.samples or args.quick:
        n = args.samples or 60
        data.x_test, data.y_test = data.x_test[:n], data.y_test[:n]
    print(f"digits: {len(labels)} samples from {shown(args.data)}, "
          f"{len(data.y_train)} for training, {len(data.y_test)} for testing on the NPU")

    try:
        container, samples, reference = prepare_model(args, data)
        print()
        failed, total = run_modes(APIS[args.api], container, samples, reference, data.y_test, args.precision)
    except (digits_npu.NpuError, kiv.KivError, FileNotFoundError, RuntimeError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    return digits_results.print_verdict(failed, total, args.precision)


def run_modes(api, container, samples, reference, labels, precision):
    """Runs every mode of `api` (digits_kiv or digits_npu) and prints a row
    each; returns (outputs that differ, outputs checked)."""
    total, failed = 0, 0
    with api.Session(container) as session:
        digits_results.print_header()
        for mode, run in api.MODES:
            result = run(session, samples)
            mismatches = digits_results.compare(result.outputs, reference, precision, session.output_shape)
            digits_results.print_row(mode, result, labels, mismatches)
            digits_results.print_mismatches(mode, result, reference, mismatches)
            total += len(samples)
            failed += len(mismatches)
    return failed, total


if __name__ == "__main__":
    sys.exit(main())
