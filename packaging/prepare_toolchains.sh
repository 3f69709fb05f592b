#!/usr/bin/env bash
# Makes (or finds in the cache) what packaging/pins.txt pins: the Debian 11 build root, the Debian 13
# mingw-w64 root, plain Debian 11, 12 and 13 roots, Debian 12's arm64 Python, CMake, the CUDA 13.0
# toolkit (x86_64 host; x86_64, sbsa and Windows x64 targets), the CUDA 12.4 toolkit (x86_64 and
# sbsa targets), the CUDA 11.8 toolkit, the CUDA driver libraries of several branches, cuobjdump,
# auditwheel and ansible-core. Prints one NAME=FOLDER line for each, and the folder of the
# downloads. Run as root.
# The cache lives outside the checkout, in $MAVO_RELEASE_CACHE (default /var/cache/mavo-edge-release).
set -Eeuo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
trap 'echo "prepare_toolchains.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
pins=$PWD/packaging/pins.txt
cache=${MAVO_RELEASE_CACHE:-/var/cache/mavo-edge-release}
mkdir -p "$cache/downloads"

# The pin lines of the given kinds and folders.
pin_lines() { grep -E "^($1) +($2) " "$pins"; }

# The definitions of function $1 and of every function it calls, as bash prints them (without
# comments): with the pins, what makes a folder.
definitions() {
    local pending=("$1") seen=" " name body called
    while [ ${#pending[@]} -gt 0 ]; do
        name=${pending[0]} pending=("${pending[@]:1}")
        [[ $seen != *" $name "* ]] || continue
        seen+="$name "
        declare -f "$name"
        body=$(declare -f "$name" | tail -n +2)
        for called in $(compgen -A function); do
            ! grep -qw -- "$called" <<<"$body" || pending+=("$called")
        done
    done
}

# A short key for folder $1: the pin lines of kinds $2 and folders $3, the definitions of make_$1,
# and the files named after them.
key_of() {
    { pin_lines "$2" "$3"; definitions "make_$1"; cat "${@:4}"; } | sha256sum | cut -c1-12
}
windows_headers_patch=$PWD/packaging/windows/cuda13_headers.patch

# Every download from Debian's archive is checked against this keyring: the roots through
# debootstrap, the .debs through apt, the choice of mirror here.
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -f "$keyring" ] || { echo "$keyring is needed (Debian package debian-archive-keyring)" >&2; exit 1; }

# The URIs of this machine's apt sources, deb822 and one-line, each once.
apt_source_uris() {
    local file
    for file in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        case $file in
            *.sources) awk '$1 == "URIs:" {for (i = 2; i <= NF; i++) print $i}' "$file" ;;
            *) awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; break}}' "$file" ;;
        esac
    done | awk '!seen[$0]++'
}

# A source of this machine's apt whose release file for suite $1 carries a signature by Debian's
# archive keyring, unless MAVO_DEBIAN_MIRROR names one. Other sources (a container engine's
# repository, say) serve no such file and are passed over.
debian_mirror() {
    local suite=$1 uri release
    if [ -n "${MAVO_DEBIAN_MIRROR:-}" ]; then
        echo "$MAVO_DEBIAN_MIRROR"
        return
    fi
    release=$(mktemp)
    for uri in $(apt_source_uris); do
        if python3 -c 'import sys, urllib.request
sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=60).read())' \
                "${uri%/}/dists/$suite/InRelease" >"$release" 2>/dev/null &&
            gpgv --keyring "$keyring" "$release" >/dev/null 2>&1; then
            rm -f "$release"
            echo "${uri%/}"
            return
        fi
    done
    rm -f "$release"
    echo "no source in this machine's apt sources serves Debian's $suite signed by $keyring;" \
        "set MAVO_DEBIAN_MIRROR" >&2
    exit 1
}

