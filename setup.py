"""Builds the extension module with the project's CMake build.

The module is one shared object produced by the CMake target `vexoacq`
against the interpreter running this script; this file only hands it to
setuptools so that pip can install it.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        subprocess.check_call(
            [
                "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DVEXO_BENCH=OFF",
            ]
        )
        jobs = str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "vexoacq", "-j", jobs])
        built = next((build_dir / "python").glob("vexoacq*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


# pip's intermediate files go under build/pip, apart from the CMake build in build/.
setup(
    ext_modules=[CMakeExtension("vexoacq")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/pip"}},
)
