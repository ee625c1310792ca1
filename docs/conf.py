"""Sphinx configuration of the documentation site: the guides (Markdown, read
by MyST) and the API reference (reStructuredText, docs/reference/), built
into one HTML site by scripts/docs.sh.

In the reference, kiv is documented from the package itself (its docstrings and type hints),
over the module libkiv of a build tree (KIV_BUILD_DIR, default build/);
libkiv from its type stub, kiv_umd/src/python/libkiv.pyi, which holds the
module's names, signatures and types as users see them.
"""

import __future__
import importlib.abc
import importlib.util
import inspect
import os
import sys
import typing

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.path.abspath(os.environ.get("KIV_BUILD_DIR", os.path.join(ROOT, "build")))
STUB = os.path.join(ROOT, "kiv_umd", "src", "python", "libkiv.pyi")

sys.dont_write_bytecode = True  # nothing written into the sources
sys.path[:0] = [BUILD, os.path.join(ROOT, "python")]
import kiv  # noqa: E402  (the package over the built module, loaded once for good)


class StubLoader(importlib.abc.SourceLoader):
    """Runs a stub file as a module. Its annotations stay unevaluated, as
    they are in a stub, where a class may name itself in its own body."""

    def __init__(self, path):
        self.path = path

    def get_filename(self, fullname):
        return self.path

    def get_data(self, path):
        with open(path, "rb") as f:
            return f.read()

    def source_to_code(self, data, path, *, _optimize=-1):
        return compile(data, path, "exec", flags=__future__.annotations.compiler_flag, dont_inherit=True)


def stub_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path, loader=StubLoader(path))
    module = importlib.util.module_from_spec(spec)
    # typing.overload would leave typing's placeholder in the class, whose
    # docstring and globals are typing's; kept as they are, the stub's
    # definitions evaluate their types in the stub, and autodoc reads the
    # overloads from its source.
    overload = typing.overload
    typing.overload = lambda function: function
    try:
        spec.loader.exec_module(module)
    finally:
        typing.overload = overload
    if hasattr(module, "overload"):
        module.overload = overload  # the stub's import, not a name of libkiv
    return module


def enumerations(module):
    """Every enumeration of a module: its name, and its members' names and values."""
    return {name: {member: int(value) for member, value in cls.__members__.items()}
            for name, cls in vars(module).items() if isinstance(cls, type) and hasattr(cls, "__members__")}


# From here on "libkiv" is the stub, for autodoc. kiv and its modules keep the
# real module they imported above, so their type hints still name libkiv's
# classes, and link to the stub's pages.
ENUMERATIONS = enumerations(sys.modules["libkiv"])
sys.modules["libkiv"] = stub_module("libkiv", STUB)
# The stub only annotates the members; their values are the module's.
for _enum, _members in ENUMERATIONS.items():
    for _member, _value in _members.items():
        setattr(getattr(sys.modules["libkiv"], _enum), _member, _value)
EXPORTED = {member: (enum, value) for enum, members in ENUMERATIONS.items() for member, value in members.items()}

project = "libkiv"
author = "The libkiv authors"
copyright = "2026, " + author
version = release = kiv.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# Headings of the guides get anchors as a Markdown renderer gives them
# ("## The kiv layer" is #the-kiv-layer), so that links between pages work
# both here and where the Markdown is read as it is.
myst_heading_anchors = 4
myst_enable_extensions = ["colon_fence"]
# Single backquotes in the docstrings name code: a link where the name is
# documented here, else shown as code.
default_role = "py:obj"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Default values as the code writes them (the stub's "..." included).
autodoc_preserve_defaults = True
# numpy's ArrayLike and DTypeLike, and kiv's input types made of them, by the
# names the code writes, rather than the long unions numpy spells them out as.
# kiv's classes by their public names (kiv.JobOptions), not by the modules
# that define them (kiv.job_options.JobOptions).
autodoc_type_aliases = {
    "InputValue": "InputValue",
    "InputSet": "InputSet",
    "npt.ArrayLike": "numpy.typing.ArrayLike",
    "npt.DTypeLike": "numpy.typing.DTypeLike",
    **{name: "kiv." + name for name in kiv.__all__ if inspect.isclass(getattr(kiv, name))},
}
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_ivar = False

html_theme = "furo"
html_title = "libkiv %s" % release
html_static_path = ["_static"]
# Long code lines wrap rather than being cut off; tables give inline code room.
html_css_files = ["wrapping.css"]


def drop_type_docstring(app, what, name, obj, options, lines):
    """A value's docstring that is its type's (a str's, for kiv.__version__)
    says nothing about the value: left out."""
    if what in ("data", "attribute") and lines and type(obj).__doc__:
        if "\n".join(lines).strip() == inspect.cleandoc(type(obj).__doc__):
            lines.clear()


def exported_member(app, what, name, obj, options, lines):
    """An enumeration member that libkiv also exports is described where
    its enumeration lists it."""
    module, _, member = name.rpartition(".")
    if what == "data" and module == "libkiv" and member in EXPORTED and not lines:
        enum, value = EXPORTED[member]
        lines.append("`%s.%s` (%d), exported into the module." % (enum, member, value))


def public_bases(app, name, obj, options, bases):
    """A base class that kiv exports by its public name (kiv.KivError), not
    by the module that defines it."""
    for index, base in enumerate(bases):
        if getattr(kiv, base.__name__, None) is base and base.__module__.startswith("kiv."):
            bases[index] = ":py:class:`kiv.%s`" % base.__name__


# Classes whose objects the package makes (Runtime.load, the runs): no
# constructor is shown.
NOT_CONSTRUCTED = {"kiv.Model", "kiv.Outputs"}


def no_constructor(app, what, name, obj, options, signature, return_annotation):
    if what == "class" and name in NOT_CONSTRUCTED:
        return "", None
    return None


def literal_blocks(app, what, name, obj, options, lines):
    """The docstrings are plain text, as help() shows them: a block indented
    under a paragraph is code. reST needs a "::" before it, unless a
    directive (napoleon's attributes) or a "::" already introduces it."""
    marked, previous = [], ""
    for index, line in enumerate(lines):
        if (line.startswith(" ") and index and not lines[index - 1].strip() and previous
                and not previous.startswith((" ", "..", ":")) and not previous.rstrip().endswith("::")):
            marked += ["::", ""]
        marked.append(line)
        previous = line if line.strip() else previous
    lines[:] = marked


def setup(app):
    # After napoleon's own handler, which setup() of the extension connected.
    app.connect("autodoc-process-docstring", drop_type_docstring)
    app.connect("autodoc-process-docstring", exported_member)
    app.connect("autodoc-process-docstring", literal_blocks)
    app.connect("autodoc-process-signature", no_constructor)
    app.connect("autodoc-process-bases", public_bases)
