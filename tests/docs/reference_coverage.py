"""Checks that the built API reference documents the whole public API:

- every name in kiv.__all__, and of each such class every public method,
  property and attribute it defines, instance attributes (assigned to self
  in its methods) included;
- every public name of libkiv's stub, and every public member of its classes;

that it documents no other name at the top of either module (what a
module merely imports, say); that every method and function of kiv says
what it raises (a "Raises" field, or "Raises nothing."); and that no
attribute's comment renders as a type.

    reference_coverage.py HTML_DIR       (scripts/docs.sh runs it; kiv must import)

Exit status 1, naming what is missing or stray, when anything is.
"""

import ast
import html.parser
import inspect
import os
import re
import sys
import textwrap

from sphinx.util.inventory import InventoryFile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STUB = os.path.join(ROOT, "kiv_umd", "src", "python", "libkiv.pyi")


class _Entries(html.parser.HTMLParser):
    """The text of each documented object's entry, by its id: from its
    <dt id=...> to the end of the <dd> after it, nested entries included."""

    def __init__(self):
        super().__init__()
        self.entries = {}
        self._open = []  # [id, depth of its <dl>] of the entries being read
        self._depth = 0

    def handle_starttag(self, tag, attrs):
        if tag == "dl":
            self._depth += 1
        elif tag == "dt" and dict(attrs).get("id"):
            self._open.append([dict(attrs)["id"], self._depth])
            self.entries[dict(attrs)["id"]] = ""

    def handle_endtag(self, tag):
        if tag == "dd" and self._open and self._open[-1][1] == self._depth:
            self._open.pop()
        elif tag == "dl":
            self._depth -= 1

    def handle_data(self, data):
        for ident, _ in self._open:
            self.entries[ident] += data


def kiv_entries(html_dir, kinds):
    """The text of each kiv entry of these kinds (py:method, ...), by name."""
    with open(os.path.join(html_dir, "objects.inv"), "rb") as f:
        inventory = InventoryFile.load(f, "", os.path.join)
    pages = {name: where.split("#")[0] for kind in kinds for name, (_, _, where, _) in inventory.get(kind, {}).items()
             if name.startswith("kiv.")}
    entries = {}
    for page in set(pages.values()):
        parser = _Entries()
        with open(os.path.join(html_dir, page), encoding="utf-8") as f:
            parser.feed(f.read())
        entries.update(parser.entries)
    return {name: entries.get(name, "") for name in pages}


def without_raises(html_dir):
    """kiv's documented methods and functions that do not say what they raise."""
    entries = kiv_entries(html_dir, ("py:method", "py:function"))
    return sorted(name for name, text in entries.items() if not re.search(r"Raises(:| nothing\.)", text))


def garbled_attributes(html_dir):
    """kiv's attributes whose comment napoleon read as a type: one that
    starts "The job's QoS level: ..." renders as "Type: The job's QoS level"."""
    entries = kiv_entries(html_dir, ("py:attribute",))
    return sorted(name for name, text in entries.items() if re.search(r"\nType:\n", text))


def documented(html_dir):
    """Every object name the reference holds (its Sphinx inventory)."""
    with open(os.path.join(html_dir, "objects.inv"), "rb") as f:
        inventory = InventoryFile.load(f, "", os.path.join)
    return {name for objects in inventory.values() for name in objects}


def public(name):
    return not name.startswith("_")


def assigned_to_self(cls):
    """Names a class's own methods assign as attributes of the instance."""
    tree = ast.parse(textwrap.dedent(inspect.getsource(cls)))
    names = set()
    for method in tree.body[0].body:
        if not isinstance(method, (ast.FunctionDef, ast.AsyncFunctionDef)) or not method.args.args:
            continue
        this = method.args.args[0].arg
        for node in ast.walk(method):
            targets = node.targets if isinstance(node, ast.Assign) else [getattr(node, "target", None)]
            for target in targets:
                if isinstance(target, ast.Attribute) and isinstance(target.value, ast.Name) and target.value.id == this:
                    names.add(target.attr)
    return names


# Public modules of kiv documented beside the package's own names.
SUBMODULES = ("kiv.standin_profile",)


def defined_in(module):
    """The public names a module defines (not what it imports)."""
    return [name for name, value in vars(module).items()
            if public(name) and not inspect.ismodule(value)
            and getattr(value, "__module__", module.__name__) == module.__name__]


def kiv_names():
    import importlib

    import kiv

    names = members_of(kiv, kiv.__all__)
    for submodule in SUBMODULES:
        module = importlib.import_module(submodule)
        names |= {submodule} | members_of(module, defined_in(module))
    return names


def members_of(module, public_names):
    """The module's names, and of each class every public member it defines."""
    names = set()
    prefix = module.__name__
    for name in public_names:
        names.add("%s.%s" % (prefix, name))
        obj = getattr(module, name)
        if inspect.isclass(obj):
            # What the class itself defines; what it inherits is documented
            # where it is defined (a builtin's members are not kiv's to document,
            # also when a method sets one, as an exception's `args`).
            inherited = {member for base in obj.__mro__[1:] for member in dir(base)}
            own = set(vars(obj)) | set(vars(obj).get("__annotations__", {})) | (assigned_to_self(obj) - inherited)
            names |= {"%s.%s.%s" % (prefix, name, member) for member in own if public(member)}
    return names


def stub_names():
    tree = ast.parse(open(STUB, encoding="utf-8").read())
    names = set()

    def defined(body):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                yield node.name, node
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                yield node.target.id, node
            elif isinstance(node, ast.Assign):
                for target in node.targets:
                    if isinstance(target, ast.Name):
                        yield target.id, node

    for name, node in defined(tree.body):
        if public(name):
            names.add("libkiv." + name)
            if isinstance(node, ast.ClassDef):
                names |= {"libkiv.%s.%s" % (name, member) for member, _ in defined(node.body) if public(member)}
    return names


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: reference_coverage.py HTML_DIR")
    have = documented(sys.argv[1])
    expected = kiv_names() | stub_names()
    missing = sorted(expected - have)
    modules = ("kiv", "libkiv") + SUBMODULES
    top_level = {name for name in have if name.rpartition(".")[0] in modules or name in SUBMODULES}
    stray = sorted(top_level - expected)
    for problem, names in (("lacks %d public names", missing), ("documents %d names that are not public", stray)):
        if names:
            print("reference_coverage: the reference " + problem % len(names) + ":", file=sys.stderr)
            for name in names:
                print("   " + name, file=sys.stderr)
    silent, garbled = without_raises(sys.argv[1]), garbled_attributes(sys.argv[1])
    for problem, names in (("do not say what they raise (a Raises section, or \"Raises nothing.\")", silent),
                           ("render their comment as a type (\"X: ...\" at its start)", garbled)):
        if names:
            print("reference_coverage: these %s:" % problem, file=sys.stderr)
            for name in names:
                print("   " + name, file=sys.stderr)
    if missing or stray or silent or garbled:
        sys.exit(1)
    print("reference_coverage: all %d public names of kiv and libkiv are documented, and kiv's methods and functions "
          "say what they raise" % len(expected))


if __name__ == "__main__":
    main()
