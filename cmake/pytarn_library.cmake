# The C library: libpytarn.so and libpytarn.a from the same core objects the
# tests and the Python module use, with the header, a CMake package
# (find_package(pytarn) -> pytarn::pytarn, pytarn::pytarn_static) and a
# pkg-config file (pytarn.pc).
#
# The objects are compiled with hidden visibility, so the shared library
# exports only what TARN_EXPORT marks: the tarn_ functions of pytarn.h and
# radix_sort_prefixes (tests/core/exports_test.sh checks that).  The core
# calls nothing from the C++ runtime (no exceptions, no RTTI, malloc/free for
# memory), so C programs link either library with a C linker.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# ABI compatibility: while the major version is 0 every minor release may
# change the interface, so the soname carries both.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(TARN_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  set(TARN_COMPATIBILITY SameMinorVersion)
else()
  set(TARN_SOVERSION ${PROJECT_VERSION_MAJOR})
  set(TARN_COMPATIBILITY SameMajorVersion)
endif()

foreach(kind IN ITEMS shared static)
  string(TOUPPER ${kind} KIND)
  add_library(pytarn_${kind} ${KIND} $<TARGET_OBJECTS:tarn_core>)
  target_include_directories(pytarn_${kind} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(pytarn_${kind} PROPERTIES
    OUTPUT_NAME pytarn
    LINKER_LANGUAGE C
    ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
endforeach()
set_target_properties(pytarn_shared PROPERTIES
  EXPORT_NAME pytarn
  VERSION ${PROJECT_VERSION}
  SOVERSION ${TARN_SOVERSION})
set_target_properties(pytarn_static PROPERTIES EXPORT_NAME pytarn_static)

install(TARGETS pytarn_shared pytarn_static EXPORT pytarnTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/pytarn.h ${PROJECT_BINARY_DIR}/include/pytarn_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TARN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pytarn)
install(EXPORT pytarnTargets NAMESPACE pytarn:: DESTINATION ${TARN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pytarnConfig.cmake.in
  ${PROJECT_BINARY_DIR}/pytarnConfig.cmake INSTALL_DESTINATION ${TARN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pytarnConfigVersion.cmake
  COMPATIBILITY ${TARN_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/pytarnConfig.cmake
              ${PROJECT_BINARY_DIR}/pytarnConfigVersion.cmake
  DESTINATION ${TARN_CMAKE_DIR})

# pkg-config: paths relative to the .pc file's own directory, so that an
# install under another prefix (cmake --install --prefix) or a moved tree
# still points at itself; `pkg-config --static` needs nothing more, the core
# needing only libc.
file(RELATIVE_PATH TARN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TARN_PC_TO_PREFIX "${TARN_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/pytarn.pc.in ${PROJECT_BINARY_DIR}/pytarn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pytarn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
