"""Builds veltor._native with the project's CMake, then packages it.

The module links the engine's static core; CMake owns the list of sources,
so this file only drives it. The Python sources are in ./veltor.

An existing CMake build of the project (VELTOR_CMAKE_BUILD_DIR, else
build/release) that builds the module for this Python is reused: only the
module is brought up to date there. Otherwise the project is configured
afresh in the build's temporary folder. Neither needs the network.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
PROJECT = HERE.parent


def _cache_value(cache: pathlib.Path, name: str):
    for line in cache.read_text(errors="replace").splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return None


def _existing_build():
    """The project's CMake build folder when it builds the module for this Python's ABI, else None."""
    build = pathlib.Path(os.environ.get("VELTOR_CMAKE_BUILD_DIR", PROJECT / "build" / "release"))
    cache = build / "CMakeCache.txt"
    if not cache.is_file() or _cache_value(cache, "VELTOR_BUILD_PYTHON") != "ON":
        return None
    package = _cache_value(cache, "VELTOR_PYTHON_PACKAGE_DIR")
    if not package:
        return None
    # The suffix names the interpreter's ABI (cpython-311-x86_64-linux-gnu):
    # a module built for another Python would not import.
    built = pathlib.Path(package) / "veltor" / ("_native" + sysconfig.get_config_var("EXT_SUFFIX"))
    return build, built


def _pybind11_dir():
    """pybind11's CMake files from the pybind11 module when it is installed (PyPI's wheel has them)."""
    try:
        import pybind11
    except ImportError:
        return []
    return [f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        existing = _existing_build()
        if existing is not None and existing[1].exists():
            build, built = existing
        else:
            build = pathlib.Path(self.build_temp).resolve() / "cmake"
            package = build / "package"
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.run(
                ["cmake", "-S", str(PROJECT), "-B", str(build), *generator,
                 "-DCMAKE_BUILD_TYPE=Release", "-DVELTOR_BUILD_PYTHON=ON", "-DVELTOR_BUILD_TESTS=OFF",
                 f"-DPython_EXECUTABLE={sys.executable}", f"-DVELTOR_PYTHON_PACKAGE_DIR={package}",
                 *_pybind11_dir()],
                check=True,
            )
            built = package / "veltor" / ("_native" + sysconfig.get_config_var("EXT_SUFFIX"))
        subprocess.run(["cmake", "--build", str(build), "--target", "veltor_python_native", "-j", jobs], check=True)
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("veltor._native", sources=[])], cmdclass={"build_ext": CMakeBuild})
