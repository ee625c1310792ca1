"""The documentation site's link check (tests/docs/check_links.py, which
scripts/docs.sh runs on the built site) finds every kind of broken internal
link, on small hand-made sites; what the pages claim about themselves holds
(one tiny model, virtual environments made by Debian's interpreter); and the
site's own stylesheet wraps long code lines."""

import ast
import os
import re
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
    ({"guide.html": GOOD_GUIDE.replace('id="setup"', 'id="other"')}, "guide.html#setup",
     "no anchor #setup on guide.html"),
    ({"index.html": GOOD_INDEX.replace('id="top"', "")}, "#top", "no anchor #top on index.html"),
    ({"_images__plot.png": None}, "_images/plot.png", "no such file in the site"),
    ({"reference__index.html": None}, "reference/", "no such file in the site"),
    ({"guide.html": GOOD_GUIDE + '<a href="kiv-command.md">cmd</a>'}, "kiv-command.md",
     "links to a source file, not a page of the site"),
    ({"guide.html": GOOD_GUIDE + '<a href="../../examples/x.py">x</a>'}, "../../examples/x.py",
     "points outside the site"),
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


# --- what the pages claim ----------------------------------------------------------------------

def pages():
    import test_docs
    return test_docs.documents()


def test_every_virtual_environment_is_made_by_debians_interpreter():
    # The python3 first on PATH may be another interpreter, whose venv has no numpy.
    for path in pages():
        with open(os.path.join(REPO, path), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                if re.search(r"-m venv\b", line):
                    assert re.search(r"/usr/bin/python3 -m venv\b", line), "%s:%d: %s" % (path, number, line)


def test_the_guides_build_one_tiny_model(tmp_path):
    """Getting started builds the tiny model step by step; the other pages make
    it with kiv example. Both give the same container."""
    import test_docs
    blocks = [block for block in test_docs.runnable("docs/getting-started.md") if "tiny.zor" in block["code"]
              and "ProgramBuilder" in block["code"]]
    assert len(blocks) == 1
    from conftest import BUILD_DIR, PYTHON, SEARCH_PATH
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH),
               PATH=os.path.join(BUILD_DIR, "tools", "zor") + os.pathsep + os.environ["PATH"])
    (tmp_path / "guide").mkdir()
    subprocess.run([PYTHON, "-c", blocks[0]["code"]], cwd=tmp_path / "guide", env=env, check=True)
    subprocess.run([PYTHON, "-m", "kiv", "example", "tiny", "-o", str(tmp_path / "tiny.zor")], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    assert (tmp_path / "guide" / "tiny.zor").read_bytes() == (tmp_path / "tiny.zor").read_bytes()


def test_the_sites_stylesheet_wraps_long_code_lines():
    """docs/conf.py adds stylesheets of docs/_static to the theme's; in them,
    code blocks wrap a line wider than the page instead of cutting it off
    behind a scroll bar (scripts/docs_screenshots.sh shows the pages)."""
    with open(os.path.join(REPO, "docs", "conf.py"), encoding="utf-8") as f:
        conf = f.read()
    settings = {name: ast.literal_eval(value) for name, value in
                re.findall(r"^(html_static_path|html_css_files) = (\[.*\])$", conf, re.M)}
    assert settings["html_static_path"] == ["_static"] and settings["html_css_files"]
    rules = {}
    for name in settings["html_css_files"]:
        with open(os.path.join(REPO, "docs", "_static", name), encoding="utf-8") as f:
            css = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
        for selectors, body in re.findall(r"([^{}]+)\{([^}]*)\}", css):
            for selector in selectors.split(","):
                rules.setdefault(" ".join(selector.split()), []).extend(" ".join(body.split()).split("; "))
    for selector in (".highlight pre", "pre.literal-block"):
        assert {"white-space: pre-wrap", "overflow-wrap: anywhere"} <= {d.rstrip(";") for d in rules[selector]}
