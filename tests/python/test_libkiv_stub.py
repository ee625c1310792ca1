"""The type stubs describe the native modules as they are: libkiv.pyi the
libkiv module, and kiv/_native.pyi the kiv package's own native module. The
same types, functions, members and methods, with the same parameter names;
and libkiv's docstrings are its stub's."""

import ast
import inspect
import os
import sys

import pytest

import kiv._native
import libkiv

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUBS = {
    "libkiv": (libkiv, os.path.join(REPO, "kiv_umd", "src", "python", "libkiv.pyi")),
    "kiv._native": (kiv._native, os.path.join(REPO, "python", "kiv", "_native.pyi")),
}
# Dunder and enumeration helpers the stub spells out but dir() filters below.
ENUM_EXTRAS = {"name", "value"}


def _stub(module_name):
    tree = ast.parse(open(STUBS[module_name][1]).read())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    module_vars = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    return classes, functions, module_vars


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


@pytest.mark.parametrize("module_name", sorted(STUBS))
def test_stub_names_every_module_attribute_and_nothing_else(module_name):
    classes, functions, module_vars = _stub(module_name)
    stubbed = set(classes) | set(functions) | module_vars
    public = _public(STUBS[module_name][0])
    assert public - stubbed == set()
    assert stubbed - public == set()


@pytest.mark.parametrize(
    "module_name, name", [(module, name) for module in sorted(STUBS) for name in sorted(_stub(module)[0])]
)
def test_stub_class_members_match(module_name, name):
    cls = _stub(module_name)[0][name]
    native = getattr(STUBS[module_name][0], name)
    assert _stub_members(cls) - ENUM_EXTRAS == _public(native) - ENUM_EXTRAS


def _stub_params(func, is_method):
    args = func.args
    names = [a.arg for a in args.args[1 if is_method else 0 :]]
    if args.kwarg:
        names.append("**" + args.kwarg.arg)
    return names


def _doc_params(signature_line, is_method):
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
    return [n for n in names[1 if is_method else 0 :] if n]


def _callables():
    """(name, stub function node, native callable, is a method) for every
    function of both stubs and every method of their classes."""
    found = []
    for module_name, (module, _) in sorted(STUBS.items()):
        classes, functions, _ = _stub(module_name)
        found += [("%s.%s" % (module_name, name), node, getattr(module, name), False)
                  for name, node in functions.items()]
        for class_name, cls in classes.items():
            for node in cls.body:
                if not isinstance(node, ast.FunctionDef) or node.name.startswith("_"):
                    continue
                member = getattr(getattr(module, class_name), node.name)
                if callable(member):  # not a property
                    found.append(("%s.%s.%s" % (module_name, class_name, node.name), node, member, True))
    return found


def test_parameters_match():
    stub_signatures, native = {}, {}
    for name, node, function, is_method in _callables():
        stub_signatures.setdefault(name, []).append(_stub_params(node, is_method))
        native[name] = (function, is_method)
    for name, signatures in stub_signatures.items():
        function, is_method = native[name]
        short = name.rsplit(".", 1)[1]
        doc = inspect.getdoc(function) or ""
        lines = [line.split(". ", 1)[-1] for line in doc.splitlines()]
        real = [_doc_params(line, is_method) for line in lines if line.startswith(short + "(") and ") ->" in line]
        assert sorted(real) == sorted(signatures), name


def _documented():
    """{(class, member or None): text} of every docstring and "#:" comment of
    libkiv's stub, as the build reads them into the module."""
    sys.path.insert(0, os.path.join(REPO, "kiv_umd", "src", "python"))
    try:
        import stub_docstrings
    finally:
        sys.path.pop(0)
    with open(STUBS["libkiv"][1], encoding="utf-8") as f:
        return stub_docstrings.docstrings(f.read())


def test_the_module_says_what_the_stub_says():
    """help() on libkiv shows the reference's words: every class, method,
    property and enumeration member carries the stub's text."""
    checked = 0
    for (cls, member), text in _documented().items():
        native = getattr(libkiv, cls)
        if member is None:
            assert inspect.getdoc(native).startswith(text), cls  # an enumeration's lists its members after it
        elif member in ("name", "value") and hasattr(native, "__members__"):
            continue  # the binding library's own properties of every enumeration
        elif hasattr(native, "__members__") and member in native.__members__:
            assert getattr(native, "__entries")[member][1] == text, (cls, member)
        elif isinstance(inspect.getattr_static(native, member), property):
            assert inspect.getattr_static(native, member).__doc__ == text, (cls, member)
        else:  # a method: its signature line, then the text (the first overload's)
            assert "\n\n" + text + "\n" in inspect.getdoc(getattr(native, member)) + "\n", (cls, member)
        checked += 1
    assert checked > 200


def test_each_status_is_described_by_the_runtimes_text_for_it():
    entries = getattr(libkiv.kiv_status_t, "__entries")
    npu = libkiv.NPU()
    assert npu.kiv_init_context() == libkiv.KIV_STATUS_SUCCESS
    try:
        for name, (value, text) in entries.items():
            assert npu.kiv_get_error_message(value) == text, name
    finally:
        npu.kiv_deinit_context()
