# What `cmake --install <build> --prefix P` puts under P:
#   include/DEZuzovEzodid.h                   the public header
#   lib/DEZuzovEzodid.so  or  bin/DEZuzovEzodid.dll   the module (a Windows
#                                             build keeps it beside its .exe)
#   bin/config_check, sample_host, sample_server  (.exe on Windows), when the
#                                             tools are built
#   share/DEZuzovEzodid/QVThunkConfig.xml     the sample configuration
#   share/doc/DEZuzovEzodid/                  README, change log, docs, and
#                                             README-operator.txt
#   lib/cmake/DEZuzovEzodid/                  the CMake package
#   lib/pkgconfig/DEZuzovEzodid.pc            the pkg-config file
# Nothing of the tests, the test kit or the benchmark: the sample tools link
# the kit's static libraries in, and those are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  set(RELAY_MODULE_DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  set(RELAY_MODULE_DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
set(RELAY_MODULE_FILE_NAME DEZuzovEzodid${CMAKE_SHARED_MODULE_SUFFIX})
set(RELAY_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DEZuzovEzodid)
set(RELAY_DATA_DESTINATION ${CMAKE_INSTALL_DATADIR}/DEZuzovEzodid)

# ---- Header, module, sample configuration, tools ----------------------------
# The package's target: the header only, since hosts load the module at run
# time and link nothing of it. A project that adds this tree with
# add_subdirectory gets the same name.
add_library(DEZuzovEzodid_headers INTERFACE)
target_include_directories(DEZuzovEzodid_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(DEZuzovEzodid_headers PROPERTIES EXPORT_NAME DEZuzovEzodid)
add_library(DEZuzovEzodid::DEZuzovEzodid ALIAS DEZuzovEzodid_headers)

install(FILES ${PROJECT_SOURCE_DIR}/include/DEZuzovEzodid.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS DEZuzovEzodid_headers EXPORT DEZuzovEzodidTargets)
# A module is a LIBRARY artifact on every platform, the DLL too.
install(TARGETS DEZuzovEzodid LIBRARY DESTINATION ${RELAY_MODULE_DESTINATION})
foreach(tool config_check sample_host sample_server)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/tools/QVThunkConfig.xml DESTINATION ${RELAY_DATA_DESTINATION})

# ---- Docs -----------------------------------------------------------------------
# The operator's README of the release bundles, with the platform's file
# names and commands.
if(WIN32)
  set(RELAY_README_PLATFORM "32-bit Windows")
  set(RELAY_README_EXE ".exe")
  set(RELAY_README_RUN "")
  set(RELAY_README_HOST_DIR "C:\\game\\")
  set(RELAY_README_LINE_ENDS "Windows text (CR LF line ends)")
  set(RELAY_README_SEP "\\")
  set(RELAY_README_NEWLINES CRLF)
else()
  set(RELAY_README_PLATFORM "Linux x86-64")
  set(RELAY_README_EXE "")
  set(RELAY_README_RUN "./")
  set(RELAY_README_HOST_DIR "/srv/game/")
  set(RELAY_README_LINE_ENDS "text (LF line ends)")
  set(RELAY_README_SEP "/")
  set(RELAY_README_NEWLINES LF)
endif()
set(RELAY_README_TITLE "DEZuzovEzodid ${PROJECT_VERSION} for ${RELAY_README_PLATFORM}")
string(LENGTH "${RELAY_README_TITLE}" _relay_title_length)
string(REPEAT "=" ${_relay_title_length} RELAY_README_RULE)
configure_file(${PROJECT_SOURCE_DIR}/docs/README-operator.txt.in
  ${PROJECT_BINARY_DIR}/README-operator.txt @ONLY NEWLINE_STYLE ${RELAY_README_NEWLINES})
install(FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${PROJECT_BINARY_DIR}/README-operator.txt
  ${PROJECT_SOURCE_DIR}/docs/protocol.md
  ${PROJECT_SOURCE_DIR}/docs/reliability.md
  ${PROJECT_SOURCE_DIR}/docs/performance.md
  ${PROJECT_SOURCE_DIR}/docs/windows.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- CMake package: find_package(DEZuzovEzodid) -----------------------------------
# Gives the target DEZuzovEzodid::DEZuzovEzodid (the include directory) and
# DEZuzovEzodid_MODULE, the installed module's full path, for the host's
# dlopen or LoadLibrary. Relocatable: the paths follow the prefix the package
# is found in.
set(RELAY_INSTALL_MODULE ${RELAY_MODULE_DESTINATION}/${RELAY_MODULE_FILE_NAME})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/DEZuzovEzodidConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/DEZuzovEzodidConfig.cmake
  INSTALL_DESTINATION ${RELAY_CMAKE_DESTINATION}
  PATH_VARS RELAY_INSTALL_MODULE CMAKE_INSTALL_INCLUDEDIR)
# 1.x packages serve a request for 1.y with y <= x; the module is of one
# pointer width, so a package of the other width is not taken.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/DEZuzovEzodidConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(EXPORT DEZuzovEzodidTargets NAMESPACE DEZuzovEzodid::
  DESTINATION ${RELAY_CMAKE_DESTINATION})
install(FILES ${PROJECT_BINARY_DIR}/package/DEZuzovEzodidConfig.cmake
  ${PROJECT_BINARY_DIR}/package/DEZuzovEzodidConfigVersion.cmake
  DESTINATION ${RELAY_CMAKE_DESTINATION})

# ---- pkg-config file --------------------------------------------------------------
# Its prefix is the one given at install time (cmake --install --prefix P),
# so it is written then: the template is filled in now, all but the prefix.
set(RELAY_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/DEZuzovEzodid.pc.in
  ${PROJECT_BINARY_DIR}/package/DEZuzovEzodid.pc.in @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/package/DEZuzovEzodid.pc.in\"
  \"${PROJECT_BINARY_DIR}/package/DEZuzovEzodid.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/package/DEZuzovEzodid.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
