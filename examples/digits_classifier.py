#!/usr/bin/python3
"""Handwritten digit classification on the NPU through libkiv.

Trains a small fully connected network (64 -> 32 ReLU -> 10) in numpy on the
8x8 digits data set, quantises it to int8 (or keeps float32), packs it into a
zor model container and classifies the test split on the NPU three ways:
synchronous jobs, asynchronous jobs with callbacks, and batch queues. Every
NPU output is compared with a numpy computation of the same arithmetic; the
program exits with status 1 if any differs.

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
    import libkiv

    import digits_container
    import digits_data
    import digits_model
    import digits_npu
except ImportError as e:
    sys.exit(f"error: {e}\nlibkiv comes from the build directory and npu_program from standin_driver/python: "
             "put both on PYTHONPATH (bash scripts/run.sh builds and does that).")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
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
    float_acc = accuracy(float_test, data.y_test)
    print(f"trained 64-32-10 network: {steps} gradient descent steps in {train_s:.1f} s, "
          f"test accuracy in numpy (float32) {float_acc:.1%}")

    if args.precision == "int8":
        qmodel = digits_model.quantise(model, data.x_train)
        inputs = digits_model.quantise_input(data.x_test)
        reference = digits_model.forward_int8(qmodel, inputs)
        print(f"quantised to int8 (per-tensor scales): test accuracy in numpy (int8) {accuracy(reference, data.y_test):.1%}")
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


def accuracy(logits, labels):
    return float(np.mean(np.argmax(logits, axis=-1).reshape(-1) == labels))


def check_container_shapes(npu, container):
    """The container itself tells the input and output names and shapes."""
    for kind, want in ((libkiv.KIV_TENSOR_TYPE_INPUT, ("x", [1, 64])), (libkiv.KIV_TENSOR_TYPE_OUTPUT, ("logits", [1, 10]))):
        status, name, shape = npu.kiv_get_tensor_shape(container.path, kind, 0)
        digits_npu.check(status, "kiv_get_tensor_shape")
        if (name, shape) != want:
            raise digits_npu.NpuError(f"container describes {name} {shape}, expected {want[0]} {want[1]}")


def compare(outputs, reference, precision):
    """Indexes of the outputs that differ from the reference."""
    bad = []
    for i, (got, want) in enumerate(zip(outputs, reference)):
        want = want.reshape(-1)
        same = np.array_equal(got, want) if precision == "int8" else np.allclose(got, want, rtol=1e-5, atol=1e-5)
        if got.shape != want.shape or not same:
            bad.append(i)
    if len(outputs) != len(reference):
        bad.append(min(len(outputs), len(reference)))
    return bad


def report_row(mode, result, labels, mismatches):
    lat_us = np.array(result.latencies) * 1e6
    acc = accuracy(np.stack(result.outputs), labels)
    throughput = len(result.outputs) / result.wall_seconds
    extra = "".join(f"  {k} {v}" for k, v in result.notes.items())
    print(f"{mode:<6} {len(result.outputs):>7} {acc:>9.1%} {np.median(lat_us):>10.0f} "
          f"{np.percentile(lat_us, 99):>9.0f} {throughput:>12.0f} {len(mismatches):>10}{extra}")


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
        dtype = digits_container.numpy_dtype(container)
        with digits_npu.Session(container.path) as session:
            check_container_shapes(session.npu, container)
            runs = (
                ("sync", digits_npu.run_sync),
                ("async", digits_npu.run_async),
                ("batch", digits_npu.run_batch),
            )
            print()
            print(f"{'mode':<6} {'samples':>7} {'accuracy':>9} {'median us':>10} {'p99 us':>9} "
                  f"{'inferences/s':>12} {'mismatches':>10}")
            total, failed = 0, 0
            for mode, run in runs:
                result = run(session, samples, dtype)
                mismatches = compare(result.outputs, reference, args.precision)
                report_row(mode, result, data.y_test, mismatches)
                for i in mismatches[:3]:
                    got = result.outputs[i] if i < len(result.outputs) else None
                    print(f"  {mode} sample {i}: NPU {got}, numpy {reference[i].reshape(-1)}")
                total += len(samples)
                failed += len(mismatches)
    except (digits_npu.NpuError, FileNotFoundError, RuntimeError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2

    print()
    print("latency: per inference; in batch mode the batch's time divided by its size")
    exact = "exactly" if args.precision == "int8" else "to float32 rounding"
    if failed:
        print(f"MISMATCH: {failed} of {total} NPU outputs differ from the numpy reference")
        return 1
    print(f"all outputs match the numpy reference ({total} of {total}, {args.precision}, {exact})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
