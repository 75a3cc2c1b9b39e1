# Cross-compiles for 64-bit Windows with clang and lld 16 against Debian's mingw-w64
# headers, C run-time (msvcrt.dll) and import libraries. lld, unlike GNU ld 2.40, writes
# the load configuration directory and the CET-compatible mark that the command carries.
# C++ takes libstdc++ from Debian's mingw-w64 GCC (posix thread model: googletest needs
# std::mutex); clang does not find that GCC by itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TOOLCHAIN_PREFIX}-objdump)

set(MINGW_GCC_DIR /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${MINGW_GCC_DIR}/include/c++ ${MINGW_GCC_DIR}/include/c++/${TOOLCHAIN_PREFIX} ${MINGW_GCC_DIR}/include/c++/backward)
# /usr/bin/ld.lld is lld 14, which cannot read clang 16's objects.
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=/usr/bin/ld.lld-16 -L${MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
