# The two extension modules and the Python boundary code they share.
#
#   _native           the fixed interface (a top-level module)
#   rowmerge._engine  the engine's interface for the rowmerge package
find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
  OUTPUT_VARIABLE NUMPY_INCLUDE_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE NUMPY_INCLUDE_RESULT)
if(NOT NUMPY_INCLUDE_RESULT EQUAL 0 OR NOT NUMPY_INCLUDE_DIR)
  message(FATAL_ERROR "NumPy's C headers are needed to build the extension modules (pip install numpy)")
endif()

# The engine both modules run, built once as a shared library
# (librowmerge_engine.so, installed beside the bundled oneTBB in rowmerge/_libs):
# one worker pool, one pool owner and one fork handler per process, whichever
# modules are imported. It exports the rowmerge namespace alone.
# The objects are those of the static layers, compiled once for both.
add_library(rowmerge_engine_shared SHARED
  $<TARGET_OBJECTS:rowmerge_core> $<TARGET_OBJECTS:rowmerge_engine> $<TARGET_OBJECTS:rowmerge_progress>)
set_target_properties(rowmerge_engine_shared PROPERTIES OUTPUT_NAME rowmerge_engine)
target_link_libraries(rowmerge_engine_shared PUBLIC TBB::tbb Threads::Threads)
target_include_directories(rowmerge_engine_shared PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_options(rowmerge_engine_shared PRIVATE
  "-Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/cmake/engine_exports.map" -Wl,--no-undefined
  -Wl,-Bsymbolic-functions)
set_property(TARGET rowmerge_engine_shared APPEND PROPERTY LINK_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/engine_exports.map)
if(ROWMERGE_BUNDLE_TBB)
  # libtbb.so.12 sits in the same folder.
  set_property(TARGET rowmerge_engine_shared APPEND PROPERTY INSTALL_RPATH "$ORIGIN")
endif()

# Array intake, result hand-off, interpreter scopes, the error convention and
# PanicException: linked into every extension module, each of which gets its
# own copy (hidden symbols, its own NumPy C-API table pointer). Its calls into
# core/ are resolved by the shared engine.
rowmerge_layer(rowmerge_python python)
target_include_directories(rowmerge_python PUBLIC ${NUMPY_INCLUDE_DIR})
target_link_libraries(rowmerge_python PUBLIC rowmerge_engine_shared Python::Module)
set_target_properties(rowmerge_python PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

# rowmerge_extension_module(<name> <source folder> <install folder>)
function(rowmerge_extension_module name folder destination)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/${folder}/*.cpp)
  python_add_library(${name} MODULE WITH_SOABI ${sources})
  target_link_libraries(${name} PRIVATE rowmerge_python rowmerge_engine_shared)
  rowmerge_link_tbb(${name} INSTALL_DESTINATION ${destination})
  # The installed module finds the shared engine in rowmerge/_libs.
  file(RELATIVE_PATH relative "/wheel/${destination}" "/wheel/${ROWMERGE_TBB_BUNDLE_DIR}")
  set_property(TARGET ${name} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${relative}")
  get_target_property(rpath ${name} INSTALL_RPATH)
  list(REMOVE_DUPLICATES rpath)
  set_target_properties(${name} PROPERTIES INSTALL_RPATH "${rpath}"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

rowmerge_extension_module(_native native_module .)
rowmerge_extension_module(_engine engine_module rowmerge)

if(SKBUILD)
  # A top-level module of site-packages: `import _native`.
  install(TARGETS _native LIBRARY DESTINATION .)
  install(TARGETS _engine LIBRARY DESTINATION rowmerge)
  install(TARGETS rowmerge_engine_shared LIBRARY DESTINATION ${ROWMERGE_TBB_BUNDLE_DIR})
else()
  # Run from the build directory with PYTHONPATH=<build>/package:<build>:
  # package/rowmerge holds a copy of the package's Python files, refreshed by
  # every build, and the _engine built here.
  set(ROWMERGE_PACKAGE_TREE ${CMAKE_BINARY_DIR}/package)
  add_custom_target(rowmerge_package_tree ALL
    COMMAND ${CMAKE_COMMAND} -E copy_directory
      ${CMAKE_CURRENT_SOURCE_DIR}/python/rowmerge ${ROWMERGE_PACKAGE_TREE}/rowmerge
    COMMENT "Copying the rowmerge package's Python files into ${ROWMERGE_PACKAGE_TREE}")
  set_target_properties(_engine PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ROWMERGE_PACKAGE_TREE}/rowmerge)
  add_dependencies(_engine rowmerge_package_tree)
endif()
