#!/usr/bin/env bash
# Builds the Ansible collection mavo.edge from the files git tracks, with the project's LICENSE,
# by the pinned ansible-galaxy, into OUT_DIR; its galaxy.yml version must be the project's. The
# archive's entries are then packed again with the commit's time and no owners, as ansible-galaxy
# stamps them with the build's time: two builds of a commit give the same bytes.
# Usage: build_ansible_collection.sh ANSIBLE_FOLDER OUT_DIR (the folder of prepare_toolchains.sh)
set -Eeuo pipefail
trap 'echo "build_ansible_collection.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
ansible=$1 out=$(realpath "$2")
cd "$(dirname "$0")/.."
source=ansible/ansible_collections/mavo/edge
version=$(sed -n 's/^#define MAVO_EDGE_VERSION "\(.*\)"$/\1/p' include/mavo_edge/verify.h)
galaxy_version=$(sed -n 's/^version: //p' "$source/galaxy.yml")
[ "$galaxy_version" = "$version" ] ||
    { echo "$source/galaxy.yml: version $galaxy_version, but the project's is $version" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
git ls-files -z "$source" | xargs -0 cp --parents -t "$scratch"
cp LICENSE "$scratch/$source/"
(cd "$scratch/$source" && PYTHONPATH=$ansible python3 -m ansible.cli.galaxy collection build \
    --output-path "$scratch/built" >&2)
python3 - "$scratch/built/mavo-edge-$version.tar.gz" "$out/mavo-edge-$version.tar.gz" <<'PYTHON'
import gzip
import io
import os
import sys
import tarfile

built, target = sys.argv[1:]
epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)
with tarfile.open(built) as archive:
    entries = [(member, archive.extractfile(member).read() if member.isfile() else None)
               for member in archive.getmembers()]
with open(target, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0, filename="") as packed, \
        tarfile.open(fileobj=packed, mode="w", format=tarfile.GNU_FORMAT) as archive:
    for member, data in entries:
        member.mtime, member.uid, member.gid, member.uname, member.gname = epoch, 0, 0, "", ""
        archive.addfile(member, None if data is None else io.BytesIO(data))
PYTHON
echo "mavo-edge-$version.tar.gz"
