"""Builds the compiled part of the Python module with the project's CMake
build (the option LOQUANT_PYTHON) and puts it, with the component library it
runs, into the package. LOQUANT_BUILD_DIR names a CMake build folder to build
in (an existing one is reused, only what changed is rebuilt); by default a
folder of its own under build-python/."""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(os.environ.get("LOQUANT_BUILD_DIR")
                                 or ROOT / "build-python" / "cmake").resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                     "-DLOQUANT_PYTHON=ON",
                     # The interpreter itself, not a virtual environment's link to
                     # it, which may be gone when the build folder is used again.
                     f"-DPython3_EXECUTABLE={os.path.realpath(sys.executable)}"]
        if not (build_dir / "CMakeCache.txt").exists():
            configure += ["-DLOQUANT_TESTS=OFF", "-DLOQUANT_BENCHMARKS=OFF"]
            if shutil.which("ninja"):
                configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "loquant_python",
                        "--parallel", str(min(os.cpu_count() or 1, 2))], check=True)
        built = build_dir / "python" / "loquant"
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).parent
        target.mkdir(parents=True, exist_ok=True)
        for name in [pathlib.Path(self.get_ext_filename("_loquant")).name, "libloquant.so.0"]:
            shutil.copy2(built / name, target / name)


setup(ext_modules=[Extension("loquant._loquant", sources=[])], cmdclass={"build_ext": CMakeBuild})
