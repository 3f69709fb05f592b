# Sourced by the release builds: checks this machine, makes the pinned toolchains (their folders
# become shell variables, see prepare_toolchains.sh) and exports what every build step reads.
# Arguments: COMMAND=DEBIAN_PACKAGE for each further command the build needs.
trap 'echo "${0##*/}: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
[ "$(uname -m)" = x86_64 ] || { echo "the release builds on an x86_64 Linux machine" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "run as root: the build uses chroot and bind mounts" >&2; exit 1; }
for needed in "$@"; do
    command -v "${needed%%=*}" >/dev/null ||
        { echo "${needed%%=*} is needed (Debian package ${needed#*=})" >&2; exit 1; }
done

toolchains=$(packaging/prepare_toolchains.sh)
eval "$toolchains"
export PATH="$cuobjdump/bin:$PATH"
# Times inside the packages come from the last commit.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# SHA256SUMS in build/packages, over every package there, and its detached armored signature
# SHA256SUMS.asc when MAVO_RELEASE_SIGNING_KEY names an OpenPGP key of the builder's GNUPGHOME.
list_packages_in_sha256sums() {
    (cd build/packages && find . -maxdepth 1 -type f ! -name 'SHA256SUMS*' -printf '%P\n' | sort |
        xargs sha256sum -- >SHA256SUMS)
    cat build/packages/SHA256SUMS
    rm -f build/packages/SHA256SUMS.asc
    if [ -z "${MAVO_RELEASE_SIGNING_KEY:-}" ]; then
        echo "SHA256SUMS is not signed: MAVO_RELEASE_SIGNING_KEY names no key"
        return
    fi
    gpg --batch --yes --local-user "$MAVO_RELEASE_SIGNING_KEY" --armor --detach-sign \
        --output build/packages/SHA256SUMS.asc build/packages/SHA256SUMS
    echo "SHA256SUMS.asc: signed with $MAVO_RELEASE_SIGNING_KEY"
}
