"""cmake/deb/debian_changelog.py: CHANGELOG.md in Debian's changelog format;
and the version, held together: the one python/kiv/_version.py gives, the
top entry of CHANGELOG.md, the newest step of docs/upgrading.md, the version
the packages and the commands are made with, and the versions the pages show."""

import importlib.util
import os
import re
import subprocess

import pytest

from conftest import BUILD_DIR, REPO

_spec = importlib.util.spec_from_file_location(
    "debian_changelog", os.path.join(REPO, "cmake", "deb", "debian_changelog.py"))
changelog = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(changelog)

SAMPLE = """# Changelog

Text for people, ignored.

## [Unreleased]

### Added

- Not released yet.

## [1.2.0] - 2026-12-08

### Added

- The `kiv` command, described at length so that the line has to be wrapped
  at the width Debian's tools read, with a [link](https://example.invalid/x).

### Fixed

- One fault.

## [1.1.0] - 2026-11-30

### Changed

- Something.
"""

MAINTAINER = "Someone <someone@example.org>"


def convert(text, revision="3"):
    return changelog.debian_entries(changelog.releases(text), "libkiv", revision, MAINTAINER)


def test_each_release_becomes_an_entry_newest_first_without_unreleased_changes():
    assert convert(SAMPLE) == (
        "libkiv (1.2.0-3) unstable; urgency=medium\n"
        "\n"
        "  * Added:\n"
        "    - The kiv command, described at length so that the line has to be wrapped\n"
        "      at the width Debian's tools read, with a link.\n"
        "  * Fixed:\n"
        "    - One fault.\n"
        "\n"
        " -- Someone <someone@example.org>  Tue, 08 Dec 2026 12:00:00 +0000\n"
        "\n"
        "libkiv (1.1.0-1) unstable; urgency=medium\n"
        "\n"
        "  * Changed:\n"
        "    - Something.\n"
        "\n"
        " -- Someone <someone@example.org>  Mon, 30 Nov 2026 12:00:00 +0000\n"
    )


def test_releases_of_one_day_are_dated_a_minute_apart_the_newest_last():
    # Debian's tools want each entry newer than the one below it.
    text = "".join("## [1.%d.0] - 2026-12-08\n### Added\n- x\n" % minor for minor in (2, 1, 0))
    text += "## [0.9.0] - 2026-11-30\n### Added\n- y\n"
    dates = re.findall(r"^ -- .*  (.*)$", convert(text), re.M)
    assert dates == ["Tue, 08 Dec 2026 12:02:00 +0000", "Tue, 08 Dec 2026 12:01:00 +0000",
                     "Tue, 08 Dec 2026 12:00:00 +0000", "Mon, 30 Nov 2026 12:00:00 +0000"]


@pytest.mark.parametrize("text, complaint", [
    ("## [1.0] - 2026-12-08\n### Added\n- x\n", "release heading"),
    ("## [1.0.0] - 2026-12-08\nloose text\n", "expected '### Kind'"),
    ("## [1.0.0] - 2026-12-08\n- an item under no kind\n", "expected '### Kind'"),
    ("## [1.0.0] - 2026-12-08\n### Added\n", "lists no change"),
    ("## [1.0.0] - 2026-12-08\n### Added\n- x\n## [1.1.0] - 2026-12-09\n### Added\n- y\n", "newest first"),
])
def test_a_malformed_changelog_is_refused(text, complaint):
    with pytest.raises(changelog.ChangelogError, match=re.escape(complaint)):
        changelog.releases(text)


def read(*path):
    with open(os.path.join(REPO, *path), encoding="utf-8") as f:
        return f.read()


VERSION = re.search(r'^__version__ = "(.*)"$', read("python", "kiv", "_version.py"), re.M).group(1)


def test_the_version_is_the_changelogs_top_entry_upgradings_newest_step_and_the_packages():
    text = read("CHANGELOG.md")
    top = re.search(r"^## .*$", text, re.M).group(0)
    assert re.fullmatch(r"## \[%s\] - \d{4}-\d{2}-\d{2}" % re.escape(VERSION), top), (
        "the top entry of CHANGELOG.md is %r, the sources are %s: the version names the top entry" % (top, VERSION))
    debian = convert(text, "1")
    assert debian.startswith("libkiv (%s-1) unstable;" % VERSION)
    assert max(len(line) for line in debian.split("\n") if not line.startswith(" -- ")) <= 80
    previous = changelog.releases(text)[1][0]
    steps = re.findall(r"^## From (\S+) to (\S+)$", read("docs", "upgrading.md"), re.M)
    assert steps[0] == (previous, VERSION), "docs/upgrading.md's newest step is %s to %s" % steps[0]
    # The packages' version, from the build tree's CPack configuration, and the build's own commands.
    cpack = read(BUILD_DIR, "CPackConfig.cmake")
    assert re.search(r'^set\(CPACK_PACKAGE_VERSION "(.*)"\)$', cpack, re.M).group(1) == VERSION
    zor = subprocess.run([os.path.join(BUILD_DIR, "tools", "zor", "zor"), "--version"], capture_output=True, text=True)
    assert zor.stdout == "zor %s\n" % VERSION


@pytest.mark.parametrize("pattern", [
    r"\blibkiv(?:-dev|-standin)?_(\d+\.\d+\.\d+)-\d+_",  # a package's file name
    r"^kiv (\d+\.\d+\.\d+)$",  # what kiv --version prints
    r'^\| `kiv_version` \|.*`"(\d+\.\d+\.\d+)"`',  # the JSON documents' kiv_version
])
def test_the_pages_show_the_version_of_the_sources(pattern):
    pages = ["README.md"] + ["docs/" + name for name in sorted(os.listdir(os.path.join(REPO, "docs")))
                             if name.endswith(".md")]
    shown = {(page, found) for page in pages for found in re.findall(pattern, read(page), re.M)}
    assert shown and {found for _, found in shown} == {VERSION}, sorted(shown)
