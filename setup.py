# Builds the nuvex wheel: CMake compiles the solver library, the extension module and the command-line
# program, which are installed into the package folder with the shipped data directory (no network needed).
import os
import shutil
import subprocess
import sys
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = Path(__file__).resolve().parent


def cmake(*args):
    subprocess.check_call(["cmake", *map(str, args)])


def cmake_build_dir():
    """A configured build tree: NUVEX_CMAKE_BUILD_DIR (used as it is) or one of our own per interpreter."""
    given = os.environ.get("NUVEX_CMAKE_BUILD_DIR")
    if given:
        path = Path(given).resolve()
        if not (path / "CMakeCache.txt").is_file():
            raise SystemExit(f"NUVEX_CMAKE_BUILD_DIR={given} is not a configured CMake build tree")
        return path
    path = ROOT / "build" / f"pip-{sys.implementation.cache_tag}"
    if not (path / "CMakeCache.txt").is_file():
        cmake("-S", ROOT, "-B", path, "-DCMAKE_BUILD_TYPE=Release", "-DNUVEX_BUILD_TESTS=OFF",
              "-DNUVEX_BUILD_BENCH=OFF", f"-DNUVEX_PYTHON={os.path.realpath(sys.executable)}")
    return path


def shipped_data_files():
    """Files of data/ under version control; everything but run-time caches without git."""
    try:
        out = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", "data"], check=True,
                             capture_output=True).stdout.decode()
        files = [f for f in out.split("\0") if f]
        if files:
            return files
    except (OSError, subprocess.CalledProcessError):
        pass
    files = []
    for path in sorted((ROOT / "data").rglob("*")):
        rel = path.relative_to(ROOT)
        cache = rel.parts[1:2] == ("cache_plasma_weak",) and not path.name.startswith("QED_pressure_correction")
        if path.is_file() and not cache:
            files.append(str(rel))
    return files


class BuildWithCMake(build_py):
    """build_py, then the compiled library, extension and data directory into the package."""

    def run(self):
        super().run()
        package = Path(self.build_lib) / "nuvex"
        build = cmake_build_dir()
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        cmake("--build", build, "-j", jobs, "--target", "nuvex", "_nuvex_c", "nuvex_cli")
        cmake("--install", build, "--component", "python", "--prefix", self.build_lib)
        if not any(p.name.endswith(tuple(EXTENSION_SUFFIXES)) for p in package.glob("_nuvex_c*")):
            raise SystemExit(f"the extension built in {build} does not match this interpreter "
                             f"({EXTENSION_SUFFIXES[0]}); set NUVEX_PYTHON or use another build tree")
        data = package / "data"
        shutil.rmtree(data, ignore_errors=True)
        for rel in shipped_data_files():
            target = package / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / rel, target)


class BinaryDistribution(Distribution):
    """The wheel holds compiled code: platform-specific, installed into platlib."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithCMake}, distclass=BinaryDistribution,
      options={"build": {"build_base": "build/setuptools"}})
