"""Writes the Debian changelog of the packages from CHANGELOG.md, so that the
two never disagree:

    debian_changelog.py CHANGELOG.md --source libkiv --revision 1 \
        --maintainer "NAME <ADDRESS>" -o changelog.Debian

Each release of CHANGELOG.md (a "## [X.Y.Z] - YYYY-MM-DD" heading, in Keep
a Changelog form) becomes one entry, newest first: version X.Y.Z-REVISION
for the newest and X.Y.Z-1 for older ones, each "### Kind" heading a
bullet with the items under it, dated that day at noon (releases of one
day a minute apart, the newest last). Unreleased changes are left
out. Anything else in a release is refused, so that a malformed file fails
the build rather than reading wrong in the package.
"""

import argparse
import datetime
import email.utils
import re
import sys
import textwrap

RELEASE = re.compile(r"^## \[(\d+\.\d+\.\d+)\] - (\d{4}-\d{2}-\d{2})$")
UNRELEASED = re.compile(r"^## \[Unreleased\]$", re.I)
KIND = re.compile(r"^### (\w+)$")
ITEM = re.compile(r"^- (.*)$")
CONTINUATION = re.compile(r"^  +(\S.*)$")
LINK = re.compile(r"\[([^\]]+)\]\([^)]*\)")
# Debian's tools read changelog lines of at most 80 columns.
WIDTH = 79


class ChangelogError(Exception):
    """CHANGELOG.md is not in the form this converter reads."""


def releases(text):
    """[(version, date, [(kind, [item, ...]), ...]), ...] in file order."""
    found, release, kind = [], None, None
    for number, line in enumerate(text.split("\n"), 1):
        line = line.rstrip()
        where = "CHANGELOG.md:%d" % number
        if line.startswith("## "):
            heading = RELEASE.match(line)
            if heading:
                date = datetime.date.fromisoformat(heading.group(2))
                release, kind = (heading.group(1), date, []), None
                found.append(release)
            elif UNRELEASED.match(line):
                release, kind = None, None
            else:
                raise ChangelogError("%s: a release heading reads '## [X.Y.Z] - YYYY-MM-DD': %s" % (where, line))
        elif release is None or not line:
            continue  # the preamble, unreleased changes, blank lines
        elif KIND.match(line):
            kind = (KIND.match(line).group(1), [])
            release[2].append(kind)
        elif ITEM.match(line) and kind is not None:
            kind[1].append(ITEM.match(line).group(1))
        elif CONTINUATION.match(line) and kind is not None and kind[1]:
            kind[1][-1] += " " + CONTINUATION.match(line).group(1)
        else:
            raise ChangelogError("%s: expected '### Kind' or a '- ' item: %s" % (where, line))
    for version, date, kinds in found:
        if not any(items for _, items in kinds):
            raise ChangelogError("CHANGELOG.md: release %s lists no change" % version)
    for newer, older in zip(found, found[1:]):
        if _key(newer[0]) <= _key(older[0]) or newer[1] < older[1]:
            raise ChangelogError("CHANGELOG.md: releases go newest first, %s (%s) is above %s (%s)"
                                 % (newer[0], newer[1], older[0], older[1]))
    return found


def _key(version):
    return tuple(int(part) for part in version.split("."))


def plain(text):
    """An item without Markdown's marks: links as their text, no backticks."""
    return LINK.sub(r"\1", text).replace("`", "")


def debian_entries(found, source, revision, maintainer):
    entries = []
    for index, (version, date, kinds) in enumerate(found):
        lines = ["%s (%s-%s) unstable; urgency=medium" % (source, version, revision if index == 0 else "1"), ""]
        for kind, items in kinds:
            lines.append("  * %s:" % kind)
            for item in items:
                lines += textwrap.wrap(plain(item), WIDTH, initial_indent="    - ", subsequent_indent="      ",
                                       break_on_hyphens=False)
        # Debian wants each entry dated after the one below it: releases of
        # one day are a minute apart from noon on, the newest last.
        older_that_day = sum(1 for _, older, _ in found[index + 1:] if older == date)
        when = datetime.datetime(date.year, date.month, date.day, 12, older_that_day, tzinfo=datetime.timezone.utc)
        lines += ["", " -- %s  %s" % (maintainer, email.utils.format_datetime(when))]
        entries.append("\n".join(lines) + "\n")
    return "\n".join(entries)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("changelog", help="CHANGELOG.md")
    parser.add_argument("--source", required=True, help="the source package's name")
    parser.add_argument("--revision", required=True, help="Debian revision of the newest release")
    parser.add_argument("--maintainer", required=True, help='"NAME <ADDRESS>"')
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    with open(args.changelog, encoding="utf-8") as f:
        text = f.read()
    try:
        found = releases(text)
    except ChangelogError as error:
        sys.exit("debian_changelog: %s" % error)
    if not found:
        sys.exit("debian_changelog: %s has no release" % args.changelog)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(debian_entries(found, args.source, args.revision, args.maintainer))


if __name__ == "__main__":
    main()
