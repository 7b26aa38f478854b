"""Builds the KorvaPy and _korva_link extensions with CMake for the
interpreter running this script; CMake's own install step places them, the
type stub and the korva package into the wheel's tree."""

import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))

with open(os.path.join(ROOT, "VERSION")) as version_file:
    VERSION = version_file.read().strip()


class CMakeProject(Extension):
    """The CMake project's Python modules, built and installed as one."""

    def __init__(self):
        super().__init__("KorvaPy", sources=[])


class CMakeBuild(build_ext):
    """Configure, build and install the Python modules with CMake."""

    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        install_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DPython_EXECUTABLE=" + sys.executable,
            "-DKORVA_PYTHON_INSTALL_DIR=" + install_dir,
            "-DKORVA_BUILD_TESTS=OFF",
            "-DKORVA_BUILD_EXAMPLES=OFF",
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "KorvaPy", "_korva_link", "-j2"])
        subprocess.check_call(["cmake", "--install", build_dir])


setup(
    name="KorvaPy",
    version=VERSION,
    description="Framed-message protocol engine for serial links, with its link layer",
    python_requires=">=3.7",
    ext_modules=[CMakeProject()],
    cmdclass={"build_ext": CMakeBuild},
    entry_points={"console_scripts": ["korva = korva.cli:main"]},
    extras_require={"mqtt": ["paho-mqtt>=1.6"]},  # `korva gateway`; MQTT v5 came with paho 1.6
    zip_safe=False,
    options={"build": {"build_base": "build-setuptools"}},  # build/ belongs to CMake
)
