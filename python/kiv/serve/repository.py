"""The model repository: the models the server may serve, named by their
files' stems, and those it has loaded. Clients name models; only the
server's own listing of the .zor files it was given (or found in the
directories it was given) turns a name into a path."""

from __future__ import annotations

import asyncio
import dataclasses
import os
from collections.abc import Iterator, Sequence
from ..errors import KivError
from ..model import Model
from ..runtime import Runtime
from .dispatch import Dispatcher
from .errors import ServeError, Status, not_found
from .metrics import Metrics, ModelMetrics
from .settings import ModelSettings, SettingsError, read_model_settings
from .statistics import ModelStatistics

MODEL_SUFFIX = ".zor"
SETTINGS_SUFFIX = ".toml"
# Every model has one version; clients that name none, or this one, get it.
VERSION = "1"


@dataclasses.dataclass(frozen=True)
class ModelFile:
    """A model of the repository: its name, its file, and its settings file if it has one."""

    name: str
    path: str
    settings: str | None


def _model_file(path: str) -> ModelFile:
    stem = os.path.basename(path)[: -len(MODEL_SUFFIX)]
    settings = os.path.join(os.path.dirname(path), stem + SETTINGS_SUFFIX)
    return ModelFile(stem, path, settings if os.path.isfile(settings) else None)


def _directory_models(directory: str) -> Iterator[ModelFile]:
    with os.scandir(directory) as entries:
        for entry in entries:
            if entry.name.endswith(MODEL_SUFFIX) and len(entry.name) > len(MODEL_SUFFIX) and entry.is_file():
                yield _model_file(entry.path)


class RepositoryError(ValueError):
    """The models given to the server cannot be served as given."""


def check_sources(sources: Sequence[str]) -> None:
    """Each source must be a .zor file or a directory.

    :raises RepositoryError: naming the first that is neither.
    """
    for source in sources:
        if os.path.isdir(source):
            continue
        if not source.endswith(MODEL_SUFFIX):
            raise RepositoryError("%s: neither a %s model file nor a directory of them" % (source, MODEL_SUFFIX))
        if not os.path.isfile(source):
            raise RepositoryError("%s: no such model file" % source)


def list_models(sources: Sequence[str]) -> dict[str, ModelFile]:
    """The models of `sources` (files, and the .zor files of directories, as
    they are now) by name.

    :raises RepositoryError: two models have the same name.
    """
    models: dict[str, ModelFile] = {}
    for source in sources:
        found = _directory_models(source) if os.path.isdir(source) else iter([_model_file(source)])
        for model in found:
            if model.name in models:
                raise RepositoryError("two models are named '%s': %s and %s"
                                      % (model.name, models[model.name].path, model.path))
            models[model.name] = model
    return models


class ServedModel:
    """A loaded model with what serves it: its dispatcher, statistics and metrics."""

    def __init__(self, file: ModelFile, model: Model, settings: ModelSettings, metrics: ModelMetrics) -> None:
        self.name = file.name
        self.version = VERSION
        self.file = file
        self.model = model
        self.settings = settings
        self.statistics = ModelStatistics()
        self.metrics = metrics
        self.dispatcher = Dispatcher(model, file.name, settings, self.statistics, metrics)

    def retire(self) -> None:
        """Fails the requests still waiting; the model is unloaded once its jobs in flight have ended."""
        self.dispatcher.close()
        try:
            self.model.close()
        except KivError:
            pass  # the graph goes with the runtime at the latest


class Repository:
    """The models of the sources given on the command line, and those loaded."""

    def __init__(self, runtime: Runtime, sources: Sequence[str], defaults: ModelSettings, metrics: Metrics) -> None:
        check_sources(sources)
        self._runtime = runtime
        self._sources = list(sources)
        self._defaults = defaults
        self._metrics = metrics
        self._served: dict[str, ServedModel] = {}
        # Why a model of the repository is not loaded: its last load failed, or it was unloaded.
        self._reasons: dict[str, str] = {}
        self._loading = asyncio.Lock()

    @property
    def served(self) -> list[ServedModel]:
        return list(self._served.values())

    def _file(self, name: str) -> ModelFile:
        try:
            models = list_models(self._sources)
        except RepositoryError as err:
            raise ServeError(Status.INTERNAL, str(err)) from None
        if name not in models:
            raise not_found("the repository has no model '%s'; its models are %s" % (name, sorted(models)))
        return models[name]

    async def load(self, name: str) -> None:
        """Loads model `name`, or loads it again: requests in flight on the
        model loaded before finish on it.

        :raises ServeError: no such model, or it could not be loaded (why).
        """
        async with self._loading:
            file = self._file(name)
            try:
                settings = self._defaults if file.settings is None else read_model_settings(file.settings,
                                                                                            self._defaults)
                model = await asyncio.to_thread(self._runtime.load, file.path, job_options=settings.job_options,
                                                max_idle_jobs=settings.in_flight)
            except (SettingsError, KivError, OSError) as err:
                self._reasons[name] = str(err)
                raise ServeError(Status.INTERNAL, "model '%s' cannot be loaded: %s" % (name, err)) from None
            served = ServedModel(file, model, settings, self._metrics.for_model(name, VERSION))
            previous = self._served.get(name)
            self._served[name] = served
            self._reasons.pop(name, None)
            if previous is not None:
                previous.retire()

    def unload(self, name: str) -> None:
        """:raises ServeError: the model is not loaded."""
        served = self._served.pop(name, None)
        if served is None:
            raise not_found("model '%s' is not loaded" % name)
        self._reasons[name] = "unloaded"
        served.retire()

    def find(self, name: str, version: str) -> ServedModel | None:
        served = self._served.get(name)
        if served is None or version not in ("", served.version):
            return None
        return served

    def get(self, name: str, version: str) -> ServedModel:
        """The loaded model `name`.

        :raises ServeError: it is not loaded, or has no such version.
        """
        served = self._served.get(name)
        if served is None:
            reason = self._reasons.get(name)
            if reason is not None:
                raise not_found("model '%s' is not loaded (%s)" % (name, reason))
            raise not_found("model '%s' is not loaded; the models loaded are %s" % (name, sorted(self._served)))
        if version not in ("", served.version):
            raise not_found("model '%s' has no version '%s'; its version is %s" % (name, version, served.version))
        return served

    def index(self, ready_only: bool) -> list[dict[str, str]]:
        """Every model of the repository (and every model loaded), its state
        and why it is not ready."""
        try:
            names = set(list_models(self._sources))
        except RepositoryError:
            names = set()
        entries = []
        for name in sorted(names | set(self._served)):
            if name in self._served:
                entries.append({"name": name, "version": VERSION, "state": "READY", "reason": ""})
            elif not ready_only:
                entries.append({"name": name, "version": VERSION, "state": "UNAVAILABLE",
                                "reason": self._reasons.get(name, "not loaded")})
        return entries

    def close(self) -> None:
        for name in list(self._served):
            self._served.pop(name).retire()
