# The project's version, read from the one place it is written: the
# `version = "..."` line of pyproject.toml's [project] table, which is also
# what pip and the wheel's metadata use.
#
# tarn_read_version(PYPROJECT) sets, in the caller's scope:
#   TARN_VERSION         MAJOR.MINOR.PATCH, for project(VERSION)
#   TARN_VERSION_MAJOR, TARN_VERSION_MINOR, TARN_VERSION_PATCH
#   TARN_VERSION_STRING  the whole text, pre-release suffix included
# tarn_write_version_header(OUT) writes pytarn_version.h from them.

function(tarn_read_version pyproject)
  # Only [project] has a bare `version` key at the start of a line; the
  # scikit-build settings spell theirs `cmake.version`.
  file(STRINGS ${pyproject} lines REGEX "^version *= *\"")
  list(LENGTH lines n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "${pyproject}: expected one `version = \"...\"` line, found ${n}")
  endif()
  if(NOT lines MATCHES "^version *= *\"(([0-9]+)\\.([0-9]+)\\.([0-9]+)[0-9A-Za-z.+-]*)\"")
    message(FATAL_ERROR "${pyproject}: the version must start MAJOR.MINOR.PATCH: ${lines}")
  endif()
  set(TARN_VERSION_STRING ${CMAKE_MATCH_1} PARENT_SCOPE)
  set(TARN_VERSION ${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4} PARENT_SCOPE)
  set(TARN_VERSION_MAJOR ${CMAKE_MATCH_2} PARENT_SCOPE)
  set(TARN_VERSION_MINOR ${CMAKE_MATCH_3} PARENT_SCOPE)
  set(TARN_VERSION_PATCH ${CMAKE_MATCH_4} PARENT_SCOPE)
  # A new version in pyproject.toml reconfigures the build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pyproject})
endfunction()

function(tarn_write_version_header out)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pytarn_version.h.in ${out} @ONLY)
endfunction()
