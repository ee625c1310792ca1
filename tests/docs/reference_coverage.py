"""Checks that the built API reference documents the whole public API:

- every name in kiv.__all__, and of each such class every public method,
  property and attribute it defines, instance attributes (assigned to self
  in its methods) included;
- every public name of libkiv's stub, and every public member of its classes;

that it documents no other name at the top of either module (what a
module merely imports, say); that every documented name has a description
of its own, not just a signature; that every enumeration member of libkiv
shows its value; that every parameter of a method, function or class is
described (a "Parameters" field, or for a class an attribute of that name);
that every method and function of kiv says what it raises (a "Raises"
field, or "Raises nothing."); and that no attribute's or property's comment
renders as a type.

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
    """What the reference shows of each documented object, by its id: the
    text of its entry, from its <dt id=...> to the end of the <dd> after it
    (`text`, nested entries included; `own`, without them); its signature's
    text and parameter names; and the names its "Parameters" field describes."""

    def __init__(self):
        super().__init__()
        self.entries = {}
        self._open = []  # the entries being read, innermost last
        self._depth = 0  # of <dl>
        self._field = None  # the field list term being read, or the one whose <dd> is read
        self._capture = None  # [what, text] of an element whose text is wanted

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "dl":
            self._depth += 1
        elif tag == "dt" and attrs.get("id"):
            entry = {"text": "", "own": "", "signature": "", "parameters": [], "described": set(),
                     "depth": self._depth, "in_signature": True}
            self._open.append(entry)
            self.entries[attrs["id"]] = entry
        elif not self._open:
            return
        elif tag == "em" and "sig-param" in attrs.get("class", "") and self._open[-1]["in_signature"]:
            self._capture = ["parameter", ""]
        elif tag == "dt" and "field-" in attrs.get("class", ""):
            self._capture = ["field", ""]
        elif tag == "strong" and self._field == "Parameters":
            self._capture = ["described", ""]

    def handle_endtag(self, tag):
        if self._capture and (tag, self._capture[0]) in (("em", "parameter"), ("dt", "field"), ("strong", "described")):
            what, text = self._capture
            self._capture = None
            entry = self._open[-1]
            if what == "parameter":
                # "*inputs: ...", "cfg=None", or a lone "*" or "/" marker
                name = re.split(r"[:=]", text, 1)[0].strip().lstrip("*")
                if name and name != "/":
                    entry["parameters"].append(name)
            elif what == "field":
                self._field = text.rstrip(":").strip()
            else:
                entry["described"].add(text.strip())
            return
        if not self._open:
            return
        if tag == "dt" and self._open[-1]["in_signature"]:
            self._open[-1]["in_signature"] = False
        elif tag == "dd" and self._field is not None:
            self._field = None  # the end of a field's description
        elif tag == "dd" and self._open[-1]["depth"] == self._depth:
            self._open.pop()
        if tag == "dl":
            self._depth -= 1

    def handle_data(self, data):
        if self._capture:
            self._capture[1] += data
        if not self._open:
            return
        for entry in self._open:
            entry["text"] += data
        innermost = self._open[-1]
        innermost["signature" if innermost["in_signature"] else "own"] += data


def entries(html_dir, kinds, modules=("kiv",)):
    """What the reference shows of each object of these kinds (py:method,
    ...) of these modules, by name (see _Entries)."""
    with open(os.path.join(html_dir, "objects.inv"), "rb") as f:
        inventory = InventoryFile.load(f, "", os.path.join)
    # Where each is: its page and its entry's id. The name of the module that
    # defines a class (kiv.device.Device) leads to the same entry as the
    # public one (kiv.Device), which stands for both.
    places = {name: where.partition("#")[::2] for kind in kinds
              for name, (_, _, where, _) in inventory.get(kind, {}).items()
              if name.split(".")[0] in modules and where.endswith("#" + name)}
    found = {}
    for page in {page for page, _ in places.values()}:
        parser = _Entries()
        with open(os.path.join(html_dir, page), encoding="utf-8") as f:
            parser.feed(f.read())
        found[page] = parser.entries
    empty = {"text": "", "own": "", "signature": "", "parameters": [], "described": set()}
    return {name: found[page].get(anchor, empty) for name, (page, anchor) in places.items()}


def kiv_entries(html_dir, kinds):
    """The text of each kiv entry of these kinds (py:method, ...), by name."""
    return {name: entry["text"] for name, entry in entries(html_dir, kinds).items()}


def without_raises(html_dir):
    """kiv's documented methods and functions that do not say what they raise."""
    entries = kiv_entries(html_dir, ("py:method", "py:function"))
    return sorted(name for name, text in entries.items() if not re.search(r"Raises(:| nothing\.)", text))


