"""Builds veltor._native with the project's CMake, then packages it.

The module links the engine's static core; CMake owns the list of sources,
so this file only drives it. The Python sources are in ./veltor.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
PROJECT = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        package = build / "package"
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(
            ["cmake", "-S", str(PROJECT), "-B", str(build), *generator,
             "-DCMAKE_BUILD_TYPE=Release", "-DVELTOR_BUILD_PYTHON=ON", "-DVELTOR_BUILD_TESTS=OFF",
             f"-DPython_EXECUTABLE={sys.executable}", f"-DVELTOR_PYTHON_PACKAGE_DIR={package}"],
            check=True,
        )
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "veltor_python_native", "-j", jobs], check=True)
        built = next((package / "veltor").glob("_native*"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


# One home for the version: the project's, which the library, the program
# and the Debian packages carry too.
VERSION = re.search(r"^project\(QZVeltor VERSION ([0-9.]+)", (PROJECT / "CMakeLists.txt").read_text(), re.M)[1]

setup(version=VERSION, ext_modules=[Extension("veltor._native", sources=[])], cmdclass={"build_ext": CMakeBuild})
