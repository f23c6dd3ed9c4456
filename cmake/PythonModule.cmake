# The _native extension module: the Python boundary around the engine.
find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
  OUTPUT_VARIABLE NUMPY_INCLUDE_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE NUMPY_INCLUDE_RESULT)
if(NOT NUMPY_INCLUDE_RESULT EQUAL 0 OR NOT NUMPY_INCLUDE_DIR)
  message(FATAL_ERROR "NumPy's C headers are needed to build _native (pip install numpy)")
endif()

file(GLOB MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/module/*.cpp)
python_add_library(_native MODULE WITH_SOABI ${MODULE_SOURCES})
target_include_directories(_native PRIVATE ${NUMPY_INCLUDE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(_native PRIVATE rowmerge_engine)
native_link_tbb(_native INSTALL_DESTINATION .)
set_target_properties(_native PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

if(SKBUILD)
  # A top-level module of site-packages: `import _native`.
  install(TARGETS _native LIBRARY DESTINATION .)
endif()
