"""Where and how a model's jobs run, how its graph is loaded, and what the
driver dumps: the runtime's job, load and dump options in Pythonic form."""

from __future__ import annotations

import dataclasses
import numbers
import os
from collections.abc import Iterable
from typing import Any, SupportsInt

import libkiv

_INT32 = (-(1 << 31), (1 << 31) - 1)

# The dump kinds of the runtime's configuration types, by their names.
DUMP_KINDS = {
    "text": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_TEXT,
    "weight": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_WEIGHT,
    "rodata": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_RODATA,
    "descriptor": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_DESCRIPTOR,
    "input": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT,
    "output": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT,
    "reuse": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_REUSE,
    "tcb_chain": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_TCB_CHAIN,
    "emulation": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_EMULATION,
    "profile": libkiv.KIV_JOB_CONFIG_TYPE_DUMP_PROFILE,
}

# The option that a failing status of the driver points at.
_JOB_OPTION_OF_STATUS = {
    int(libkiv.KIV_STATUS_ERROR_INVALID_PARTITION_ID): "partition",
    int(libkiv.KIV_STATUS_ERROR_INVALID_CORE_ID): "core",
    int(libkiv.KIV_STATUS_ERROR_INVALID_QOS): "qos",
    int(libkiv.KIV_STATUS_ERROR_INVALID_CONFIG): "memory_region",
    int(libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID): "feature_map_indexes",
}
_LOAD_OPTION_OF_STATUS = {
    int(libkiv.KIV_STATUS_ERROR_INVALID_CONFIG): "weights_region",
    int(libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID): "weight_indexes",
    int(libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL): "extra_weights",
    int(libkiv.KIV_STATUS_ERROR_READ_FILE_FAIL): "extra_weights",
}


