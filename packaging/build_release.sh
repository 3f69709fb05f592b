#!/usr/bin/env bash
# Builds the Linux release packages of packaging/variants.tsv from pinned toolchains in a Debian 11
# root, so that the programs need nothing newer than glibc 2.31, and an OCI image of each, then the
# Python wheels and sdist and the Ansible collection; checks each variant and the wheels (and, when all are built, installs
# them as users do) and lists every package, image and wheel in SHA256SUMS (signed when
# MAVO_RELEASE_SIGNING_KEY names a key).
# Run as root: packaging/build_release.sh [VARIANT...] (no variant: all of them). The packages land
# in build/packages/. The aarch64 programs are tested under qemu-user with this machine's test
# build (build/test, made here if missing).
set -Eeuo pipefail
cd "$(dirname "$0")/.."
. packaging/variants.sh
mapfile -t all_variants < <(variant_names '^linux-')
variants=("${@:-${all_variants[@]}}")
for variant in "${variants[@]}"; do
    [[ " ${all_variants[*]} " == *" $variant "* ]] ||
        { echo "unknown variant $variant; known: ${all_variants[*]}" >&2; exit 2; }
done
# The toolkits and the root are x86_64 ones; the Arm packages are cross-built.
. packaging/build_environment.sh unshare=util-linux rpm=rpm qemu-aarch64-static=qemu-user-static \
    buildah=buildah skopeo=skopeo lintian=lintian rpmlint=rpmlint
python3 packaging/check_notices.py THIRD_PARTY_NOTICES root="$root" mingw="$mingw" downloads="$downloads"

rm -rf build/packages
mkdir -p build/packages
for name in "${variants[@]}"; do
    load_variant "$name"
    # A private mount namespace: the bind mounts go when the build ends, however it ends.
    unshare --mount --propagation private packaging/build_in_root.sh "${!build_root}" "$cmake" \
        "$cuda13" "$cuda12" "$cuda11" "$variant"
    unshare --mount --propagation private \
        packaging/check_release.sh "build/$variant" "$variant" "$libcuda" "${!build_root}"
    if [ "$cpu" = aarch64 ]; then
        tests/qemu/run_aarch64_tests.sh "build/$variant" "${!build_root}/usr/aarch64-linux-gnu"
    fi
    for kind in ${packages//,/ }; do
        [ "$kind" = oci ] || cp "build/$variant"/mavo-edge-gpu-helper*."$kind" build/packages/
    done
    [[ ,$packages, == *,oci,* ]] || continue
    image=$(packaging/build_image.sh "$variant" "${!build_root}")
    tests/image/check_image.py "$image" "$variant"
    # Images are reproducible like the packages: the first variant's is built twice (seconds apart,
    # so that any time taken from the clock differs) and the two must be the same bytes.
    if [ "$variant" = "${variants[0]}" ]; then
        mv "$image" "$image.first"
        packaging/build_image.sh "$variant" "${!build_root}" >/dev/null
        cmp "$image.first" "$image" || { echo "FAIL $variant: its image differs between two builds"; exit 1; }
        rm "$image.first"
        echo "$(basename "$image"): the same bytes when built again"
    fi
done

# The Python package: a wheel for each CPU built, around the (stripped) library of the tarball of
# that CPU's first variant (it holds no CUDA: every flavour's is the same), tagged with the oldest
# glibc its symbols allow; and the sdist.
declare -A wheel_made=()
for name in "${variants[@]}"; do
    load_variant "$name"
    [ -z "${wheel_made[$cpu]:-}" ] || continue
    wheel_made[$cpu]=1
    unpacked=$(mktemp -d)
    tar -xzf "build/$variant"/mavo-edge-gpu-helper-*.tar.gz -C "$unpacked" --strip-components=1
    library=$(ls "$unpacked"/lib/libmavo_edge_verify.so.0.*)
    # At least 2.17: manylinux_2_17 (manylinux2014) is the oldest tag auditwheel's policies hold for
    # both CPUs, and the x86_64 library needs only 2.14.
    newest=$( (objdump -T "$library" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//'; echo 2.17) | sort -uV | tail -n 1)
    python3 packaging/python/wheel_backend.py wheel "$library" "manylinux_${newest//./_}_$cpu" build/packages
    rm -r "$unpacked"
done
python3 packaging/python/wheel_backend.py sdist build/packages
packaging/build_ansible_collection.sh "$ansible" build/packages
packaging/check_wheels.sh build/packages "$auditwheel" "$debian12arm64"

if [ "${#variants[@]}" -eq "${#all_variants[@]}" ]; then
    unshare --mount --propagation private \
        packaging/check_installs.sh build/packages "$debian11" "$debian12" "$debian13"
fi
list_packages_in_sha256sums
