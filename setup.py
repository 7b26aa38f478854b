"""Builds the KorvaPy and _korva_link extensions with CMake for the
interpreter running this script, and installs them with KorvaPy's type stub
and the korva package."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    """An extension whose sources CMake knows; setuptools only places it."""

    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Configure and build the extension target with CMake."""

    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DPython_EXECUTABLE=" + sys.executable,
            "-DKORVA_BUILD_TESTS=OFF",
            "-DKORVA_BUILD_EXAMPLES=OFF",
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", ext.name, "-j2"])
        built = os.path.join(build_dir, "python", os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        shutil.copyfile(os.path.join(ROOT, "python", "KorvaPy.pyi"),
                        os.path.join(os.path.dirname(target), "KorvaPy.pyi"))


setup(
    name="KorvaPy",
    version="1.0.0",
    description="Framed-message protocol engine for serial links, with its link layer",
    python_requires=">=3.7",
    package_dir={"": "python"},
    packages=["korva"],
    ext_modules=[CMakeExtension("KorvaPy"), CMakeExtension("_korva_link")],
    cmdclass={"build_ext": CMakeBuild},
    entry_points={"console_scripts": ["korva = korva.cli:main"]},
    zip_safe=False,
    options={"build": {"build_base": "build-setuptools"}},  # build/ belongs to CMake
)
