# Where oneTBB comes from, and how the extension modules find it at run time.
#
# Two modes, chosen by ROWMERGE_BUNDLE_TBB:
#
# ON (the default for pip builds, i.e. when scikit-build-core runs CMake):
#   oneTBB's headers, CMake package and library come from PyPI's tbb-devel,
#   installed for the interpreter the build is for (pyproject.toml's
#   [build-system].requires puts it into pip's build environment). Only that
#   package is searched (NO_DEFAULT_PATH), so a system oneTBB (libtbb-dev)
#   cannot be picked up, and every machine builds against the same oneTBB.
#   Its libtbb.so.12 is installed, unmodified, into the package
#   (ROWMERGE_TBB_BUNDLE_DIR, rowmerge/_libs) together with the third-party
#   notice, and each module linked by rowmerge_link_tbb() gets an install RPATH
#   that finds it there: the installed package needs no oneTBB of its own,
#   and no run-time dependency on the tbb wheel.
#
# OFF (the default when CMake is run directly: the C++ tests, the sanitizer
#   and CPython 3.15 builds): find_package(TBB) as usual, i.e. the system's
#   oneTBB (libtbb-dev), used in place; nothing is bundled.
#
# In both modes the configure step checks that the compiler sees the headers
# of the same oneTBB version as the library that is linked.

if(SKBUILD)
  set(_rowmerge_bundle_tbb_default ON)
else()
  set(_rowmerge_bundle_tbb_default OFF)
endif()
option(ROWMERGE_BUNDLE_TBB
  "Build against PyPI's tbb-devel and install its libtbb inside the package"
  ${_rowmerge_bundle_tbb_default})

# Where the bundled library is installed, relative to the wheel's root
# (site-packages).
set(ROWMERGE_TBB_BUNDLE_DIR "rowmerge/_libs")
# The oldest tbb-devel a bundling build accepts; keep it in step with
# pyproject.toml's [build-system].requires.
set(ROWMERGE_TBB_DEVEL_MINIMUM 2021.13)
set(ROWMERGE_THIRD_PARTY_NOTICE "${CMAKE_CURRENT_LIST_DIR}/../THIRD-PARTY-NOTICES.txt")

# Fails the configure step unless <notice> holds the text of <file> word for
# word: the notice that ships with the bundled library must carry the terms
# that came with it.
function(_rowmerge_require_text_in_notice file what)
  file(READ "${file}" text)
  file(READ "${ROWMERGE_THIRD_PARTY_NOTICE}" notice)
  string(FIND "${notice}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR
      "THIRD-PARTY-NOTICES.txt does not contain ${what} that comes with the "
      "oneTBB library being bundled (${file}). Update the notice with that text "
      "before shipping this library.")
  endif()
endfunction()

if(ROWMERGE_BUNDLE_TBB)
  find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/tbb_wheel_paths.py"
    OUTPUT_VARIABLE _tbb_wheel
    ERROR_VARIABLE _tbb_wheel_error
    RESULT_VARIABLE _tbb_wheel_result)
  if(NOT _tbb_wheel_result EQUAL 0)
    message(FATAL_ERROR
      "ROWMERGE_BUNDLE_TBB: ${_tbb_wheel_error}"
      "A pip build takes oneTBB from PyPI's tbb-devel (pyproject.toml's "
      "[build-system].requires installs it unless build isolation is off: then "
      "pip install 'tbb-devel>=${ROWMERGE_TBB_DEVEL_MINIMUM}' first). To build "
      "against the system's oneTBB without bundling it instead, pass "
      "-DROWMERGE_BUNDLE_TBB=OFF (pip: -Ccmake.define.ROWMERGE_BUNDLE_TBB=OFF).")
  endif()
  foreach(_key IN ITEMS version config_dir license third_party)
    string(REGEX MATCH "(^|\n)${_key}=([^\n]*)" _ "${_tbb_wheel}")
    set(_tbb_wheel_${_key} "${CMAKE_MATCH_2}")
  endforeach()

  # TBB_DIR is find_package's cached answer: a build directory configured
  # before (without bundling, or in another pip build environment) must not
  # keep the oneTBB it found then.
  set(TBB_DIR "${_tbb_wheel_config_dir}" CACHE PATH "The directory containing TBBConfig.cmake" FORCE)
  set(_ROWMERGE_TBB_DIR_FROM_WHEEL ON CACHE INTERNAL "TBB_DIR was set to tbb-devel's package")
  find_package(TBB ${ROWMERGE_TBB_DEVEL_MINIMUM} CONFIG REQUIRED COMPONENTS tbb
    PATHS "${_tbb_wheel_config_dir}" NO_DEFAULT_PATH)
  message(STATUS "oneTBB ${TBB_VERSION} from tbb-devel ${_tbb_wheel_version} "
    "(${TBB_DIR}), bundled into ${ROWMERGE_TBB_BUNDLE_DIR}")

  _rowmerge_require_text_in_notice("${_tbb_wheel_license}" "the licence")
  _rowmerge_require_text_in_notice("${_tbb_wheel_third_party}" "the third-party list")

  if(SKBUILD)
    # The library file itself, under its own name (libtbb.so.12, the name the
    # modules ask for; libtbb_debug.so.12 in a Debug build).
    install(FILES "$<TARGET_FILE:TBB::tbb>" DESTINATION "${ROWMERGE_TBB_BUNDLE_DIR}")
    install(FILES "${ROWMERGE_THIRD_PARTY_NOTICE}" DESTINATION "${ROWMERGE_TBB_BUNDLE_DIR}")
  endif()
