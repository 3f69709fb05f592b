"""Builds the mavo-edge-verify Python package: the wheel around libmavo_edge_verify.so.0, and the
sdist that builds that library from source with CMake and a C++20 compiler (no CUDA needed).

A PEP 517 backend (pyproject.toml names it), and a command for the release build, which builds the
library in its pinned root and wraps it here (and for the tests, which wrap the build's library):
    wheel_backend.py wheel LIBRARY PLATFORM_TAG|local OUT_DIR
    wheel_backend.py sdist OUT_DIR
Both archives are reproducible: fixed order, times from SOURCE_DATE_EPOCH (or 1980), fixed modes.
"""

import base64
import fnmatch
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[2]
NAME = "mavo_edge_verify"
HEADER = "include/mavo_edge/verify.h"
# What the sdist holds, of the files git tracks: enough to build the library and the package, and to
# test them.
SDIST_PATTERNS = ["pyproject.toml", "LICENSE", "THIRD_PARTY_NOTICES", "CMakeLists.txt", "cmake/version.cmake",
                  "cmake/sources.cmake",
                  "cmake/warnings.cmake", "cmake/verify_library.cmake", "cmake/packaging.cmake", HEADER,
                  "src/verify_library.map", "packaging/python/wheel_backend.py", "python/README.md",
                  "tests/vectors/digest_vectors.tsv", "src/*.cpp", "src/*.h", "python/mavo_edge/*",
                  "python/tests/*.py"]
PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]


def found_in(path: str, pattern: str) -> str:
    """The first group of pattern's first match in a file of the tree."""
    found = re.search(pattern, (ROOT / path).read_text(encoding="utf-8"), re.M)
    if found is None:
        raise RuntimeError(f"{path}: nothing matches {pattern}")
    return found.group(1)


def version() -> str:
    """The one version of the project: the library header's."""
    return found_in(HEADER, r'^#define MAVO_EDGE_VERSION "([0-9.]+)"$')


def metadata() -> str:
    readme = (ROOT / "python" / "README.md").read_text(encoding="utf-8")
    homepage = found_in("CMakeLists.txt", r'HOMEPAGE_URL "([^"]+)"')
    contact = found_in("cmake/packaging.cmake", r'CPACK_PACKAGE_CONTACT "([^"]+)"')
    classifiers = ["Intended Audience :: System Administrators", "Operating System :: POSIX :: Linux",
                   "Programming Language :: Python :: 3 :: Only",
                   *(f"Programming Language :: Python :: {python}" for python in PYTHONS),
                   "Programming Language :: Python :: Implementation :: CPython",
                   "Topic :: System :: Hardware", "Typing :: Typed"]
    return (f"Metadata-Version: 2.4\nName: mavo-edge-verify\nVersion: {version()}\n"
            "Summary: Checks mavo-edge-gpu-helper reports on the CPU, in process\n"
            f"Author-email: {contact}\nProject-URL: Homepage, {homepage}\n"
            "License-Expression: Apache-2.0\nLicense-File: LICENSE\nLicense-File: THIRD_PARTY_NOTICES\n"
            f"Requires-Python: >={PYTHONS[0]}\n"
            + "".join(f"Classifier: {classifier}\n" for classifier in classifiers) +
            f"Description-Content-Type: text/markdown\n\n{readme}")


