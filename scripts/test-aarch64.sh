#!/usr/bin/env bash
# Cross-builds for 64-bit ARM (aarch64) and runs under user-mode QEMU: first
# the engine and its C++ tests, then the two Python modules, which are loaded
# by an arm64 CPython that runs the in-process part of the Python suite.
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
#   no -L prefix for the C++ tests.
# - CPython for arm64 cannot be installed beside the host's (python3.11 is
#   one architecture at a time, and its arm64 headers must be the very version
#   of the host's interpreter). It comes instead from an arm64 root of the
#   host's Debian release, unpacked and never configured or run as a system
#   (debootstrap's first stage, then every downloaded package unpacked), kept
#   in ROWMERGE_ARM64_ROOT; QEMU runs its python3 with -L pointing there. Its
#   NumPy is PyPI's aarch64 wheel: the modules are built against NumPy 2's
#   headers, and the release's own NumPy is 1.x.
#
# Installing needs root; without it the packages must be there already.
#
# Left out under QEMU, both for what the emulator lacks:
# - MallocBuffer.LargeBuffersAreAdvisedToUseHugePages reads back the kernel's
#   record of an madvise(MADV_HUGEPAGE), and QEMU's user mode takes that
#   advice without passing it on to the kernel;
# - every Python test that starts a child interpreter: without binfmt
#   handlers the kernel cannot start an arm64 program. Hence the list of test
#   files below, and test_import_stays_light deselected.
set -euo pipefail
cd "$(dirname "$0")/.."
QEMU_DIR=${ROWMERGE_QEMU_DIR:-/var/cache/rowmerge-qemu}
ARM64_ROOT=${ROWMERGE_ARM64_ROOT:-/var/cache/rowmerge-arm64-root}
PYTHON=${PYTHON:-python3}
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

echo "--- the Python modules on aarch64"
# The arm64 root: the stamp names what it holds; anything else is rebuilt.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
root_packages=python3,libpython3.11-dev,libtbb12,python3-pytest,python3-hypothesis
stamp="$codename $root_packages numpy>=2.0"
if [[ "$(cat "$ARM64_ROOT/.rowmerge-arm64-root" 2>/dev/null)" != "$stamp" ]]; then
    [[ $(id -u) -eq 0 ]] || { echo "test-aarch64: needs root to make $ARM64_ROOT" >&2; exit 1; }
    mirror=$(apt-get indextargets --format '$(REPO_URI)' | grep -m1 -E '/debian/?$' || true)
    rm -rf --one-file-system "$ARM64_ROOT"
    debootstrap --foreign --arch=arm64 --variant=minbase --include="$root_packages" \
        "$codename" "$ARM64_ROOT" "${mirror:-http://deb.debian.org/debian}" >/dev/null
    for deb in "$ARM64_ROOT"/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$deb" "$ARM64_ROOT"
    done
    rm -f "$ARM64_ROOT"/var/cache/apt/archives/*.deb
    wheels=$(mktemp -d)
    "$PYTHON" -m pip download -q --no-deps --only-binary=:all: --implementation cp --python-version 3.11 \
        --abi cp311 --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
        --platform manylinux2014_aarch64 -d "$wheels" "numpy>=2.0"
    site="$ARM64_ROOT/usr/local/lib/python3.11/dist-packages"
    mkdir -p "$site"
    "$PYTHON" -m zipfile -e "$wheels"/numpy-*.whl "$site"
    rm -rf "$wheels"
    printf '%s\n' "$stamp" >"$ARM64_ROOT/.rowmerge-arm64-root"
fi
# The arm64 interpreter as CMake and the tests call it. Started by its path
# on the host, it reports its headers and NumPy's at host paths.
mkdir -p build-aarch64-module
python_arm64=$PWD/build-aarch64-module/python3-aarch64
printf '#!/bin/sh\nexec "%s" -L "%s" "%s/usr/bin/python3.11" "$@"\n' "$qemu" "$ARM64_ROOT" "$ARM64_ROOT" >"$python_arm64"
chmod +x "$python_arm64"
"$python_arm64" -c "import platform, sys, numpy; print(platform.machine(), 'CPython', sys.version.split()[0], 'NumPy', numpy.__version__)"

# FindPython does not ask a cross-compiled interpreter for its headers: they
# are named, and the root's include folder is searched last, for the arm64
# pyconfig.h that Python.h includes. Nor for the extension suffix: the modules
# are plain _native.so and _engine.so, which CPython imports as well.
cmake -S . -B build-aarch64-module -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DROWMERGE_BUILD_MODULE=ON -DROWMERGE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$python_arm64" \
    -DPython_INCLUDE_DIR="$ARM64_ROOT/usr/include/python3.11" \
    -DCMAKE_CXX_FLAGS="-idirafter $ARM64_ROOT/usr/include" >/dev/null
cmake --build build-aarch64-module -j2 --target _native _engine
PYTHONPATH="$PWD/build-aarch64-module/package:$PWD/build-aarch64-module" "$python_arm64" -m pytest -q \
    -p no:cacheprovider tests/python/test_binding.py tests/python/test_arrays.py tests/python/test_result.py \
    tests/python/test_reference_model.py tests/python/test_api.py \
    --deselect tests/python/test_api.py::test_import_stays_light
