"""The documentation site's link check (tests/docs/check_links.py, which
scripts/docs.sh runs on the built site) finds every kind of broken internal
link, on small hand-made sites."""

import os
import subprocess
import sys

import pytest

from conftest import REPO

sys.path.insert(0, os.path.join(REPO, "tests", "docs"))
import check_links  # noqa: E402

GOOD_INDEX = """<html><body><nav><a href="guide.html">Guide</a> <a href="guide.html#setup">Set-up</a>
<a href="#top">top</a> <a href="https://example.org/x.md">out</a> <a href="mailto:a@b">mail</a></nav>
<h1 id="top">Site</h1><img src="_images/plot.png"><script src="_static/x.js"></script>
<a href="reference/">reference</a></body></html>"""
GOOD_GUIDE = """<html><body><section id="setup"><h2>Set-up</h2>
<a class="reference internal" href="index.html"><span class="xref myst">home</span></a></section></body></html>"""


def make_site(root, pages):
    for name, text in pages.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return str(root)


@pytest.fixture
def site(tmp_path):
    def build(**changes):
        pages = {"index.html": GOOD_INDEX, "guide.html": GOOD_GUIDE, "_images/plot.png": "png",
                 "_static/x.js": "", "reference/index.html": "<html></html>"}
        pages.update({name.replace("__", "/"): text for name, text in changes.items()})
        return make_site(tmp_path, {name: text for name, text in pages.items() if text is not None})
    return build


def test_a_site_whose_links_all_resolve_passes(site):
    root = site()
    assert check_links.broken_links(root) == []
    result = subprocess.run([sys.executable, os.path.join(REPO, "tests", "docs", "check_links.py"), root],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "every internal link of 3 pages resolves" in result.stdout


@pytest.mark.parametrize("changes, link, problem", [
    ({"index.html": GOOD_INDEX.replace('"guide.html"', '"gide.html"')}, "gide.html", "no such file in the site"),
    ({"guide.html": GOOD_GUIDE.replace('id="setup"', 'id="other"')}, "guide.html#setup", "no anchor #setup on guide.html"),
    ({"index.html": GOOD_INDEX.replace('id="top"', "")}, "#top", "no anchor #top on index.html"),
    ({"_images__plot.png": None}, "_images/plot.png", "no such file in the site"),
    ({"reference__index.html": None}, "reference/", "no such file in the site"),
    ({"guide.html": GOOD_GUIDE + '<a href="kiv-command.md">cmd</a>'}, "kiv-command.md",
     "links to a source file, not a page of the site"),
    ({"guide.html": GOOD_GUIDE + '<a href="../../examples/x.py">x</a>'}, "../../examples/x.py", "points outside the site"),
    ({"guide.html": GOOD_GUIDE + '<p><span class="xref myst">kiv-command.md#nope</span></p>'},
     "kiv-command.md#nope", "a reference that resolves to nothing"),
])
def test_each_kind_of_broken_link_is_found_and_fails_the_check(site, changes, link, problem):
    root = site(**changes)
    broken = check_links.broken_links(root)
    assert [(value, what) for _, value, what in broken] == [(link, problem)]
    result = subprocess.run([sys.executable, os.path.join(REPO, "tests", "docs", "check_links.py"), root],
                            capture_output=True, text=True)
    assert result.returncode == 1
    assert "%s: %s" % (link, problem) in result.stdout
