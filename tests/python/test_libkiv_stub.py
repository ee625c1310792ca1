"""The type stub libkiv.pyi describes the module as it is: the same types,
members and methods, and the same parameter names."""

import ast
import inspect
import os

import pytest

import libkiv

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(REPO, "kiv_umd", "src", "python", "libkiv.pyi")
# Dunder and enumeration helpers the stub spells out but dir() filters below.
ENUM_EXTRAS = {"name", "value"}


def _stub():
    tree = ast.parse(open(STUB).read())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    module_vars = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    return classes, module_vars


def _public(obj):
    return {k for k in dir(obj) if not k.startswith("_")}


def _stub_members(cls):
    names = set()
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
            names.add(node.target.id)
    return names


def test_stub_names_every_module_attribute_and_nothing_else():
    classes, module_vars = _stub()
    stubbed = set(classes) | module_vars
    assert _public(libkiv) - stubbed == set()
    assert stubbed - _public(libkiv) == set()


@pytest.mark.parametrize("name", sorted(_stub()[0]))
def test_stub_class_members_match(name):
    cls = _stub()[0][name]
    assert _stub_members(cls) - ENUM_EXTRAS == _public(getattr(libkiv, name)) - ENUM_EXTRAS


def _stub_params(func):
    args = func.args
    names = [a.arg for a in args.args[1:]]
    if args.kwarg:
        names.append("**" + args.kwarg.arg)
    return names


def _doc_params(signature_line):
    """Parameter names from a pybind11 signature line 'name(self: T, a: int, ...) -> R'."""
    inside = signature_line[signature_line.index("(") + 1 : signature_line.rindex(") ->")]
    names, depth, current = [], 0, ""
    for ch in inside + ",":
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            names.append(current.split(":")[0].strip())
            current = ""
        else:
            current += ch
    return [n for n in names[1:] if n]


def test_npu_method_parameters_match():
    npu_stub = _stub()[0]["NPU"]
    stub_methods = {}
    for node in npu_stub.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            stub_methods.setdefault(node.name, []).append(_stub_params(node))
    for name, stub_signatures in stub_methods.items():
        doc = inspect.getdoc(getattr(libkiv.NPU, name)) or ""
        lines = [line.split(". ", 1)[-1] for line in doc.splitlines() if f"{name}(self" in line]
        real = [_doc_params(line) for line in lines]
        assert sorted(real) == sorted(stub_signatures), name