def garbled_attributes(html_dir):
    """Attributes and properties whose comment napoleon read as a type: one
    that starts "The job's QoS level: ..." renders as "Type: The job's QoS level"."""
    found = entries(html_dir, ("py:attribute", "py:property"), ("kiv", "libkiv"))
    return sorted(name for name, entry in found.items() if re.search(r"\nType:\n", entry["text"]))


# Every kind of object the reference documents by an entry of its own (a
# module's description is its page).
KINDS = ("py:class", "py:exception", "py:method", "py:function", "py:property", "py:attribute", "py:data")


def undescribed(html_dir):
    """Documented names that show a signature and nothing of their own: no
    docstring, no comment (a class's "Bases:" line does not count)."""
    found = entries(html_dir, KINDS, ("kiv", "libkiv"))
    return sorted(name for name, entry in found.items()
                  if not re.sub(r"^\s*Bases:[^\n]*", "", entry["own"]).strip())


def without_values(html_dir):
    """libkiv's enumeration members whose entry shows no value."""
    enumerations = {"libkiv." + name for name in stub_enumerations()}
    found = entries(html_dir, ("py:attribute",), ("libkiv",))
    return sorted(name for name, entry in found.items()
                  if name.rpartition(".")[0] in enumerations and name.rpartition(".")[2] not in ("name", "value")
                  and not re.search(r"= \d+", entry["signature"]))


def undescribed_parameters(html_dir):
    """name(parameter) for every parameter of a method, function or class
    that neither its "Parameters" field describes nor, for a class, an
    attribute of that name."""
    found = entries(html_dir, ("py:class", "py:exception", "py:method", "py:function"), ("kiv", "libkiv"))
    attributes = documented(html_dir)
    return sorted("%s(%s)" % (name, parameter) for name, entry in found.items() for parameter in entry["parameters"]
                  if parameter not in entry["described"] and "%s.%s" % (name, parameter) not in attributes)


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


def stub_enumerations():
    """The stub's enumerations: its classes that have __members__."""
    tree = ast.parse(open(STUB, encoding="utf-8").read())
    return {node.name for node in tree.body if isinstance(node, ast.ClassDef)
            and any(isinstance(item, ast.AnnAssign) and getattr(item.target, "id", "") == "__members__"
                    for item in node.body)}


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
    html_dir = sys.argv[1]
    have = documented(html_dir)
    expected = kiv_names() | stub_names()
    missing = sorted(expected - have)
    modules = ("kiv", "libkiv") + SUBMODULES
    top_level = {name for name in have if name.rpartition(".")[0] in modules or name in SUBMODULES}
    stray = sorted(top_level - expected)
    problems = (
        ("the reference lacks %d public names", missing),
        ("the reference documents %d names that are not public", stray),
        ("%d names show a signature and no description", undescribed(html_dir)),
        ("%d enumeration members of libkiv show no value", without_values(html_dir)),
        ("%d parameters are not described (a Parameters field, or an attribute of the class)",
         undescribed_parameters(html_dir)),
        ("%d methods and functions of kiv do not say what they raise (a Raises section, or \"Raises nothing.\")",
         without_raises(html_dir)),
        ("%d attributes render their comment as a type (\"X: ...\" at its start)", garbled_attributes(html_dir)),
    )
    failed = False
    for problem, names in problems:
        if names:
            failed = True
            print("reference_coverage: " + problem % len(names) + ":", file=sys.stderr)
            for name in names:
                print("   " + name, file=sys.stderr)
    if failed:
        sys.exit(1)
    print("reference_coverage: all %d public names of kiv and libkiv are documented and described, with every "
          "parameter; libkiv's enumeration members show their values, and kiv's methods and functions say what "
          "they raise" % len(expected))


if __name__ == "__main__":
    main()
