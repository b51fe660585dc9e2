"""Builds the Python module dofmap by CMake for `pip install .` (pyproject.toml).

The package's Python files come from python/dofmap/; its compiled module _dofmap is the CMake
target of that name, configured with the programs, tests and benchmarks off and built for the
interpreter that runs this script, in build-python/ (kept, so that installing again rebuilds only
what changed). CMAKE_ARGS adds options of CMake's own (-DCMAKE_CXX_COMPILER_LAUNCHER=ccache).
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent
BUILD = SOURCE / "build-python"
CODECS_MODULE = "libdofmap-opencv-codecs.so"


def project_version():
    """The VERSION of CMakeLists.txt's project(), which the programs and the module report."""
    text = (SOURCE / "CMakeLists.txt").read_text()
    found = re.search(r"^project\(dofmap\s+VERSION\s+([0-9.]+)", text, re.M)
    if not found:
        sys.exit(f"{SOURCE / 'CMakeLists.txt'}: no project(dofmap VERSION ...) line to take the version from")
    return found[1]


class CMakeExtension(Extension):
    """An extension that CMake builds: no sources of setuptools' own."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class BuildByCMake(build_ext):
    def build_extension(self, extension):
        cmake_build = BUILD / "cmake"
        configure = [
            "cmake", "-S", str(SOURCE), "-B", str(cmake_build), "-DCMAKE_BUILD_TYPE=Release",
            "-DDOFMAP_PROGRAMS=OFF", "-DBUILD_TESTING=OFF", "-DDOFMAP_BENCHMARKS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
            *shlex.split(os.environ.get("CMAKE_ARGS", "")),
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(cmake_build), "--target", extension.target, "--parallel", jobs], check=True)
        suffix = self.get_ext_filename("x")[1:]
        built = cmake_build / "python" / "dofmap" / f"{extension.target}{suffix}"
        if not built.is_file():
            sys.exit(f"{built}: CMake built no module for this interpreter (it was configured for another one?)")
        destination = pathlib.Path(self.get_ext_fullpath(extension.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)
        # OpenCV's codecs, in the module that _dofmap loads from its own folder when a file needs them.
        codecs = built.parent / CODECS_MODULE
        if not codecs.is_file():
            sys.exit(f"{codecs}: CMake built no module of OpenCV's codecs beside {built.name}")
        shutil.copyfile(codecs, destination.parent / CODECS_MODULE)


BUILD.mkdir(exist_ok=True)
setup(
    version=project_version(),
    packages=["dofmap"],
    package_dir={"": "python"},
    package_data={"dofmap": ["_dofmap.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("dofmap._dofmap", "_dofmap")],
    cmdclass={"build_ext": BuildByCMake},
    # setuptools' own build and metadata folders beside CMake's, out of the source folders.
    options={"build": {"build_base": str(BUILD / "setuptools")}, "egg_info": {"egg_base": str(BUILD)}},
    zip_safe=False,
)
