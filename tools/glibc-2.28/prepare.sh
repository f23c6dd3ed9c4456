#!/usr/bin/env bash
# Makes OUT/c++, a C++ compiler whose binaries run on glibc 2.28 and later
# (manylinux_2_28) although this machine has a newer glibc:
#
#   bash tools/glibc-2.28/prepare.sh OUT        (ZIG=path/to/zig, default: PyPI's ziglang)
#
# - clang and glibc 2.28's symbol set from PyPI's ziglang
#   (zig c++ -target x86_64-linux-gnu.2.28): every glibc symbol is bound to
#   the version 2.28 has;
# - the C++ library is the system's libstdc++ (this machine's GCC headers,
#   the shared libstdc++.so.6 and libgcc_s.so.1 at run time), the one the
#   bundled oneTBB uses too: one C++ runtime in the process, as with g++;
# - the headers' configuration (bits/c++config.h) without the four features
#   glibc 2.28 lacks (pthread_cond_clockwait, pthread_mutex_clocklock and
#   pthread_rwlock_clock*lock of 2.30, arc4random of 2.36), and a stand-in
#   for <sys/single_threaded.h> of 2.32 (include/);
# - libstdcxx_compat.cpp, linked into every binary, for the three functions
#   these headers call that a GCC 8 libstdc++ does not export.
# OUT holds all of it (zig aside): the headers and the two libraries are copied
# in, so the compiler works unchanged inside another root that sees OUT and
# the zig binary at the same paths (scripts/build-wheels.sh builds the 3.14
# and 3.15 wheels in the Debian unstable root with it).
# Code generation flags pass through unchanged (-ffp-contract=off and
# -fno-fast-math mean in clang what they mean in GCC); -Wl,-Bsymbolic-functions,
# which zig's linker driver refuses, becomes -Wl,-Bsymbolic (the engine library
# binds its own data too, which nothing outside it defines).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ $# -eq 1 ]] || { echo "usage: $0 OUT" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)

zig=${ZIG:-$(python3 -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')}
gcc_version=$(g++ -dumpversion)
multiarch=$(g++ -print-multiarch)
cxx_include=/usr/include/c++/$gcc_version
cxx_arch_include=/usr/include/$multiarch/c++/$gcc_version
libstdcxx=$(realpath "$(g++ -print-file-name=libstdc++.so)")
libgcc_s=$(realpath "$(g++ -print-file-name=libgcc_s.so.1)")
for path in "$zig" "$cxx_include/vector" "$cxx_arch_include/bits/c++config.h" "$libstdcxx" "$libgcc_s"; do
  [[ -e $path ]] || { echo "prepare: $path is missing" >&2; exit 1; }
done

# GCC's headers (the C++ library's and the multiarch configuration), its
# libstdc++.so.6 and libgcc_s.so.1 to link against, and the stand-ins.
rm -rf "$out/include" "$out/lib"
mkdir -p "$out/include/c++" "$out/include/c++-arch" "$out/include/shim" "$out/lib"
cp -r "$cxx_include/." "$out/include/c++/"
cp -r "$cxx_arch_include/." "$out/include/c++-arch/"
cp "$libstdcxx" "$out/lib/libstdc++.so.6"
cp "$libgcc_s" "$out/lib/libgcc_s.so.1"
cp -r "$here/include/." "$out/include/shim/"
# Debian's multiarch headers (a Python's pyconfig.h includes
# <x86_64-linux-gnu/python3.X/pyconfig.h>), searched after every other folder
# and only under that prefix: glibc's own headers stay zig's for 2.28. A link,
# so that inside another root it names that root's headers.
mkdir -p "$out/include/multiarch"
ln -sfn "/usr/include/$multiarch" "$out/include/multiarch/$multiarch"
newer_than_2_28='^#define _GLIBCXX_(USE_PTHREAD_COND_CLOCKWAIT|USE_PTHREAD_MUTEX_CLOCKLOCK|USE_PTHREAD_RWLOCK_CLOCKLOCK|HAVE_ARC4RANDOM) 1$'
removed=$(grep -Ec "$newer_than_2_28" "$cxx_arch_include/bits/c++config.h" || true)
grep -Ev "$newer_than_2_28" "$cxx_arch_include/bits/c++config.h" >"$out/include/c++-arch/bits/c++config.h"
echo "prepare: c++config.h of GCC $gcc_version without $removed glibc features newer than 2.28"

cat >"$out/c++" <<EOF
#!/usr/bin/env bash
# Made by tools/glibc-2.28/prepare.sh: zig's clang for glibc 2.28 with the
# system's libstdc++.
args=(-target x86_64-linux-gnu.2.28 -nostdinc++ -nostdlib++
      -I'$out/include/shim' -I'$out/include/c++' -I'$out/include/c++-arch'
      -idirafter '$out/include/multiarch')
compile_only=0
output=0
for arg in "\$@"; do
  case \$arg in
    -c | -S | -E | -M | -MM) compile_only=1 ;;
    -o) output=1 ;;
  esac
  case \$arg in
    -Wl,-Bsymbolic-functions) args+=(-Wl,-Bsymbolic) ;;
    *) args+=("\$arg") ;;
  esac
done
if ((output && !compile_only)); then
  # libstdc++.so.6 names its own glibc needs at this machine's versions; the
  # system it runs on brings its own copy.
  args+=('$out/libstdcxx_compat.o' '$out/lib/libstdc++.so.6' '$out/lib/libgcc_s.so.1' -Wl,--allow-shlib-undefined)
fi
exec '$zig' c++ "\${args[@]}"
EOF
chmod +x "$out/c++"
"$out/c++" -std=c++20 -O2 -fPIC -c "$here/libstdcxx_compat.cpp" -o "$out/libstdcxx_compat.o"
echo "prepare: $out/c++ ($("$zig" version), GCC $gcc_version's libstdc++, glibc 2.28)"

# The stand-ins at work: built with the new compiler, run here; and no binary
# of it may ask libstdc++ for more than GCC 8's (GLIBCXX_3.4.25, CXXABI_1.3.11).
"$out/c++" -std=c++20 -O2 "$here/compat_check.cpp" -o "$out/compat_check"
"$out/compat_check"
too_new=$(objdump -T "$out/compat_check" | grep -oE 'GLIBCXX_3\.4\.(2[6-9]|[3-9][0-9])|CXXABI_1\.3\.(1[2-9])|GLIBC_2\.(29|[3-9][0-9])' | sort -u || true)
if [[ -n $too_new ]]; then
  echo "prepare: the check program still needs" $too_new >&2
  exit 1
fi