def epoch() -> int:
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def local_platform_tag() -> str:
    """The tag of a wheel built for this machine only: the plain platform, not a manylinux one."""
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def write_wheel(library: Path, platform_tag: str, out_dir: Path) -> str:
    tag = f"py3-none-{platform_tag}"
    dist_info = f"{NAME}-{version()}.dist-info"
    files: Dict[str, bytes] = {}
    for source in sorted((ROOT / "python" / "mavo_edge").iterdir()):
        if source.suffix in (".py", ".typed"):
            files[f"mavo_edge/{source.name}"] = source.read_bytes()
    # The package reads its version and limits from the header that the library was built with.
    files["mavo_edge/verify.h"] = (ROOT / HEADER).read_bytes()
    files["mavo_edge/libmavo_edge_verify.so.0"] = library.read_bytes()
    for notice in ("LICENSE", "THIRD_PARTY_NOTICES"):
        files[f"{dist_info}/licenses/{notice}"] = (ROOT / notice).read_bytes()
    files[f"{dist_info}/METADATA"] = metadata().encode()
    files[f"{dist_info}/entry_points.txt"] = b"[console_scripts]\nmavo-edge-fleet = mavo_edge.fleet:main\n"
    files[f"{dist_info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: mavo-edge wheel_backend\n"
                                   f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
    record = [f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},{len(data)}"
              for path, data in files.items()]
    files[f"{dist_info}/RECORD"] = ("\n".join(record + [f"{dist_info}/RECORD,,"]) + "\n").encode()
    name = f"{NAME}-{version()}-{tag}.whl"
    date_time = time.gmtime(epoch())[:6]
    with zipfile.ZipFile(out_dir / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():  # dist-info last, RECORD at the very end
            entry = zipfile.ZipInfo(path, date_time)
            entry.external_attr = (0o755 if path.endswith(".so.0") else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return name


def sdist_files() -> List[str]:
    """The files git tracks that the sdist needs: never a scratch file of the working tree."""
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True)
    if listed.returncode != 0:
        raise RuntimeError(f"the sdist is made from a git checkout: git ls-files said: "
                           f"{listed.stderr.decode(errors='replace').strip()}")
    tracked = listed.stdout.decode().split("\0")
    return sorted(path for path in tracked if path != "src/main.cu" and
                  any(fnmatch.fnmatchcase(path, pattern) for pattern in SDIST_PATTERNS))


def write_sdist(out_dir: Path) -> str:
    base = f"{NAME}-{version()}"
    name = f"{base}.tar.gz"
    entries = [("PKG-INFO", metadata().encode())] + [(path, (ROOT / path).read_bytes()) for path in sdist_files()]
    with open(out_dir / name, "wb") as raw, \
            gzip.GzipFile(fileobj=raw, mode="wb", mtime=0, filename="") as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for path, data in entries:
            info = tarfile.TarInfo(f"{base}/{path}")
            info.size, info.mtime, info.mode = len(data), epoch(), 0o644
            archive.addfile(info, io.BytesIO(data))
    return name


def build_library(build_dir: Path) -> Path:
    """Builds the library alone: no nvcc, no tests, no GPU helper."""
    cmake = shutil.which("cmake") or "cmake"
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                    "-DMAVO_ENABLE_HELPER=OFF"], check=True, stdout=sys.stderr)
    subprocess.run([cmake, "--build", str(build_dir), "--target", "mavo_edge_verify", "--parallel"],
                   check=True, stdout=sys.stderr)
    return build_dir / "libmavo_edge_verify.so.0"


def cmake_version(cmake: Optional[str]) -> Tuple[int, ...]:
    """What `cmake --version` says, as numbers; () where it says nothing readable, or for None."""
    try:
        said = subprocess.run([cmake, "--version"], capture_output=True, text=True).stdout if cmake else ""
    except OSError:
        return ()
    found = re.search(r"version ([0-9]+(?:\.[0-9]+)*)", said)
    return tuple(int(part) for part in found.group(1).split(".")) if found else ()


def cmake_too_old(cmake: Optional[str]) -> Optional[str]:
    """The oldest version CMakeLists.txt takes, when cmake (a path, or None) is older; else None."""
    minimum = found_in("CMakeLists.txt", r"^cmake_minimum_required\(VERSION ([0-9.]+)\)")
    return None if cmake_version(cmake) >= tuple(int(part) for part in minimum.split(".")) else minimum


# PEP 517 hooks.
def get_requires_for_build_wheel(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    """CMake from PyPI when none on PATH is as new as CMakeLists.txt needs."""
    minimum = cmake_too_old(shutil.which("cmake"))
    return [f"cmake>={minimum}"] if minimum else []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return []


def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, str]] = None,
                metadata_directory: Optional[str] = None) -> str:
    with tempfile.TemporaryDirectory() as build_dir:
        library = build_library(Path(build_dir))
        return write_wheel(library, local_platform_tag(), Path(wheel_directory))


def build_editable(wheel_directory: str, config_settings: Optional[Dict[str, str]] = None,
                   metadata_directory: Optional[str] = None) -> str:
    raise RuntimeError("mavo-edge-verify cannot be installed in editable mode: the package loads the "
                       "library that CMake builds, and the header it was built with, from its own "
                       "folder, which an editable install would leave without them. Install it with "
                       "`pip install .` and again after each change.")


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, str]] = None) -> str:
    return write_sdist(Path(sdist_directory))


if __name__ == "__main__":
    if sys.argv[1] == "wheel":
        platform_tag = local_platform_tag() if sys.argv[3] == "local" else sys.argv[3]
        print(write_wheel(Path(sys.argv[2]), platform_tag, Path(sys.argv[4])))
    else:
        print(write_sdist(Path(sys.argv[2])))