def whole_number(name: str, value: object, low: int, high: int) -> int:
    """`value` as an int, if it is a whole number from `low` to `high`; else
    TypeError or ValueError naming `name`."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be a whole number, not %s" % (name, type(value).__name__))
    if not low <= int(value) <= high:
        raise ValueError("%s must be from %d to %d, got %d" % (name, low, high, int(value)))
    return int(value)


def bit_field(name: str, value: object, bits: int) -> int:
    """`value` if it fits an unsigned field of `bits` bits (never masked)."""
    return whole_number(name, value, 0, (1 << bits) - 1)


def indexes(name: str, values: Iterable[SupportsInt]) -> tuple[int, ...]:
    """`values` as a tuple of 32-bit indexes."""
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError("%s must be a sequence of whole numbers, not %s" % (name, type(values).__name__))
    return tuple(whole_number(name, v, *_INT32) for v in values)


def optional_path(name: str, value: object) -> str | None:
    if value is None:
        return None
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError("%s must be None or a path, not %s" % (name, type(value).__name__))
    return os.fspath(value)


def _named(options: Any, names: Iterable[str]) -> str:
    """"core=4, dump=['input', 'output']": a set of kinds as a sorted list."""
    values = {name: getattr(options, name) for name in names}
    return ", ".join("%s=%r" % (name, sorted(v) if isinstance(v, frozenset) else v) for name, v in values.items())


@dataclasses.dataclass(frozen=True)
class JobOptions:
    """Where and how a job runs, and what the driver dumps of it.

    Give them to every job of a model (Runtime.load(path, job_options=...))
    or to one run (model.run(x, job_options=...)):

        options = kiv.JobOptions(core=2, qos=1, dump_dir="dumps")
        outputs = model.run(x, job_options=options)

    Equal options compare and hash equal. The kinds of `dump`, each written
    as files of the driver's own making into `dump_dir`:

    ============  ====================================================
    text          the NPU executable's code
    weight        the weights
    rodata        the executable's read-only data
    descriptor    the executable's descriptors
    input         each input tensor, before the run
    output        each output tensor, after the run
    reuse         the buffers the job's layers reuse (feature maps)
    tcb_chain     the chain of task control blocks the device runs
    emulation     what an emulator of the device needs to replay the job
    profile       the device's profile of the run
    ============  ====================================================

    A driver writes the kinds it knows; the stand-in NPU writes input and
    output only.

    Raises:
        ValueError: a value does not fit its field (partition, qos and
            memory_region take 0 to 15, core 0 to 7; values are never cut to
            fit), or `dump` names an unknown kind.
        TypeError: a value of the wrong type (a str for core, a str for dump).
    """

    #: The partition that runs the job.
    partition: int = 0
    #: None lets the driver dispatch the job; an int pins it to that core.
    core: int | None = None
    #: The job's QoS level; when every core is busy, higher levels run first.
    qos: int = 0
    #: The memory region of the job's feature maps.
    memory_region: int = 0
    #: The feature maps placed in that region.
    feature_map_indexes: tuple[int, ...] = ()
    #: When set, the driver dumps the kinds named in `dump` of every run into
    #: this directory, which must exist, the files' names starting with
    #: `dump_prefix`.
    dump_dir: str | os.PathLike[str] | None = None
    #: The start of the dump files' names.
    dump_prefix: str = ""
    #: The kinds of data dumped (see above), by name.
    dump: frozenset[str] = frozenset({"input", "output"})

    def __post_init__(self) -> None:
        bit_field("partition", self.partition, 4)
        if self.core is not None:
            bit_field("core", self.core, 3)
        bit_field("qos", self.qos, 4)
        bit_field("memory_region", self.memory_region, 4)
        self._set("feature_map_indexes", indexes("feature_map_indexes", self.feature_map_indexes))
        self._set("dump_dir", optional_path("dump_dir", self.dump_dir))
        if not isinstance(self.dump_prefix, str):
            raise TypeError("dump_prefix must be a str, not %s" % type(self.dump_prefix).__name__)
        if isinstance(self.dump, str) or not isinstance(self.dump, Iterable):
            raise TypeError("dump must be a set of dump kinds, not %s" % type(self.dump).__name__)
        kinds = frozenset(self.dump)
        unknown = sorted(str(kind) for kind in kinds - DUMP_KINDS.keys())
        if unknown:
            raise ValueError("dump names unknown kinds %s; the kinds are %s" % (unknown, sorted(DUMP_KINDS)))
        self._set("dump", kinds)

    def _set(self, name: str, value: object) -> None:
        object.__setattr__(self, name, value)  # normalising a frozen instance


@dataclasses.dataclass(frozen=True)
class LoadOptions:
    """How a graph is loaded: the memory region of its weights, the weights
    placed there, and a file of extra weights. Runtime.load makes them from
    its arguments of the same names:

        model = runtime.load("model.zor", weights_region=1, weight_indexes=[0, 2])

    Raises:
        ValueError: weights_region is not from 0 to 15, or an index does not
            fit 32 bits.
        TypeError: a value of the wrong type.
    """

    #: The memory region of the graph's weights.
    weights_region: int = 0
    #: The weights placed in that region, by index.
    weight_indexes: tuple[int, ...] = ()
    #: A file of further weights for the driver to load, or None.
    extra_weights: str | os.PathLike[str] | None = None

    def __post_init__(self) -> None:
        bit_field("weights_region", self.weights_region, 4)
        object.__setattr__(self, "weight_indexes", indexes("weight_indexes", self.weight_indexes))
        object.__setattr__(self, "extra_weights", optional_path("extra_weights", self.extra_weights))


def job_option_of(status: SupportsInt) -> str | None:
    """The job option a failing status of the driver points at ("partition",
    "core", "qos", "memory_region", "feature_map_indexes"); None for a
    status that points at none."""
    return _JOB_OPTION_OF_STATUS.get(int(status))


def create_job_config(options: JobOptions) -> libkiv.kiv_create_job_cfg_t | None:
    """The create-job record of `options`; None for the defaults, which need none."""
    placement = (options.partition, options.core, options.qos, options.memory_region, options.feature_map_indexes)
    if placement == (0, None, 0, 0, ()):
        return None
    cfg = libkiv.kiv_create_job_cfg_t()
    cfg.partition_id = options.partition
    cfg.dbg_dispatch = 0 if options.core is None else 1
    cfg.dbg_core_id = options.core or 0
    cfg.qos_level = options.qos
    cfg.fm_mem_region = options.memory_region
    cfg.fm_idxes = list(options.feature_map_indexes)
    return cfg


def dump_config(options: JobOptions) -> tuple[int, libkiv.job_config_dump_t] | None:
    """(dump kinds as flags, the dump record) when `options` set dump_dir; else None."""
    if options.dump_dir is None:
        return None
    record = libkiv.job_config_dump_t()
    record.dump_dir = os.fspath(options.dump_dir)
    record.prefix = options.dump_prefix
    flags = 0
    for kind in options.dump:
        flags |= int(DUMP_KINDS[kind])
    return flags, record


def blame_job_options(options: JobOptions, api: str, status: SupportsInt) -> str | None:
    """The options that a failing status of the driver points at, for an
    error's detail: the dump options when configuring the dumps failed, the
    option the status names, or else every option that was set; None when no
    option was set."""
    option = job_option_of(status)
    if api in ("kiv_config_job", "kiv_config_batch_dump"):
        names = ["dump_dir", "dump_prefix", "dump"]
    elif option is not None:
        names = [option]
    else:
        defaults = JobOptions()
        names = [f.name for f in dataclasses.fields(options) if getattr(options, f.name) != getattr(defaults, f.name)]
    return "job options " + _named(options, names) if names else None


def load_graph_config(options: LoadOptions) -> libkiv.kiv_load_graph_cfg_t | None:
    """The load-graph record of `options`; None for the defaults, which need none."""
    if options == LoadOptions():
        return None
    cfg = libkiv.kiv_load_graph_cfg_t()
    cfg.wt_mem_region = options.weights_region
    cfg.wt_idxes = list(options.weight_indexes)
    cfg.extra_weight_path = "" if options.extra_weights is None else os.fspath(options.extra_weights)
    return cfg


def blame_load_options(options: LoadOptions, status: SupportsInt) -> str | None:
    """The load option a failing status points at, or None when it points at none given."""
    option = _LOAD_OPTION_OF_STATUS.get(int(status))
    if option is None or getattr(options, option) == getattr(LoadOptions(), option):
        return None
    return "load option " + _named(options, [option])
