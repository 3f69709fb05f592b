#!/usr/bin/env python3
"""Checks a release image (an OCI archive from packaging/build_image.sh) without a container
runtime: its config as skopeo reads it, and its file system, unpacked from the layers, in which the
programs must answer as tests/programs_answer.py checks (chroot as the image's user on x86_64,
qemu-user on aarch64).

usage: check_image.py <image.oci.tar> <variant>   (run as root; exit status 0 when all checks hold)
"""
import json
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

PROGRAMS_ANSWER = Path(__file__).resolve().parents[1] / "programs_answer.py"
LIBRARIES = ["libc.so.6", "libdl.so.2", "libm.so.6", "libpthread.so.0", "librt.so.1"]
PLATFORMS = {  # variant's CPU: image architecture, loader, library folder
    "x86_64": ("amd64", "lib64/ld-linux-x86-64.so.2", "lib/x86_64-linux-gnu"),
    "aarch64": ("arm64", "lib/ld-linux-aarch64.so.1", "lib/aarch64-linux-gnu"),
}

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAIL {what}"[:400])


def check_config(image, variant, architecture):
    inspected = subprocess.run(["skopeo", "inspect", "--config", f"oci-archive:{image}"],
                               capture_output=True, text=True, check=True)
    config = json.loads(inspected.stdout)
    settings = config["config"]
    labels = settings.get("Labels", {})
    check(config["architecture"] == architecture and config["os"] == "linux",
          f"platform {config['os']}/{config['architecture']}")
    check(settings.get("Entrypoint") == ["/usr/bin/mavo-edge-gpu-helper"],
          f"entrypoint {settings.get('Entrypoint')}")
    user = settings.get("User", "")
    check(user.split(":")[0].isdigit() and not user.startswith("0"), f"user {user!r}")
    for variable in ("NVIDIA_VISIBLE_DEVICES=all", "NVIDIA_DRIVER_CAPABILITIES=compute"):
        check(variable in settings.get("Env", []), f"environment lacks {variable}")
    for label in ("version", "revision", "description"):
        check(labels.get(f"org.opencontainers.image.{label}"), f"label {label} missing")
    check(variant in labels.get("org.opencontainers.image.description", ""), "description")
    print(f"config: {config['os']}/{config['architecture']}, user {user}, entrypoint "
          f"{settings.get('Entrypoint')}, version {labels.get('org.opencontainers.image.version')}")


def unpack(image, rootfs):
    with tarfile.open(image) as archive:
        def blob(digest):
            return archive.extractfile("blobs/sha256/" + digest.split(":")[1])
        index = json.load(archive.extractfile("index.json"))
        manifest = json.load(blob(index["manifests"][0]["digest"]))
        for layer in manifest["layers"]:
            with tarfile.open(fileobj=blob(layer["digest"])) as files:
                files.extractall(rootfs)
    return sorted(str(path.relative_to(rootfs)) for path in rootfs.rglob("*")
                  if not path.is_dir())


def main(image, variant):
    cpu = variant.split("-")[1]
    architecture, loader, library_folder = PLATFORMS[cpu]
    check_config(image, variant, architecture)
    with tempfile.TemporaryDirectory() as folder:
        rootfs = Path(folder)
        rootfs.chmod(0o755)  # a container's root, which the image's user must be able to enter
        files = unpack(image, rootfs)
        expected = sorted([loader, "usr/bin/mavo-edge-gpu-helper", "usr/bin/mavo-edge-verify"] +
                          [f"{library_folder}/{library}" for library in LIBRARIES] +
                          [f"usr/share/doc/mavo-edge-gpu-helper/{name}"
                           for name in ("GLIBC_SOURCE", "LICENSE", "THIRD_PARTY_NOTICES")])
        check(files == expected, f"files {files}")
        print(f"files: {' '.join(files)}")

        if cpu == "x86_64":
            where = ["/usr/bin", "chroot", "--userspec=65532:65532", str(rootfs)]
        else:
            where = [str(rootfs / "usr" / "bin"), "qemu-aarch64-static", "-L", str(rootfs)]
        answered = subprocess.run([sys.executable, str(PROGRAMS_ANSWER), "in the image", *where])
        check(answered.returncode == 0, "the programs in the image")
    print(f"{len(failures)} failure(s): {Path(image).name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
