# Settings of a cross-build for Windows with mingw-w64.

# Boost is used for headers only. The cross compiler has no Boost of its own,
# so the build machine's headers are taken, through a directory that holds
# nothing but them: adding the build machine's whole include directory would
# hide the target's C library headers.
find_path(RELAY_BOOST_HEADERS boost/version.hpp NO_CMAKE_FIND_ROOT_PATH
  PATHS /usr/local/include /usr/include
  DOC "Directory holding the Boost headers (its boost/ subdirectory)")
if(NOT RELAY_BOOST_HEADERS)
  message(FATAL_ERROR "Boost headers not found; set RELAY_BOOST_HEADERS")
endif()
set(Boost_INCLUDE_DIRS ${CMAKE_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${Boost_INCLUDE_DIRS})
file(CREATE_LINK ${RELAY_BOOST_HEADERS}/boost ${Boost_INCLUDE_DIRS}/boost SYMBOLIC)

# GoogleTest is built from its sources with the cross compiler.
set(RELAY_GTEST_SOURCE_DIR "" CACHE PATH "GoogleTest source tree for cross-built tests")

# Paths that the build compiles into the tests are paths of the build
# machine; under wine its root directory is drive Z:.
set(RELAY_RUNTIME_PATH_PREFIX "Z:" CACHE STRING
  "Prefix that turns a build-machine path into one the cross-built programs can open")

# Programs built here run under wine, each in the wine prefix of this build
# directory, headless and within a time limit: a 32-bit build under 32-bit
# wine, a 64-bit build under wine64.
# The emulator is one generated script, since test discovery takes only a
# program, not a program with arguments.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(RELAY_WINE_ARCH 64)
  else()
    set(RELAY_WINE_ARCH 32)
  endif()
  get_filename_component(_relay_wine_run ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ABSOLUTE)
  file(WRITE ${CMAKE_BINARY_DIR}/wine-run
    "#!/bin/sh\nexec sh '${_relay_wine_run}' ${RELAY_WINE_ARCH} '${CMAKE_BINARY_DIR}/wineprefix' \"$@\"\n")
  file(CHMOD ${CMAKE_BINARY_DIR}/wine-run
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()