# Downloads the wheels of one folder with pip's hash checking and unpacks them into $2.
unpack_wheels() {
    local folder=$1 target=$2 platform requirements
    for platform in $(pin_lines wheel "$folder" | awk '{print $3}' | sort -u); do
        requirements=$(mktemp)
        pin_lines wheel "$folder" | awk -v p="$platform" '$3 == p {print $4 " --hash=sha256:" $5}' \
            >"$requirements"
        python3 -m pip download --quiet --no-cache-dir --no-deps --only-binary=:all: --platform "$platform" \
            --require-hashes -r "$requirements" -d "$cache/downloads"
        local arch
        arch=$(grep -o 'x86_64\|aarch64\|amd64' <<<"$platform") || arch=any
        pin_lines wheel "$folder" | awk -v p="$platform" '$3 == p {print $4}' |
            while read -r requirement; do
                local name=${requirement%%==*} version=${requirement##*==}
                python3 -m zipfile -e "$(ls "$cache/downloads/${name//-/_}-$version-"*"$arch.whl")" \
                    "$target"
            done
        rm -f "$requirements"
    done
}

# Downloads the .debs of pin lines "deb $1 SUITE NAME[:ARCH]=VERSION SHA256" through a private apt
# configuration (the machine's own sources stay untouched), checks their SHA-256 and prints one
# "ARCH VERSION FILE" line for each (ARCH amd64 where the line names none).
fetch_debs() {
    local folder=$1 apt_dir=$cache/apt mirror
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    pin_lines deb "$folder" | awk '{print $3}' | sort -u | while read -r source; do
        mirror=$(debian_mirror "${source%%/*}")
        echo "deb [signed-by=$keyring] $mirror ${source%%/*} ${source#*/}"
    done >"$apt_dir/sources.list"
    local apt_options=(-o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
                       -o Dir::State::Lists="$apt_dir/lists" -o APT::Get::List-Cleanup=0
                       -o APT::Architectures::=amd64 -o APT::Architectures::=arm64
                       -o APT::Sandbox::User=root)
    apt-get "${apt_options[@]}" update >/dev/null
    pin_lines deb "$folder" | while read -r _ _ source package sha256; do
        local name=${package%%=*} version=${package#*=} arch=amd64 file served
        [[ $name != *:* ]] || arch=${name#*:} name=${name%%:*}
        file=$cache/downloads/${name}_${version}_$arch.deb
        # Each suite serves one version of a package: when Debian updates it, the pin is gone.
        if [ ! -e "$file" ] && ! (cd "$cache/downloads" &&
                apt-get "${apt_options[@]}" download "$package" >/dev/null 2>&1); then
            served=$(apt-cache "${apt_options[@]}" madison "${package%%=*}" |
                awk -F' *[|] *' -v suite=" $source " 'index($3, suite) {print $2}' | paste -sd' ')
            echo "prepare_toolchains.sh: $source no longer serves the pinned $package (it serves" \
                "${served:-no version of it}); refresh its line in packaging/pins.txt as" \
                "docs/releases.md says" >&2
            exit 1
        fi
        echo "$sha256  $file" | sha256sum --check --quiet >&2
        echo "$arch $version $file"
    done
}

# Unpacks the .debs of one folder into $2, those of each architecture into a folder of its own.
unpack_debs() {
    fetch_debs "$1" | while read -r arch _ file; do
        mkdir -p "$2/$arch"
        dpkg-deb -x "$file" "$2/$arch"
    done
}

# The root of pin line "root $2 ...".
debootstrap_root() {
    local target=$1 suite packages mirror
    read -r _ _ suite packages < <(pin_lines root "$2")
    mirror=$(debian_mirror "$suite")
    command -v debootstrap >/dev/null ||
        { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap; }
    # Every package is checked through the suite's release file, whose signature must be good.
    debootstrap --variant=minbase --keyring="$keyring" --force-check-gpg "${@:3}" \
        ${packages:+--include="${packages// /,}"} "$suite" "$target" "$mirror" >/dev/null
}

make_root() {
    debootstrap_root "$1" root
}

# Plain Debian 11, 12 and 13, in which the packages are installed as users install them.
make_debian11() { debootstrap_root "$1" debian11; }
make_debian12() { debootstrap_root "$1" debian12; }
make_debian13() { debootstrap_root "$1" debian13; }

# Debian 12's arm64 Python, run under qemu-user (`qemu-aarch64-static -L ROOT`): debootstrap's
# first stage fetches the packages, and they are unpacked without running their scripts, which
# would need arm64 programs to run here.
make_debian12arm64() {
    debootstrap_root "$1" debian12arm64 --arch=arm64 --foreign
    local package
    for package in "$1"/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$package" "$1"
    done
}

# Debian's mingw-w64 g++ always links with GNU ld, which cannot link MSVC's cudart_static.lib (its
# COMDATs); in this root lld takes GNU ld's place.
make_mingw() {
    debootstrap_root "$1" mingw
    chroot "$1" dpkg-divert --quiet --rename --add /usr/bin/x86_64-w64-mingw32ucrt-ld
    ln -s ld.lld "$1/usr/bin/x86_64-w64-mingw32ucrt-ld"
}

make_cmake() {
    unpack_wheels cmake "$1"
    chmod +x "$1"/cmake/data/bin/*
}

make_auditwheel() { unpack_wheels auditwheel "$1"; }
make_ansible() { unpack_wheels ansible "$1"; }

make_cuobjdump() {
    unpack_wheels cuobjdump "$1.unpacked"
    mv "$1.unpacked/nvidia/cu13/bin" "$1/"
    chmod +x "$1"/bin/*
    rm -rf "$1.unpacked"
}

# The wheels' nvidia/cu13 folder is a whole toolkit root for an x86_64 host; the sbsa wheels add
# the aarch64 target's headers and static runtime.
make_cuda13() {
    local target=$1 unpacked=$1.unpacked
    unpack_wheels cuda13 "$unpacked"
    mv "$unpacked/nvidia/cu13"/* "$target"
    chmod +x "$target"/bin/* "$target"/nvvm/bin/*
    # With a targets folder present nvcc looks for its host target there too.
    mkdir -p "$target/targets/x86_64-linux"
    ln -s ../../include ../../lib "$target/targets/x86_64-linux/"
    rm -rf "$unpacked"
    unpack_wheels cuda13-sbsa "$unpacked"
    mkdir -p "$target/targets/sbsa-linux"
    mv "$unpacked/nvidia/cu13/include" "$unpacked/nvidia/cu13/lib" "$target/targets/sbsa-linux/"
    # Only the nvcc wheel carries this header, which the host stub of every kernel file includes.
    cp "$target/include/fatbinary_section.h" "$target/targets/sbsa-linux/include/"
    rm -rf "$unpacked"
    # The Windows x64 target, for nvcc -target-dir x86_64-windows: headers (CR LF made LF, for the
    # patch), patched for mingw-w64, and the static runtime.
    unpack_wheels cuda13-windows "$unpacked"
    mkdir -p "$target/targets/x86_64-windows"
    mv "$unpacked/nvidia/cu13/include" "$unpacked/nvidia/cu13/lib" "$target/targets/x86_64-windows/"
    find "$target/targets/x86_64-windows/include" -type f -exec sed -i 's/\r$//' {} +
    patch --quiet -d "$target/targets/x86_64-windows" -p1 <"$windows_headers_patch"
    cp "$target/include/fatbinary_section.h" "$target/targets/x86_64-windows/include/"
    rm -rf "$unpacked"
}

# A CUDA toolkit from Debian's packages of pin folder $2, laid out as a toolkit root with the
# x86_64-linux target and, where the folder has arm64 packages, the sbsa-linux one (the same
# headers, Arm's static runtime). Debian's nvcc.profile holds absolute /usr paths, so a profile
# relative to nvcc's own folder replaces it.
make_debian_cuda() {
    local target=$1 unpacked=$1.unpacked
    unpack_debs "$2" "$unpacked"
    local debian=$unpacked/amd64 tools=$unpacked/amd64/usr/lib/nvidia-cuda-toolkit
    mkdir -p "$target/bin" "$target/nvvm/bin" "$target/targets/x86_64-linux/lib"
    cp -a "$tools/bin/nvcc" "$tools/bin/crt" "$target/bin/"
    cp -a "$debian"/usr/bin/{bin2c,cudafe++,fatbinary,nvlink,ptxas} "$target/bin/"
    cp -a "$tools/bin/cicc" "$target/nvvm/bin/"
    cp -a "$tools/libdevice" "$target/nvvm/"
    cp -a "$debian/usr/include" "$target/include"
    ln -s ../../include "$target/targets/x86_64-linux/"
    cp -a "$debian"/usr/lib/x86_64-linux-gnu/{libcudart_static.a,libcudadevrt.a} \
        "$target/targets/x86_64-linux/lib/"
    if [ -d "$unpacked/arm64" ]; then
        mkdir -p "$target/targets/sbsa-linux/lib"
        ln -s ../../include "$target/targets/sbsa-linux/"
        cp -a "$unpacked"/arm64/usr/lib/aarch64-linux-gnu/{libcudart_static.a,libcudadevrt.a} \
            "$target/targets/sbsa-linux/lib/"
    fi
    cat >"$target/bin/nvcc.profile" <<'PROFILE'
TOP = $(_HERE_)/..
NVVMIR_LIBRARY_DIR = $(TOP)/nvvm/libdevice
PATH += $(TOP)/nvvm/bin:$(_HERE_):
INCLUDES += "-I$(TOP)/$(_TARGET_DIR_)/include" $(_SPACE_)
LIBRARIES =+ $(_SPACE_) "-L$(TOP)/$(_TARGET_DIR_)/lib"
PROFILE
    rm -rf "$unpacked"
}

# Debian 13's CUDA 12.4 (its arm64 package's headers are those of the amd64 one); Debian 12's 11.8.
make_cuda12() { make_debian_cuda "$1" cuda12; }
make_cuda11() { make_debian_cuda "$1" cuda11; }

# The CUDA driver's user-space library of several NVIDIA driver branches, for checking which
# drivers each package's runtime accepts: $1/<driver version>_<arch>/libcuda.so.1.
make_libcuda() {
    fetch_debs libcuda | while read -r arch version file; do
        local folder=$1/${version%-*}_$arch
        dpkg-deb -x "$file" "$folder.unpacked"
        mkdir -p "$folder"
        cp -a "$folder.unpacked"/usr/lib/*/nvidia/current/libcuda.so.* "$folder/"
        rm -rf "$folder.unpacked"
    done
}

# Makes each folder once per key; a folder is used only once it is complete.
for part in root:root mingw:root debian11:root debian12:root debian13:root debian12arm64:root \
            cmake:wheel cuda13:wheel cuda12:deb cuda11:deb libcuda:deb cuobjdump:wheel auditwheel:wheel \
            ansible:wheel; do
    name=${part%%:*} kind=${part##*:}
    case $name in
        cuda13) key=$(key_of cuda13 wheel "cuda13|cuda13-sbsa|cuda13-windows" "$windows_headers_patch") ;;
        *) key=$(key_of "$name" "$kind" "$name") ;;
    esac
    folder=$cache/$name-$key
    if [ ! -e "$folder.complete" ]; then
        # Folders of older keys go: nothing mounts them outside a build.
        rm -rf --one-file-system "$cache/$name"-*
        mkdir -p "$folder"
        "make_$name" "$folder" >&2
        touch "$folder.complete"
    fi
    # Quoted for the eval of whoever reads these lines.
    printf '%s=%q\n' "$name" "$folder"
done
# What the folders were made from: the third-party notices quote license files out of it.
printf 'downloads=%q\n' "$cache/downloads"
