"""kiv run: one inference per input set, its outputs printed or written,
and checked against a reference when one is given."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..job_options import JobOptions
from ..model import Model
from ..tensor_info import TensorInfo
from .array_files import npz_path
from .info import columns
from .input_data import Sample, input_samples, names_directory
from .loading import job_options, opened, run_options
from .output_files import check_file, make_directory
from .profiles import profile_summary, profile_text
from .accuracy import Accuracy
from .expected import Expected, expected_per_sample
from .reference import RTOL, compare_all, notes, report
from .usage import UsageError

Arrays = dict[str, npt.NDArray[Any]]


def dequantized(infos: Sequence[TensorInfo], outputs: Arrays) -> Arrays:
    """Integer outputs with a scale as real values; the others as they are."""
    by_name = {t.name: t for t in infos}
    return {
        name: by_name[name].dequantize(array) if array.dtype.kind in "iu" and by_name[name].scale else array
        for name, array in outputs.items()
    }


def _check_options(args: argparse.Namespace) -> None:
    """Refuses what cannot be done before anything is loaded: tolerances
    without a reference, and an -o that cannot be written."""
    if args.reference is None and (args.atol is not None or args.rtol is not None):
        raise UsageError("--atol and --rtol go with --reference")
    if args.atol is not None and args.atol < 0 or args.rtol is not None and args.rtol < 0:
        raise UsageError("--atol and --rtol must not be negative")
    if args.output is None:
        return
    if not any(names_directory(item) for item in args.input):
        check_file("-o", npz_path(args.output))
        return
    if args.output.endswith(".npz"):
        raise UsageError("-o %s: the samples of a directory are written one file each, into a directory: name a "
                         "directory, not an .npz file" % args.output)
    make_directory("-o", args.output)


def _output_path(output: str, sample: Sample, several: bool) -> str:
    """Where a sample's outputs go: the -o file, or for samples of a
    directory, a file of the sample's name in the -o directory."""
    if not several:
        return npz_path(output)
    return os.path.join(output, "%s.npz" % sample.name)


def _print_arrays(outputs: Arrays, sample: Sample, several: bool) -> None:
    if several:
        print("sample %s" % sample.name)
    with np.printoptions(threshold=64, edgeitems=4):
        for name, array in outputs.items():
            print("%s %s %s\n%s" % (name, array.dtype, array.shape, array))


def _show(outputs: Arrays, sample: Sample, output: str | None, several: bool) -> bool:
    """Writes the outputs to their -o file, or prints them; printed too when
    the file cannot be written, which is then reported. False then."""
    if output is None:
        _print_arrays(outputs, sample, several)
        return True
    path = _output_path(output, sample, several)
    try:
        np.savez(path, **outputs)
    except OSError as err:
        print("kiv run: -o %s: cannot be written: %s" % (path, err.strerror or err), file=sys.stderr)
        _print_arrays(outputs, sample, several)
        return False
    shapes = ", ".join("%s %s %s" % (n, a.dtype, a.shape) for n, a in outputs.items())
    print("wrote %s: %s" % (path, shapes))
    return True


def _checked(outputs: Arrays, expected: Expected, infos: Sequence[TensorInfo], args: argparse.Namespace) -> bool:
    """Prints the comparison with the reference; True when every output matches."""
    assert expected.reference is not None and expected.reference_path is not None
    rtol = RTOL if args.rtol is None else args.rtol
    comparisons = compare_all(infos, outputs, expected.reference, args.atol, rtol)
    differing = sum(not c.ok for c in comparisons)
    print("reference %s (rtol %g)" % (expected.reference_path, rtol))
    print("\n".join(columns(report(comparisons)) + notes(comparisons, infos)))
    unused = sorted(set(expected.reference) - set(outputs))
    if unused:
        print("  not compared (no output of that name): %s" % ", ".join(unused))
    if differing:
        print("%d of %d outputs differ from the reference" % (differing, len(comparisons)))
    else:
        print("all %d outputs match the reference" % len(comparisons))
    return not differing


def _run_all(model: Model, samples: Sequence[Sample], args: argparse.Namespace, options: JobOptions | None) -> bool:
    several = samples[0].name is not None
    expected = expected_per_sample(samples, model.outputs, args.reference, args.labels)
    accuracy = Accuracy(model.outputs[0].shape[-1] if model.outputs[0].shape else 1) if model.outputs else None
    written, matching = True, 0
    for sample, wanted in zip(samples, expected):
        result = model.run(sample.arrays, job_options=run_options(options, sample.name or "run"))
        outputs = result.as_dict()
        if args.dequantize:
            outputs = dequantized(model.outputs, outputs)
        written = _show(outputs, sample, args.output, several) and written
        if args.profile:
            print(profile_text(profile_summary([result.profile])))
        if wanted.reference is not None:
            matching += _checked(outputs, wanted, model.outputs, args)
        if wanted.labels is not None and accuracy is not None:
            accuracy.add(result[0], wanted.labels, sample.name or "the input set")
    if several and args.reference is not None:
        print("%d of %d samples match the reference" % (matching, len(samples)))
    if accuracy is not None and accuracy.rows:
        print(accuracy.text())
    return written and (args.reference is None or matching == len(samples))


def command_run(args: argparse.Namespace) -> int:
    _check_options(args)
    options = job_options(args)
    with opened(args.model, args.driver, options=options, profile=args.profile) as session:
        samples = input_samples(session.model.inputs, args.input, args.random, args.seed, args.quantize)
        return 0 if _run_all(session.model, samples, args, options) else 1
