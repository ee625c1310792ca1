# SPDX-License-Identifier: Apache-2.0
"""Builds the native parts of the kiv distribution through CMake, for pip.

    pip install --no-build-isolation .                             libkiv, its stub, kiv (kiv serve and its gRPC
                                                                   stubs included), kiv and zor
    KIV_INSTALL_STANDIN_DRIVER=ON pip install --no-build-isolation .   also the stand-in NPU (and kiv.standin)

The project's metadata is in pyproject.toml, its license (Apache-2.0, the
text in LICENSE, which the wheel carries) included. The CMake build goes to
build-pip/cmake and is reused by later installs.
"""

import os
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))
BUILD_BASE = "build-pip"
CMAKE_BUILD = os.path.join(ROOT, BUILD_BASE, "cmake")
ZOR = os.path.join(BUILD_BASE, "bin", "zor")


def standin_requested():
    return os.environ.get("KIV_INSTALL_STANDIN_DRIVER", "").upper() in ("1", "ON", "YES", "TRUE")


class BuildWithCMake(build_py):
    """Copies the kiv package, then builds libkiv, zor, kiv serve's gRPC
    stubs and (on request) the stand-in with CMake and puts them where the
    wheel takes them from. The stand-in's Python side, kiv.standin, goes only
    with the stand-in."""

    def run(self):
        super().run()
        targets = ["libkiv", "zor", "serve_stubs"] + (["aipudrv"] if standin_requested() else [])
        subprocess.run(
            ["cmake", "-S", ROOT, "-B", CMAKE_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DKIV_BUILD_TESTS=OFF", "-DKIV_BUILD_BENCH=OFF", "-DPython_EXECUTABLE=" + sys.executable],
            check=True,
        )
        subprocess.run(["cmake", "--build", CMAKE_BUILD, "--target", *targets, "-j2"], check=True)
        stub = os.path.join(ROOT, "kiv_umd", "src", "python", "libkiv.pyi")
        self.copy_file(os.path.join(CMAKE_BUILD, "libkiv.so"), os.path.join(self.build_lib, "libkiv.so"))
        self.copy_file(stub, os.path.join(self.build_lib, "libkiv.pyi"))
        # Type checkers find a stub for a single-file module in site-packages
        # only as a package of its own.
        self.mkpath(os.path.join(self.build_lib, "libkiv-stubs"))
        self.copy_file(stub, os.path.join(self.build_lib, "libkiv-stubs", "__init__.pyi"))
        stubs = os.path.join(CMAKE_BUILD, "kiv_serve_protocol")
        self.mkpath(os.path.join(self.build_lib, "kiv_serve_protocol"))
        for name in sorted(os.listdir(stubs)):
            self.copy_file(os.path.join(stubs, name), os.path.join(self.build_lib, "kiv_serve_protocol", name))
        self.mkpath(os.path.dirname(os.path.join(ROOT, ZOR)))
        shutil.copy2(os.path.join(CMAKE_BUILD, "tools", "zor", "zor"), os.path.join(ROOT, ZOR))
        if standin_requested():
            standin = os.path.join(self.build_lib, "kiv", "standin")
            self.mkpath(standin)
            sources = os.path.join(ROOT, "python", "kiv", "standin")
            for name in sorted(os.listdir(sources)):
                if name.endswith(".py"):
                    self.copy_file(os.path.join(sources, name), os.path.join(standin, name))
            self.copy_file(os.path.join(CMAKE_BUILD, "standin", "libaipudrv.so.0"),
                           os.path.join(standin, "libaipudrv.so"))


class NativeDistribution(Distribution):
    """The wheel carries native code: it is tagged for this Python and platform."""

    def has_ext_modules(self):
        return True


setup(
    distclass=NativeDistribution,
    cmdclass={"build_py": BuildWithCMake},
    data_files=[("bin", [ZOR])],
    options={"build": {"build_base": BUILD_BASE}},
)
