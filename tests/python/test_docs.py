"""Every code block of the README and of the pages of docs/ runs as written and prints what
the document shows, against an installed libkiv, as a reader who installed it runs them.

The build tree is installed (cmake --install, the stand-in too) into a
temporary prefix, once; the blocks of a document then run in order, in one
Python interpreter (docs_runner.py), in a fresh temporary directory, with that
prefix's commands first on PATH and its Python directory on PYTHONPATH, and
nothing of the build tree or the checkout on any path. A `text` block right
after a code block is that block's output, compared line by line; `...` in an
expected line stands for any text. A comment, invisible on the rendered page,
marks the blocks that do not run:

    <!-- docs: not run (reason) -->        commands on the repository itself
                                           (build, test, install, benchmark),
                                           which CI runs on its own
"""

import fnmatch
import glob
import json
import os
import re
import shutil
import subprocess

import pytest

from conftest import BUILD_DIR, PYTHON, REPO

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "docs_runner.py")
MARK = re.compile("\x1e--docs-block (\\d+)--\x1e\n?")
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)
DIRECTIVE = re.compile(r"<!-- docs: (not run \([^)]+\)) -->\s*$")


def documents():
    found = []
    for directory, _, files in os.walk(os.path.join(REPO, "docs")):
        found += [os.path.relpath(os.path.join(directory, name), REPO) for name in files if name.endswith(".md")]
    return ["README.md"] + sorted(found)


def parse(path):
    """The document's fenced blocks: (lang, code, line number, directive)."""
    text = open(os.path.join(REPO, path)).read()
    blocks = []
    for fence in FENCE.finditer(text):
        before = text[: fence.start()].rstrip("\n").rsplit("\n", 1)[-1]
        directive = DIRECTIVE.search(before)
        line = text.count("\n", 0, fence.start()) + 1
        blocks.append((fence.group(1), fence.group(2), line, directive.group(1) if directive else None))
    return blocks


def runnable(path):
    return [
        {"lang": lang, "code": code, "where": "%s:%d" % (path, line)}
        for lang, code, line, directive in parse(path)
        if lang in ("python", "sh") and directive is None
    ]


def expected_outputs(path):
    """{index among the runnable blocks: expected text} for each text block
    that follows a runnable block."""
    expected, number, previous_runs = {}, -1, False
    for lang, code, line, directive in parse(path):
        runs = lang in ("python", "sh") and directive is None
        if runs:
            number += 1
        elif lang == "text" and previous_runs:
            expected[number] = code
        previous_runs = runs
    return expected


def matches(expected, actual):
    want, got = expected.rstrip("\n").split("\n"), actual.rstrip("\n").split("\n")
    if len(want) != len(got):
        return False
    return all(re.fullmatch(re.escape(w).replace(r"\.\.\.", ".*"), g) for w, g in zip(want, got))


RUN_DOCUMENTS = [path for path in documents() if runnable(path)]


def top_level_entries():
    """The repository's top-level entries that its .gitignore does not name
    (build trees, fetched data): other tests, run at the same time, make
    those."""
    with open(os.path.join(REPO, ".gitignore")) as f:
        anchored = [line.strip().strip("/") for line in f if line.startswith("/")]
    return sorted(name for name in os.listdir(REPO) if not any(fnmatch.fnmatch(name, p) for p in anchored))


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The environment of a reader with libkiv and its stand-in installed:
    the build tree installed into a temporary prefix, whose commands come
    first on PATH and whose Python directory is PYTHONPATH; no variable of
    the build tree or the runtime set, no directory of the checkout on PATH."""
    prefix = str(tmp_path_factory.mktemp("prefix"))
    for component in ([], ["--component", "standin"]):
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix] + component,
                       check=True, stdout=subprocess.DEVNULL)
    found = glob.glob(os.path.join(prefix, "lib", "**", "libkiv.so"), recursive=True)
    (site,) = {os.path.dirname(path) for path in found}
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("PYTHONPATH", "AIPU_LIB_PATH", "KIV_BUILD_DIR", "KIV_LOG_LEVEL")}
    search = [entry for entry in os.environ["PATH"].split(os.pathsep)
              if not os.path.realpath(entry).startswith((os.path.realpath(REPO), os.path.realpath(BUILD_DIR)))]
    environment["PATH"] = os.pathsep.join([os.path.join(prefix, "bin")] + search)
    environment["PYTHONPATH"] = site
    return {"prefix": prefix, "environment": environment}


def test_the_blocks_run_against_the_installed_tree(installed, tmp_path):
    """kiv, libkiv, the stand-in with its Python side and the commands all come from the prefix."""
    environment, prefix = installed["environment"], installed["prefix"]
    where = subprocess.run(
        [PYTHON, "-c", "import kiv, kiv.standin, libkiv\n"
                       "print(kiv.__file__, kiv.standin.__file__, libkiv.__file__, kiv.standin_path())"],
        cwd=tmp_path, env=environment, capture_output=True, text=True, check=True).stdout.split()
    where += [shutil.which(command, path=environment["PATH"]) for command in ("kiv", "zor")]
    assert len(where) == 6 and all(path.startswith(prefix + os.sep) for path in where), where


@pytest.mark.parametrize("path", RUN_DOCUMENTS)
def test_code_blocks_run_and_print_what_the_document_shows(path, installed, tmp_path):
    blocks_file = tmp_path / "blocks.json"
    blocks_file.write_text(json.dumps(runnable(path)))
    work = tmp_path / "work"
    work.mkdir()
    top_level = top_level_entries()
    result = subprocess.run(
        [PYTHON, RUNNER, str(blocks_file)],
        cwd=work, env=installed["environment"], capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, "%s\n%s" % (result.stdout[-3000:], result.stderr[-3000:])
    outputs = MARK.split(result.stdout)[1:]
    printed = {int(outputs[i]): outputs[i + 1] for i in range(0, len(outputs), 2)}
    for number, text in expected_outputs(path).items():
        where = runnable(path)[number]["where"]
        assert matches(text, printed[number]), "%s printed:\n%s\nthe document shows:\n%s" % (
            where, printed[number], text)
    assert top_level_entries() == top_level, "the blocks left files in the repository"
