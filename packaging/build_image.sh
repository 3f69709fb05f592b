#!/usr/bin/env bash
# Builds the OCI image of one Linux variant from its packaged programs: the two programs and the
# glibc files they load, taken from the Debian 11 root that built them, with the helper as
# entrypoint and a numeric non-root user; no shell, no package manager; the license, the
# third-party notices and the Debian source of those glibc files in /usr/share/doc. Leaves
# build/packages/<package name>.oci.tar (an OCI archive, as `podman load -i` takes it).
# Usage: build_image.sh VARIANT ROOT (run as root, with SOURCE_DATE_EPOCH set)
set -euo pipefail
variant=$1 root=$2
cd "$(dirname "$0")/.."
: "${SOURCE_DATE_EPOCH:?}"
case $variant in
    *x86_64*) arch=amd64 loader=/lib64/ld-linux-x86-64.so.2 triplet=x86_64-linux-gnu
              glibc=$root/lib/x86_64-linux-gnu glibc_package=libc6 ;;
    *aarch64*) arch=arm64 loader=/lib/ld-linux-aarch64.so.1 triplet=aarch64-linux-gnu
               glibc=$root/usr/aarch64-linux-gnu/lib glibc_package=libc6-arm64-cross ;;
esac
tarball=$(ls "build/$variant"/mavo-edge-gpu-helper-*-"$variant".tar.gz)
name=$(basename "$tarball" .tar.gz)
version=$(sed -n 's/^mavo-edge-gpu-helper-\(.*\)-linux-.*/\1/p' <<<"$name")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rootfs=$work/rootfs
docs=$rootfs/usr/share/doc/mavo-edge-gpu-helper
mkdir -p "$rootfs/usr/bin" "$rootfs/lib/$triplet" "$rootfs$(dirname "$loader")" "$docs"
tar -xzf "$tarball" -C "$work" --strip-components=1 "$name/bin" "$name/share/doc"
mv "$work"/bin/mavo-edge-gpu-helper "$work"/bin/mavo-edge-verify "$rootfs/usr/bin/"
mv "$work"/share/doc/*/LICENSE "$work"/share/doc/*/THIRD_PARTY_NOTICES "$docs/"
# LGPL-2.1 lets users ask for the source of exactly these glibc files: name its Debian package.
dpkg-query --admindir="$root/var/lib/dpkg" -W \
    -f="The glibc files in this image are unmodified from Debian's binary package \${Package} \${Version}
(\${Architecture}), built from Debian's source package \${source:Package} \${source:Version}.
" "$glibc_package" >"$docs/GLIBC_SOURCE"
cp -L "$glibc/$(basename "$loader")" "$rootfs$loader"
for library in libc.so.6 libdl.so.2 libpthread.so.0 librt.so.1 libm.so.6; do
    cp -L "$glibc/$library" "$rootfs/lib/$triplet/"
done
# Same files, same times: the layer's bytes depend only on the commit.
find "$rootfs" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# buildah's storage lives in this build's temporary folder, not in the machine's
# /var/lib/containers, so that no build depends on what an earlier one left there.
buildah() { command buildah --storage-driver vfs --root "$work/storage" --runroot "$work/run" "$@"; }
container=$(buildah from scratch)
buildah copy --quiet "$container" "$rootfs" / >/dev/null
buildah config --arch "$arch" --os linux --user 65532:65532 \
    --entrypoint '["/usr/bin/mavo-edge-gpu-helper"]' --cmd '[]' \
    --env NVIDIA_VISIBLE_DEVICES=all --env NVIDIA_DRIVER_CAPABILITIES=compute \
    --label org.opencontainers.image.title=mavo-edge-gpu-helper \
    --label org.opencontainers.image.version="$version" \
    --label org.opencontainers.image.revision="$(git rev-parse HEAD)" \
    --label org.opencontainers.image.description="Checks that an NVIDIA GPU computes a fixed integer workload correctly ($variant)" \
    "$container"
buildah commit --quiet --timestamp "$SOURCE_DATE_EPOCH" --format oci --disable-compression=false \
    "$container" "oci:$work/layout:mavo-edge-gpu-helper:$version-$variant" >/dev/null
# buildah's own oci-archive stamps each entry with the current time; the layout it wrote is
# otherwise byte-identical between builds, so it is archived here with fixed times and order.
tar --create --file "build/packages/$name.oci.tar" --directory "$work/layout" --format=ustar \
    --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    oci-layout index.json blobs
echo "build/packages/$name.oci.tar"
