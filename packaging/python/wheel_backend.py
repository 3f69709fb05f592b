"""Builds the mavo-edge-verify Python package: the wheel around libmavo_edge_verify.so.0, and the
sdist that builds that library from source with CMake and a C++20 compiler (no CUDA needed).

A PEP 517 backend (pyproject.toml names it), and a command for the release build, which builds the
library in its pinned root and wraps it here (and for the tests, which wrap the build's library):
    wheel_backend.py wheel LIBRARY PLATFORM_TAG|local OUT_DIR
    wheel_backend.py sdist OUT_DIR
Both archives are reproducible: fixed order, times from SOURCE_DATE_EPOCH (or 1980), fixed modes.
"""

import base64
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
from typing import Dict, List, Optional

ROOT = Path(__file__).resolve().parents[2]
NAME = "mavo_edge_verify"
# What the sdist holds: enough to build the library and the package, and to test them.
SDIST_FILES = ["pyproject.toml", "LICENSE", "THIRD_PARTY_NOTICES", "CMakeLists.txt", "cmake/sources.cmake",
               "cmake/warnings.cmake", "cmake/verify_library.cmake", "include/mavo_edge/verify.h",
               "src/verify_library.map", "packaging/python/wheel_backend.py", "python/README.md",
               "tests/vectors/digest_vectors.tsv"]
SDIST_GLOBS = ["src/*.cpp", "src/*.h", "python/mavo_edge/*", "python/tests/*.py"]


def version() -> str:
    """The one version of the project: its CMake project() line's."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"^project\(mavo_edge_gpu_helper VERSION ([0-9.]+)", text, re.M)
    if found is None:
        raise RuntimeError("CMakeLists.txt: no project(mavo_edge_gpu_helper VERSION ...) line")
    return found.group(1)


def metadata() -> str:
    readme = (ROOT / "python" / "README.md").read_text(encoding="utf-8")
    return (f"Metadata-Version: 2.1\nName: mavo-edge-verify\nVersion: {version()}\n"
            "Summary: Checks mavo-edge-gpu-helper reports on the CPU, in process\n"
            "License: Apache-2.0\nRequires-Python: >=3.9\n"
            "Classifier: License :: OSI Approved :: Apache Software License\n"
            "Classifier: Operating System :: POSIX :: Linux\n"
            "Classifier: Programming Language :: Python :: 3\n"
            "Classifier: Typing :: Typed\n"
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
    files["mavo_edge/libmavo_edge_verify.so.0"] = library.read_bytes()
    for notice in ("LICENSE", "THIRD_PARTY_NOTICES"):
        files[f"{dist_info}/licenses/{notice}"] = (ROOT / notice).read_bytes()
    files[f"{dist_info}/METADATA"] = metadata().encode()
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
    found = set(SDIST_FILES)
    for pattern in SDIST_GLOBS:
        found.update(str(path.relative_to(ROOT)) for path in ROOT.glob(pattern) if path.is_file())
    return sorted(found - {"src/main.cu"})


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


# PEP 517 hooks.
def get_requires_for_build_wheel(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return [] if shutil.which("cmake") else ["cmake>=3.25"]


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return []


def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, str]] = None,
                metadata_directory: Optional[str] = None) -> str:
    with tempfile.TemporaryDirectory() as build_dir:
        library = build_library(Path(build_dir))
        return write_wheel(library, local_platform_tag(), Path(wheel_directory))


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, str]] = None) -> str:
    return write_sdist(Path(sdist_directory))


if __name__ == "__main__":
    if sys.argv[1] == "wheel":
        platform_tag = local_platform_tag() if sys.argv[3] == "local" else sys.argv[3]
        print(write_wheel(Path(sys.argv[2]), platform_tag, Path(sys.argv[4])))
    else:
        print(write_sdist(Path(sys.argv[2])))
