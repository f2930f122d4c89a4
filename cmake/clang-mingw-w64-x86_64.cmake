# Cross compilation for x86-64 Windows with clang and lld: the build whose DLL ships, with its
# symbols in a PDB that Windows debuggers read. It compiles against the same MinGW-w64 headers and
# links the same C runtime, libstdc++, libgcc and winpthread (statically) as the GCC toolchain,
# taken from the POSIX-threading GCC 12.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
set(VARNOK_TOOLCHAIN ${CMAKE_CURRENT_LIST_FILE})

set(VARNOK_TARGET x86_64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VARNOK_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${VARNOK_TARGET})
# The import tables and symbols are read with the MinGW-w64 binutils, as in the GCC build; the
# DLL's debug sections are stripped with LLVM's objcopy, which keeps its debug directory right.
set(CMAKE_OBJDUMP ${VARNOK_MINGW_PREFIX}-objdump)
set(CMAKE_NM ${VARNOK_MINGW_PREFIX}-nm)
set(CMAKE_OBJCOPY llvm-objcopy)

# Left to itself, clang takes the folder above the x86_64-w64-mingw32-gcc on PATH (/usr) for the
# MinGW-w64 root, and so would search the build machine's /usr/include, and misses GCC's own folder,
# whose name (12-posix) it does not read as a version. So the root and the POSIX variant's folder
# are named.
execute_process(COMMAND ${VARNOK_MINGW_PREFIX}-gcc-posix -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
cmake_path(GET libgcc PARENT_PATH VARNOK_GCC_LIBRARY_DIR)
set(cxx_include ${VARNOK_GCC_LIBRARY_DIR}/include/c++)

# GCC reaches thread_local variables through libgcc's emulation, and so does the inline code of
# libstdc++'s std::call_once and std::future: clang must too, to link with it. (clang 14's CodeView
# then names a variable that the emulation never defines: base/blocking_call.cpp keeps its one
# thread_local variable out of the debug information.)
set(CMAKE_C_FLAGS_INIT "--sysroot=${CMAKE_FIND_ROOT_PATH} -femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -stdlib++-isystem ${cxx_include} -stdlib++-isystem \
${cxx_include}/${VARNOK_MINGW_PREFIX} -stdlib++-isystem ${cxx_include}/backward")
# crtbegin.o, libgcc and libstdc++ from GCC's folder; winpthread, which GCC always links.
set(linker_flags "-fuse-ld=lld -B${VARNOK_GCC_LIBRARY_DIR} -L${VARNOK_GCC_LIBRARY_DIR} -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${linker_flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${linker_flags})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${linker_flags})
