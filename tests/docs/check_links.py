"""Checks the internal links of the built documentation site.

Every link (href) and every image or script (src) of every HTML page that
does not leave the site (no scheme such as https:, no mailto:) must name a
file of the site, and a fragment (#anchor) must name an id on the page it
points to. A link to a Markdown source (a .md file) means a guide linked to a
page the site does not have, and a reference Sphinx could not resolve (a
bare span of class "xref", which it writes instead of a link) is broken
too. Sphinx's own link check needs the network, so
the built HTML is read instead.

    check_links.py HTML_DIR        (scripts/docs.sh runs it after the build)

Prints each broken link with the page it is on, and exits with status 1 when
there is any.
"""

import html.parser
import os
import sys
import urllib.parse

# Pages Sphinx writes for its own machinery; their links are its own.
SKIPPED_DIRS = ("_sources", "_static", "_modules")


class _Page(html.parser.HTMLParser):
    """The ids of a page, and the links and sources on it."""

    def __init__(self):
        super().__init__()
        self.ids = set()
        self.links = []  # (tag, attribute, value)
        self.unresolved = []  # the text of references Sphinx could not resolve
        self._anchors = 0  # <a> elements open
        self._reading = None  # [text] of an unresolved reference being read

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "a":
            self._anchors += 1
        elif tag == "span" and "xref" in (attrs.get("class") or "").split() and not self._anchors:
            # Sphinx writes a reference it could not resolve as a bare span.
            self._reading = []
        for name in ("id", "name"):
            if attrs.get(name) and (name == "id" or tag == "a"):
                self.ids.add(attrs[name])
        for name in ("href", "src"):
            if attrs.get(name) is not None and not (tag == "link" and attrs.get("rel") in ("preconnect",)):
                self.links.append((tag, name, attrs[name]))

    def handle_endtag(self, tag):
        if tag == "a":
            self._anchors -= 1
        elif tag == "span" and self._reading is not None:
            self.unresolved.append("".join(self._reading))
            self._reading = None

    def handle_data(self, data):
        if self._reading is not None:
            self._reading.append(data)


def pages(html_dir):
    for directory, subdirs, files in os.walk(html_dir):
        subdirs[:] = [d for d in subdirs if os.path.relpath(os.path.join(directory, d), html_dir) not in SKIPPED_DIRS]
        for name in files:
            if name.endswith(".html"):
                yield os.path.join(directory, name)


def parse(path):
    page = _Page()
    with open(path, encoding="utf-8") as f:
        page.feed(f.read())
    return page


def broken_links(html_dir):
    """[(page, link, what is wrong)] for every broken internal link."""
    html_dir = os.path.abspath(html_dir)
    parsed = {path: parse(path) for path in pages(html_dir)}
    broken = []
    for path, page in sorted(parsed.items()):
        where = os.path.relpath(path, html_dir)
        broken += [(where, text, "a reference that resolves to nothing") for text in page.unresolved]
        for tag, attribute, value in page.links:
            url = urllib.parse.urlsplit(value)
            if url.scheme or value.startswith("//"):
                continue  # leaves the site
            if not url.path:
                target = path
            else:
                target = os.path.normpath(os.path.join(os.path.dirname(path), urllib.parse.unquote(url.path)))
                if target.endswith(".md") or target.endswith(".rst"):
                    broken.append((where, value, "links to a source file, not a page of the site"))
                    continue
                if not (target == html_dir or target.startswith(html_dir + os.sep)):
                    broken.append((where, value, "points outside the site"))
                    continue
                if os.path.isdir(target):
                    target = os.path.join(target, "index.html")
                if not os.path.isfile(target):
                    broken.append((where, value, "no such file in the site"))
                    continue
            if url.fragment and target.endswith(".html"):
                ids = parsed[target].ids if target in parsed else parse(target).ids
                if urllib.parse.unquote(url.fragment) not in ids:
                    on = os.path.relpath(target, html_dir)
                    broken.append((where, value, "no anchor #%s on %s" % (url.fragment, on)))
    return broken


def main(argv):
    if len(argv) != 2:
        print("usage: check_links.py HTML_DIR", file=sys.stderr)
        return 2
    if not os.path.isfile(os.path.join(argv[1], "index.html")):
        print("check_links: %s has no index.html" % argv[1], file=sys.stderr)
        return 2
    broken = broken_links(argv[1])
    for where, value, problem in broken:
        print("%s: %s: %s" % (where, value, problem))
    count = sum(1 for _ in pages(argv[1]))
    if broken:
        print("check_links: %d broken internal links in %d pages" % (len(broken), count), file=sys.stderr)
        return 1
    print("check_links: every internal link of %d pages resolves" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
