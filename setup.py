"""Builds fastlic's extension module with CMake (see pyproject.toml).

The module is the CMake target _fastlic (drivers/python/CMakeLists.txt), compiled
with the project's own build rules and flags; this only runs CMake for the
interpreter that runs pip and copies the module into the package.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(fastlic VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DFASTLIC_GUI=OFF",
            "-DBUILD_TESTING=OFF",
            "-DFASTLIC_STATIC=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        jobs = str(len(os.sched_getaffinity(0)))
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_fastlic", "-j", jobs], check=True)
        built = build_dir / "drivers" / "python" / "fastlic" / os.path.basename(self.get_ext_filename(ext.name))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    version=version(),
    ext_modules=[Extension("fastlic._fastlic", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Not build/: that is the CMake tree of scripts/build.
    options={"build": {"build_base": "build-python"}},
)
