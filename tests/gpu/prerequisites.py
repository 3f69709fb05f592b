#!/usr/bin/env python3
"""What the GPU machine's run needs besides the GPU, checked before any of it runs:

    python3 tests/gpu/prerequisites.py

nvcc, a C++ compiler and a CMake as new as CMakeLists.txt asks for build the helper; cuobjdump
reads its device code back, objcopy cuts its fatbinary out for the timing program, and
compute-sanitizer runs the memory checks. Prints each one found, or one line
"FAIL prerequisites: ..." naming all that is missing. Exit status 0 or 1.
"""
import shutil
import sys

from gpu_tools import ROOT, find_compute_sanitizer

sys.path.insert(0, str(ROOT / "packaging" / "python"))
from wheel_backend import cmake_too_old, cmake_version  # noqa: E402  the Python package's own check


def cmake_problem():
    cmake = shutil.which("cmake")
    minimum = cmake_too_old(cmake)
    found = ".".join(map(str, cmake_version(cmake)))
    if minimum is None:
        print(f"cmake: {cmake} ({found})")
        return None
    return f"cmake {minimum} or newer (found {found or 'none'} on PATH)"


def main():
    missing = [problem for problem in [cmake_problem()] if problem]
    tools = {"nvcc": shutil.which("nvcc"), "cuobjdump": shutil.which("cuobjdump"),
             "objcopy": shutil.which("objcopy"), "compute-sanitizer": find_compute_sanitizer(),
             "a C++ compiler (c++, g++ or clang++)": next(
                 filter(None, map(shutil.which, ("c++", "g++", "clang++"))), None)}
    for name, path in tools.items():
        if path:
            print(f"{name}: {path}")
        else:
            missing.append(name)
    if missing:
        print(f"FAIL prerequisites: missing: {', '.join(missing)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
