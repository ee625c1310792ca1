"""kiv run: one inference per input set, its outputs printed or written,
and checked against a reference when one is given."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..inputs import Outputs
from ..job_options import JobOptions
from ..model import Model
from ..tensor_info import TensorInfo
from .accuracy import Accuracy
from .array_files import npz_path
from .documents import json_text, opening, setting
from .expected import Expected, expected_per_sample
from .input_data import UNIFORM, Sample, filled_note, input_samples, inputs_object, names_directory
from .loading import job_options, opened, run_options
from .output_files import check_file, make_directory
from .profiles import profile_summary
from .reference import RTOL, compare_all
from .run_report import Arrays, Check, SampleRun, print_sample, sample_object
from .usage import UsageError


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


def _write(outputs: Arrays, path: str) -> str | None:
    """Writes the outputs as an .npz file; the error text when that fails."""
    try:
        np.savez(path, **outputs)
    except OSError as err:
        return "-o %s: cannot be written: %s" % (path, err.strerror or err)
    return None


def _check(outputs: Arrays, expected: Expected, infos: Sequence[TensorInfo], args: argparse.Namespace) -> Check:
    assert expected.reference is not None and expected.reference_path is not None
    rtol = RTOL if args.rtol is None else args.rtol
    comparisons = compare_all(infos, outputs, expected.reference, args.atol, rtol)
    return Check(expected.reference_path, rtol, comparisons, sorted(set(expected.reference) - set(outputs)))


def _run_sample(model: Model, sample: Sample, wanted: Expected, args: argparse.Namespace,
                options: JobOptions | None, several: bool) -> tuple[SampleRun, Outputs]:
    result = model.run(sample.arrays, job_options=run_options(options, sample.name or "run"))
    outputs = result.as_dict()
    if args.dequantize:
        outputs = dequantized(model.outputs, outputs)
    done = SampleRun(sample, outputs)
    if args.output is not None:
        done.written = _output_path(args.output, sample, several)
        done.write_error = _write(outputs, done.written)
    if args.profile:
        done.profile = profile_summary([result.profile])
    if wanted.reference is not None:
        done.check = _check(outputs, wanted, model.outputs, args)
    return done, result


def _run_all(model: Model, samples: Sequence[Sample], args: argparse.Namespace,
             options: JobOptions | None) -> tuple[list[dict[str, Any]], dict[str, Any], bool]:
    """Runs every sample, printing each (unless --json); the samples' JSON
    entries, the summary, and whether all went well."""
    several = samples[0].name is not None
    expected = expected_per_sample(samples, model.outputs, args.reference, args.labels)
    accuracy = Accuracy(model.outputs[0].shape[-1] if model.outputs[0].shape else 1) if model.outputs else None
    entries, written, matching = [], True, 0
    for sample, wanted in zip(samples, expected):
        done, result = _run_sample(model, sample, wanted, args, options, several)
        if done.write_error is not None:
            print("kiv run: %s" % done.write_error, file=sys.stderr)
            written = False
        matching += done.check is not None and done.check.ok
        if wanted.labels is not None and accuracy is not None:
            accuracy.add(result[0], wanted.labels, sample.name or "the input set")
        if args.json:
            entries.append(sample_object(done))
        else:
            print_sample(done, several, model.outputs)
    scored = accuracy is not None and accuracy.rows > 0
    summary = {"samples": len(samples), "matching": matching if args.reference is not None else None,
               "accuracy": accuracy.as_dict() if scored and accuracy is not None else None}
    if not args.json:
        if several and args.reference is not None:
            print("%d of %d samples match the reference" % (matching, len(samples)))
        if scored and accuracy is not None:
            print(accuracy.text())
    return entries, summary, written and (args.reference is None or matching == len(samples))


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """What the command was asked to do, for the JSON document."""
    return {"partition": args.partition if args.partition is not None else 0, "core": args.core,
            "qos": args.qos if args.qos is not None else 0, "profile": args.profile, "dump": args.dump,
            "dequantize": args.dequantize, "atol": args.atol, "rtol": args.rtol, "output": args.output,
            "reference": args.reference, "labels": args.labels}


def command_run(args: argparse.Namespace) -> int:
    _check_options(args)
    options = job_options(args)
    document = opening("run")
    with opened(args.model, args.driver, options=options, profile=args.profile) as session:
        fill = args.random or UNIFORM
        samples = input_samples(session.model.inputs, args.input, fill, args.seed, args.quantize)
        note = filled_note(samples, fill, args.seed)
        if note is not None and args.random is None and not args.json:
            print(note)
        entries, summary, ok = _run_all(session.model, samples, args, options)
        document.update(setting(session.model, session.runtime))
    if args.json:
        document.update(options=_options(args), inputs=inputs_object(args, samples, fill), samples=entries,
                        summary=summary)
        print(json_text(document))
    return 0 if ok else 1
