"""The project's version: the one place it is written. CMake reads it from
here for the native libraries and the CMake package, setup.py for the
Python package."""

__version__ = "0.3.0"