else()
  if(_ROWMERGE_TBB_DIR_FROM_WHEEL)
    # Configured with bundling before: search again, from the system's places.
    unset(TBB_DIR CACHE)
    set(_ROWMERGE_TBB_DIR_FROM_WHEEL OFF CACHE INTERNAL "TBB_DIR was set to tbb-devel's package")
  endif()
  find_package(TBB REQUIRED COMPONENTS tbb)
  message(STATUS "oneTBB ${TBB_VERSION} from ${TBB_DIR} (not bundled)")
endif()

# The headers the compiler finds through TBB::tbb must be those of the library
# that is linked: a mix (say, a system oneTBB's headers with a newer library)
# compiles but may call functions the library at run time lacks.
include(CheckCXXSourceCompiles)
function(_rowmerge_check_tbb_headers)
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" _ "${TBB_VERSION}")
  set(major ${CMAKE_MATCH_1})
  set(minor ${CMAKE_MATCH_2})
  set(CMAKE_REQUIRED_LIBRARIES TBB::tbb)
  set(CMAKE_REQUIRED_QUIET ON)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  unset(ROWMERGE_TBB_HEADERS_MATCH CACHE)
  check_cxx_source_compiles("
#include <oneapi/tbb/version.h>
static_assert(TBB_VERSION_MAJOR == ${major} && TBB_VERSION_MINOR == ${minor});
int main() { return 0; }
" ROWMERGE_TBB_HEADERS_MATCH)
  if(NOT ROWMERGE_TBB_HEADERS_MATCH)
    message(FATAL_ERROR
      "The compiler does not see oneTBB ${TBB_VERSION}'s headers through TBB::tbb "
      "(${TBB_DIR}): another oneTBB's headers come first on the include path.")
  endif()
endfunction()
_rowmerge_check_tbb_headers()

# rowmerge_link_tbb(<target> INSTALL_DESTINATION <dir>)
#
# Links <target> (an extension module) to oneTBB. <dir> is the directory that
# install(TARGETS <target> ...) puts it in, relative to the wheel's root:
# "." for a top-level module such as _native, "rowmerge" for one inside the
# package. With ROWMERGE_BUNDLE_TBB, the installed module's RPATH points from
# there to the bundled library ($ORIGIN/rowmerge/_libs from ".",
# $ORIGIN/_libs from "rowmerge"); the module in the build tree keeps CMake's
# build RPATH, which names the library's own folder.
function(rowmerge_link_tbb target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INSTALL_DESTINATION" "")
  if(NOT DEFINED arg_INSTALL_DESTINATION)
    message(FATAL_ERROR "rowmerge_link_tbb(${target}): INSTALL_DESTINATION is required")
  endif()
  target_link_libraries(${target} PRIVATE TBB::tbb)
  if(ROWMERGE_BUNDLE_TBB)
    file(RELATIVE_PATH relative "/wheel/${arg_INSTALL_DESTINATION}" "/wheel/${ROWMERGE_TBB_BUNDLE_DIR}")
    set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${relative}")
  endif()
endfunction()
