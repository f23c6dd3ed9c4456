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

# Array intake, result hand-off, interpreter scopes, the error convention and
# PanicException: linked into every extension module, each of which gets its
# own copy (hidden symbols, its own NumPy C-API table pointer).
rowmerge_layer(rowmerge_python python)
target_include_directories(rowmerge_python PUBLIC ${NUMPY_INCLUDE_DIR})
target_link_libraries(rowmerge_python PUBLIC rowmerge_core Python::Module)
set_target_properties(rowmerge_python PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

file(GLOB NATIVE_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/native_module/*.cpp)
python_add_library(_native MODULE WITH_SOABI ${NATIVE_MODULE_SOURCES})
target_link_libraries(_native PRIVATE rowmerge_python rowmerge_engine rowmerge_progress)
rowmerge_link_tbb(_native INSTALL_DESTINATION .)
set_target_properties(_native PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

file(GLOB ENGINE_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/engine_module/*.cpp)
python_add_library(_engine MODULE WITH_SOABI ${ENGINE_MODULE_SOURCES})
target_link_libraries(_engine PRIVATE rowmerge_python rowmerge_engine rowmerge_progress)
rowmerge_link_tbb(_engine INSTALL_DESTINATION rowmerge)
set_target_properties(_engine PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

if(SKBUILD)
  # A top-level module of site-packages: `import _native`.
  install(TARGETS _native LIBRARY DESTINATION .)
  install(TARGETS _engine LIBRARY DESTINATION rowmerge)
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
