"""cmake/deb/debian_changelog.py: CHANGELOG.md in Debian's changelog format,
and the repository's CHANGELOG.md itself, whose newest release must be the
version the packages are made with."""

import importlib.util
import os
import re

import pytest

from conftest import REPO

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


def test_the_repository_changelog_has_the_version_of_the_sources_as_its_newest_release():
    with open(os.path.join(REPO, "python", "kiv", "_version.py")) as f:
        version = re.search(r'__version__ = "(.*)"', f.read()).group(1)
    with open(os.path.join(REPO, "CHANGELOG.md"), encoding="utf-8") as f:
        text = convert(f.read(), "1")
    assert text.startswith("libkiv (%s-1) unstable;" % version), "add a release %s to CHANGELOG.md" % version
    assert max(len(line) for line in text.split("\n") if not line.startswith(" -- ")) <= 80
