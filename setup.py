"""Builds the extension module with the project's CMake build.

The module is one shared object produced by the CMake target `vexoacq`
against the interpreter running this script; this file only hands it to
setuptools so that pip can install it.  The build configures the module
alone (no C++ tests, no benchmarks), so it needs the compiler, CMake,
pkg-config and the -dev packages of libyaml, zlib, oneTBB and the
interpreter, but neither GoogleTest nor Google Benchmark.  Extra CMake
arguments can be passed in the environment variable CMAKE_ARGS.
"""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def _can_make_wheels():
    try:
        import setuptools.command.bdist_wheel  # noqa: F401  (setuptools 70.1 and later)
        return True
    except ImportError:
        pass
    try:
        import wheel  # noqa: F401
        return True
    except ImportError:
        return False


if not _can_make_wheels():
    # pip's own message for this is "invalid command 'bdist_wheel'".
    print(f"note: {sys.executable} has no 'wheel' package, so pip cannot build a wheel of vexoacq "
          "with --no-build-isolation; install it into this interpreter (Debian: python3-wheel) "
          "or use /usr/bin/python3", file=sys.stderr)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if shutil.which("cmake") is None:
            sys.exit("error: building vexoacq needs CMake 3.25 or later on PATH "
                     "(Debian: cmake; scripts/setup --module installs every build package)")
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir)]
        # Ninja when there is one; CMake's default generator otherwise.  A
        # folder configured before keeps the generator it was made with.
        if shutil.which("ninja") is not None and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        configure += [
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DVEXO_TESTS=OFF",
            "-DVEXO_BENCH=OFF",
        ]
        configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.check_call(configure)
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
