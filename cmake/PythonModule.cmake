# The Python boundary: the code shared by the extension modules (rowmerge_python)
# and the _native module built on it.
find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
  OUTPUT_VARIABLE NUMPY_INCLUDE_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE NUMPY_INCLUDE_RESULT)
if(NOT NUMPY_INCLUDE_RESULT EQUAL 0 OR NOT NUMPY_INCLUDE_DIR)
  message(FATAL_ERROR "NumPy's C headers are needed to build _native (pip install numpy)")
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

if(SKBUILD)
  # A top-level module of site-packages: `import _native`.
  install(TARGETS _native LIBRARY DESTINATION .)
endif()
