"""Writes the manual page of one command with help2man, from the command's own
--help and --version, with a COMMANDS section made of each subcommand's
--help, so that the page says what the program says.

    man_page.py --name kiv --summary TEXT --changelog CHANGELOG.md \
        --subcommands info,run,bench [--see-also zor] [--promote "Exit status:=EXIT STATUS"] \
        [--synopsis] -o kiv.1 -- COMMAND...

COMMAND is how to start the program (several words: an emulator, an
interpreter and its -m option, ...). The page is dated with the newest
release in the changelog, so that the same sources make the same page.
"""

import argparse
import calendar
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

# The help is laid out for a terminal this wide, whatever the build's is.
COLUMNS = "80"
RELEASE = re.compile(r"^## \[[0-9][^\]]*\] - (\d{4}-\d{2}-\d{2})\s*$", re.M)
# argparse's usage: "usage:" (which help2man does not take for a synopsis, as
# it does "Usage:"), then the usage, its wrapped lines indented.
USAGE = re.compile(r"usage: (.*(?:\n +\S.*)*)")


def release_epoch(changelog):
    """Seconds since the epoch at the newest release's date (UTC)."""
    with open(changelog, encoding="utf-8") as f:
        found = RELEASE.search(f.read())
    if not found:
        sys.exit("man_page: %s names no release (## [X.Y.Z] - YYYY-MM-DD)" % changelog)
    return calendar.timegm(time.strptime(found.group(1), "%Y-%m-%d"))


def roff_literal(text):
    """Plain text as roff lines shown as they are (inside .nf/.fi)."""
    lines = []
    for line in text.rstrip("\n").split("\n"):
        line = line.replace("\\", "\\e").replace("-", "\\-")
        # A leading dot or quote would start a request.
        lines.append("\\&" + line if line.startswith((".", "'")) else line)
    return "\n".join(lines)


def usage(text):
    """The usage of an argparse help ("usage: kiv info [-h] ... MODEL", its
    wrapped lines joined), without the word "usage:"."""
    found = USAGE.match(text)
    if not found:
        sys.exit("man_page: a help without a 'usage:' line: %s" % text.split("\n", 1)[0])
    return " ".join(found.group(1).split())


def synopsis(usages):
    """The SYNOPSIS section: each usage a line, the program's name in bold
    as help2man sets it; wrapped lines flush left and unhyphenated, so that
    an option reads as one word."""
    lines = []
    for text in usages:
        name, _, rest = text.partition(" ")
        lines += ([".br"] if lines else []) + [".B %s" % name, roff_literal(rest)]
    return ["[SYNOPSIS]", ".nh", ".ad l"] + lines + [".ad", ".hy"]


def help_text(command, environment):
    """What COMMAND --help prints; its failure ends the run."""
    run = subprocess.run(command + ["--help"], env=environment, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("man_page: %s --help failed (status %d):\n%s" % (shlex.join(command), run.returncode, run.stderr))
    return run.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--name", required=True, help="the command's name, as on the page")
    parser.add_argument("--summary", required=True, help="the NAME line's description")
    parser.add_argument("--changelog", required=True, help="CHANGELOG.md, for the page's date")
    parser.add_argument("--subcommands", required=True, help="comma-separated subcommands to describe")
    parser.add_argument("--see-also", default="", help="comma-separated related commands (section 1)")
    parser.add_argument("--promote", action="append", default=[], metavar="HEADING=SECTION",
                        help="make the help's paragraph HEADING (a subsection to help2man) the section SECTION")
    parser.add_argument("--synopsis", action="store_true",
                        help="for an argparse program: a SYNOPSIS of the program's usage and each subcommand's, "
                             "in place of the usage paragraph that opens its description")
    parser.add_argument("--help2man", default="help2man")
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("command", nargs="+", help="how to start the program")
    args = parser.parse_args()

    environment = dict(os.environ, COLUMNS=COLUMNS, SOURCE_DATE_EPOCH=str(release_epoch(args.changelog)))
    overview = help_text(args.command, environment)
    sections, usages = ["[COMMANDS]"], [usage(overview)] if args.synopsis else []
    for subcommand in args.subcommands.split(","):
        # A command renamed or gone from the program fails here, not on the page.
        if not re.search(r"^\s+%s\s" % re.escape(subcommand), overview, re.M):
            sys.exit("man_page: %s --help lists no command %r" % (args.name, subcommand))
        text = help_text(args.command + [subcommand], environment)
        sections += ['.SS "%s %s"' % (args.name, subcommand), ".nf", roff_literal(text), ".fi"]
        usages += [usage(text)] if args.synopsis else []
    if usages:
        sections = synopsis(usages) + sections
    if args.see_also:
        sections += ["[SEE ALSO]", ",\n".join(".BR %s (1)" % name for name in args.see_also.split(","))]

    with tempfile.NamedTemporaryFile("w", suffix=".h2m", encoding="utf-8") as include:
        include.write("\n".join(sections) + "\n")
        include.flush()
        run = subprocess.run(
            [args.help2man, "--no-info", "--no-discard-stderr", "--section=1", "--name=" + args.summary,
             "--include=" + include.name, "--output=" + args.output, shlex.join(args.command)],
            env=environment, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("man_page: help2man failed for %s:\n%s" % (args.name, run.stderr))
    for promotion in args.promote:
        promote(args.output, *promotion.split("=", 1))
    if args.synopsis:
        drop_usage(args.output)


def promote(page, heading, section):
    """help2man makes a paragraph under a heading it does not know ("Exit
    status:") a subsection of the one before; this makes it a section of
    its own. A heading the help lacks fails here, not on the page."""
    with open(page, encoding="utf-8") as f:
        text = f.read()
    subsection = '.SS "%s"\n' % heading
    if subsection not in text:
        sys.exit("man_page: %s has no paragraph %r to make the section %s" % (page, heading, section))
    with open(page, "w", encoding="utf-8") as f:
        f.write(text.replace(subsection, '.SH "%s"\n' % section))


def drop_usage(page):
    """Takes the usage paragraph out of the description, which help2man
    leaves there when it does not read it as the synopsis."""
    with open(page, encoding="utf-8") as f:
        text = f.read()
    shortened, found = re.subn(r"^(\.SH DESCRIPTION\n)usage: .*?\n\.PP\n", r"\1", text, count=1, flags=re.M | re.S)
    if not found:
        sys.exit("man_page: %s has no usage paragraph opening its description" % page)
    with open(page, "w", encoding="utf-8") as f:
        f.write(shortened)


if __name__ == "__main__":
    main()
