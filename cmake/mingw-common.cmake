# Shared part of the mingw-w64 toolchain files; RELAY_MINGW_TRIPLET names the
# target. The "-posix" compiler variants are used so that std::thread exists
# (the tests use it); the runtime libraries are linked statically, so the
# built programs and the module need no compiler DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
if(RELAY_MINGW_TRIPLET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

find_program(CMAKE_C_COMPILER NAMES ${RELAY_MINGW_TRIPLET}-gcc-posix ${RELAY_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${RELAY_MINGW_TRIPLET}-g++-posix ${RELAY_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${RELAY_MINGW_TRIPLET}-windres)
find_program(CMAKE_OBJDUMP NAMES ${RELAY_MINGW_TRIPLET}-objdump)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${RELAY_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
