# The module's Windows version resource. Its numbers come from project(); its
# texts are set here, once, and go both into the resource and to the tests
# that read the resource back.
set(RELAY_PRODUCT_NAME "DEZuzovEzodid")
set(RELAY_FILE_DESCRIPTION "Game server relay module")
set(RELAY_INTERNAL_NAME "DEZuzovEzodid")
set(RELAY_ORIGINAL_FILE_NAME "DEZuzovEzodid.dll")

# Four numbers, missing ones 0: "1.0" is 1,0,0,0 and "1.0.0.0".
set(_relay_version_parts "")
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    list(APPEND _relay_version_parts 0)
  else()
    list(APPEND _relay_version_parts ${PROJECT_VERSION_${part}})
  endif()
endforeach()
list(JOIN _relay_version_parts "," RELAY_VERSION_COMMAS)
list(JOIN _relay_version_parts "." RELAY_VERSION_TEXT)

configure_file(${PROJECT_SOURCE_DIR}/src/host/version.rc.in ${PROJECT_BINARY_DIR}/version.rc @ONLY)
target_sources(DEZuzovEzodid PRIVATE ${PROJECT_BINARY_DIR}/version.rc)
