"""Writes the docstrings of libkiv's type stub into a C++ header, so that the
module says what the stub says: help(libkiv.NPU.kiv_load_graph) shows the
stub's text, which is also what the API reference shows. The build runs it.

    stub_docstrings.py libkiv.pyi OUTPUT.h

Each documented name of the stub becomes a constant in namespace
aipudrv::stub_doc, named by its class and member joined with "_"
(NPU_kiv_load_graph, kiv_status_t_KIV_STATUS_SUCCESS): a class's docstring,
a method's or property's docstring (one per name: of overloads and of a
property's getter and setter, the one that has it), and a member's or
field's "#:" comment above its annotation.
"""

import ast
import inspect
import sys

DELIMITER = "kivdoc"


def comment_above(lines, node):
    """The "#:" comment lines right above `node`, as Sphinx reads them."""
    found = []
    index = node.lineno - 2
    while index >= 0 and lines[index].strip().startswith("#:"):
        found.insert(0, lines[index].strip()[2:].strip())
        index -= 1
    return "\n".join(found)


def docstrings(source):
    """The text of every documented name of the stub, in order, by (class,
    member), the member None for the class itself."""
    lines = source.splitlines()
    found = {}

    def add(key, text):
        if not text:
            return
        if key in found:
            sys.exit("stub_docstrings: %s is documented twice" % ".".join(filter(None, key)))
        found[key] = inspect.cleandoc(text)

    for cls in ast.parse(source).body:
        if not isinstance(cls, ast.ClassDef):
            continue
        add((cls.name, None), ast.get_docstring(cls))
        for node in cls.body:
            if isinstance(node, ast.FunctionDef):
                add((cls.name, node.name), ast.get_docstring(node))
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                add((cls.name, node.target.id), comment_above(lines, node))
    return found


def header(found):
    out = ["// Generated from libkiv.pyi by stub_docstrings.py: edit the stub, not this file.",
           "#pragma once", "", "namespace aipudrv::stub_doc {", ""]
    for (cls, member), text in found.items():
        name = cls if member is None else "%s_%s" % (cls, member)
        if ")%s\"" % DELIMITER in text:
            sys.exit("stub_docstrings: the docstring of %s ends the raw string" % name)
        out.append('inline constexpr char %s[] = R"%s(%s)%s";' % (name, DELIMITER, text, DELIMITER))
    out += ["", "}  // namespace aipudrv::stub_doc", ""]
    return "\n".join(out)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: stub_docstrings.py libkiv.pyi OUTPUT.h")
    with open(sys.argv[1], encoding="utf-8") as f:
        text = header(docstrings(f.read()))
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
