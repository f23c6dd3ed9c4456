# Cross-builds for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu) against Debian's arm64 multiarch packages
# (libtbb-dev:arm64, libgtest-dev:arm64 in /usr/lib/aarch64-linux-gnu).
# Built programs run under user-mode QEMU, called directly: set
# ROWMERGE_QEMU_AARCH64 to its qemu-aarch64-static (scripts/test-aarch64.sh
# does), and ctest and the test discovery run the tests through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# find_package looks in <prefix>/lib/aarch64-linux-gnu/cmake, where the
# multiarch packages put their CMake files.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ROWMERGE_QEMU_AARCH64 "" CACHE FILEPATH "qemu-aarch64-static that runs the built tests")
if(ROWMERGE_QEMU_AARCH64)
  # The arm64 C library and loader installed by multiarch (libc6:arm64) sit at
  # the same paths as on an arm64 machine, so QEMU needs no -L prefix.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ROWMERGE_QEMU_AARCH64}")
endif()
