#!/usr/bin/env bash
# Cross-builds the engine and its C++ tests for 64-bit ARM (aarch64) and runs
# them under user-mode QEMU.
#
# - Compiler: Debian's cross toolchain (g++-aarch64-linux-gnu); oneTBB,
#   GoogleTest and the C library: Debian's arm64 packages installed beside
#   the host's (multiarch: dpkg --add-architecture arm64), found through
#   cmake/aarch64-linux-gnu.cmake.
# - QEMU: only the qemu-aarch64-static program, taken out of Debian's
#   qemu-user-static package into ROWMERGE_QEMU_DIR and called directly. The
#   package itself is not installed: installing it registers binfmt handlers,
#   which are machine-wide (and it leaves binfmt.d files that register them at
#   every boot). The arm64 loader and libraries are at their usual paths
#   (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu), so QEMU needs
#   no -L prefix.
#
# Installing needs root; without it the packages must be there already.
#
# One test is left out: MallocBuffer.LargeBuffersAreAdvisedToUseHugePages
# reads back the kernel's record of an madvise(MADV_HUGEPAGE), and QEMU's
# user mode takes that advice without passing it on to the kernel.
set -euo pipefail
cd "$(dirname "$0")/.."
QEMU_DIR=${ROWMERGE_QEMU_DIR:-/var/cache/rowmerge-qemu}
qemu=$QEMU_DIR/usr/bin/qemu-aarch64-static

packages=(g++-aarch64-linux-gnu libtbb-dev:arm64 libgtest-dev:arm64)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})) || [[ ! -x $qemu ]]; then
    [[ $(id -u) -eq 0 ]] || { echo "test-aarch64: needs root to install ${missing[*]} qemu-aarch64-static" >&2; exit 1; }
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    apt-get update -qq
fi
if ((${#missing[@]})); then
    echo "test-aarch64: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [[ ! -x $qemu ]]; then
    download=$(mktemp -d)
    trap 'rm -rf "$download"' EXIT
    (cd "$download" && apt-get download -qq -o APT::Sandbox::User=root qemu-user-static)
    mkdir -p "$QEMU_DIR"
    dpkg-deb --fsys-tarfile "$download"/qemu-user-static_*.deb | tar -x -C "$QEMU_DIR" ./usr/bin/qemu-aarch64-static
fi
"$qemu" --version | head -n1

cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DROWMERGE_QEMU_AARCH64="$qemu" -DROWMERGE_BUILD_MODULE=OFF -DROWMERGE_BUILD_TESTS=ON >/dev/null
cmake --build build-aarch64 -j2
readelf -h build-aarch64/engine_tests | grep -E "Class|Machine"

"$qemu" build-aarch64/engine_tests --gtest_brief=1 \
    --gtest_filter=-MallocBuffer.LargeBuffersAreAdvisedToUseHugePages
