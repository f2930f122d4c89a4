# Cross compilation for x86-64 Windows with Debian's MinGW-w64 toolchain (POSIX threading model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VARNOK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNOK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNOK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNOK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARNOK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also from CMAKE_PREFIX_PATH as given, so a host finds an installed varnokclient there.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Every Windows binary of the build (tests, tools) runs under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

# The toolchain that the build folder's compilers came from (see CMakeLists.txt).
set(VARNOK_TOOLCHAIN ${CMAKE_CURRENT_LIST_FILE})
