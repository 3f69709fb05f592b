#!/usr/bin/env bash
# Installs the x86_64 packages as their users do, and checks what that leaves: each .deb with apt in
# clean Debian roots, and the Python wheel with pip into a venv of each one's own Python (3.9, 3.11,
# 3.13), where the package's tests run; each .rpm with rpm in the Debian 11 root with a database of
# its own, and the .tar.gz unpacked in a path with a space there. Each root is used through an overlay, so the cached
# roots stay clean, and the programs run inside it, where no NVIDIA driver of this machine is in
# sight. The programs must answer from where they were put, each flavour must replace the one
# installed before it, and removing must leave no file behind.
# Usage: check_installs.sh <packages folder> <Debian root>... (as root, under `unshare --mount`)
set -Eeuo pipefail
trap 'echo "check_installs.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
packages=$(realpath "$1")
shift
cd "$(dirname "$0")/.."
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Files of the packages, from a root's top: none may be left after removing.
leftovers() { (cd "$1" && ls -d usr/bin/mavo-* usr/share/doc/mavo-* usr/share/man/man1/mavo-* 2>/dev/null || true); }

# Root $1 through an overlay at $merged, whose changes go with drop_overlay; commands run inside it.
merged=$work/merged
overlay() {
    mkdir -p "$work/upper" "$work/scratch" "$merged"
    mount -t overlay overlay -o "lowerdir=$1,upperdir=$work/upper,workdir=$work/scratch" "$merged"
    # A tmpfs, as on a running system: glibc 2.31's sem_open (Python's process pools) needs one.
    mount -t tmpfs tmpfs "$merged/dev/shm"
}
drop_overlay() { umount "$merged/dev/shm" "$merged"; rm -rf "$work/upper" "$work/scratch"; }
in_root() { chroot "$merged" /usr/bin/env -i PATH=/usr/bin:/bin "$@"; }

# check_programs LABEL FOLDER: the programs installed in FOLDER of the overlay answer there.
check_programs() {
    python3 tests/programs_answer.py "$1" "$2" chroot "$merged" /usr/bin/env -i ||
        fail "$1: the programs in $2"
}

# The flavours newest first, each installed over the one before.
mapfile -t debs < <(ls -r "$packages"/mavo-edge-gpu-helper-cuda*_amd64.deb)
wheel=$(ls "$packages"/mavo_edge_verify-*_x86_64.whl)
for root in "$@"; do
    system=$(. "$root/etc/os-release" && echo "$PRETTY_NAME")
    overlay "$root"
    cp "${debs[@]}" "$merged/tmp/"
    apt_get() { in_root apt-get -y -q "$@" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; false; }; }
    installed() {
        in_root dpkg-query -W -f '${Package} ${Status}\n' | awk '$NF == "installed" {print $1}'
    }
    before=$(installed)
    for deb in "${debs[@]}"; do
        apt_get install "/tmp/${deb##*/}" || fail "$system: apt-get install ${deb##*/}"
        package=$(dpkg-deb -f "$deb" Package)
        added=$(comm -13 <(echo "$before") <(installed) | paste -sd' ')
        [ "$added" = "$package" ] || fail "$system: after installing ${deb##*/}, added: $added"
    done
    check_programs "$system" /usr/bin
    apt_get purge "$package" || fail "$system: apt-get purge $package"
    left=$(leftovers "$merged")
    [ -z "$left" ] && [ "$(installed)" = "$before" ] || fail "$system: purge left ${left:-packages}"
    echo "$system: apt installs ${debs[*]##*/}, each in place of the one before; the programs" \
        "answer; purge leaves nothing"
    # The package's tests, with the digest vectors where they look for them, outside any source tree.
    mkdir -p "$merged/checks/python" "$merged/checks/tests"
    cp -r python/tests "$merged/checks/python/"
    cp -r tests/vectors "$merged/checks/tests/"
    cp "$wheel" "$merged/tmp/"
    if output=$(in_root HOME=/tmp /bin/sh -ec "python3 -m venv --system-site-packages /tmp/venv
            /tmp/venv/bin/python -m pip install --quiet --no-index /tmp/${wheel##*/}
            cd /tmp && /tmp/venv/bin/python -m pytest -q -p no:cacheprovider /checks/python/tests" 2>&1); then
        echo "$system, $(in_root python3 --version): pip installs ${wheel##*/}; its tests: ${output##*$'\n'}"
    else
        fail "$system: the wheel's tests: $output"
    fi
    drop_overlay
done

# rpm swaps flavours through Obsoletes. No RHEL-family root can be made here: the rpm database of
# the Debian 11 root starts empty, so glibc is not in it and --nodeps stands in for it. Debian's
# rpm warns on every install that dpkg owns the system: rpm's messages go to a log, shown when it
# fails.
mapfile -t rpms < <(ls -r "$packages"/mavo-edge-gpu-helper-cuda*.x86_64.rpm)
in_rpm_root() {
    rpm --root "$merged" --dbpath /var/lib/rpm "$@" 2>"$work/rpm.log" || { cat "$work/rpm.log"; false; }
}
overlay "$1"
in_rpm_root --initdb
for rpm in "${rpms[@]}"; do
    in_rpm_root -U --nodeps "$rpm" || fail "rpm -U ${rpm##*/}"
    package=$(in_rpm_root -qp --qf '%{NAME}' "$rpm")
    [ "$(in_rpm_root -qa --qf '%{NAME}\n')" = "$package" ] ||
        fail "after rpm -U ${rpm##*/}, installed: $(in_rpm_root -qa | paste -sd' ')"
done
check_programs rpm /usr/bin
in_rpm_root -e "$package" || fail "rpm -e $package"
left=$(leftovers "$merged")
[ -z "$left" ] || fail "rpm -e left $left"
echo "rpm: -U installs ${rpms[*]##*/}, each in place of the one before; the programs answer;" \
    "-e leaves nothing"

folder="/opt/a folder with spaces"
for tarball in "$packages"/mavo-edge-gpu-helper-*-linux-x86_64-*.tar.gz; do
    mkdir -p "$merged$folder"
    tar -xzf "$tarball" -C "$merged$folder"
    check_programs "${tarball##*/}" "$folder/$(basename "$tarball" .tar.gz)/bin"
    rm -rf "${merged:?}$folder"
done
drop_overlay
echo "tarballs: the programs answer from a folder with spaces in its path"
[ "$failures" -eq 0 ] && echo "install checks passed" || exit 1
