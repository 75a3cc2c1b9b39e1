# Cross-compiles for 64-bit Windows with clang and lld against Debian's mingw-w64
# headers, C run-time (msvcrt.dll) and import libraries. lld, unlike GNU ld 2.40, writes
# the load configuration directory and the CET-compatible mark that the command carries.
# C++ takes libstdc++ from Debian's mingw-w64 GCC (posix thread model: googletest needs
# std::mutex), named here: clang 16 does not find that GCC by itself (clang 19 does).
#
# It takes the LLVM and the mingw-w64 GCC that scripts/install-packages installed for
# this Debian release, the newest of each where there are several;
# -DPNPINSTALL_LLVM_VERSION=N picks another installed LLVM.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)

# The highest version among the paths that match GLOB, each read by REGEX's first group.
function(newest_version variable glob regex)
    file(GLOB paths LIST_DIRECTORIES true ${glob})
    set(versions)
    foreach(path IN LISTS paths)
        if(path MATCHES "${regex}")
            list(APPEND versions ${CMAKE_MATCH_1})
        endif()
    endforeach()
    list(SORT versions COMPARE NATURAL ORDER DESCENDING)
    list(LENGTH versions found)
    if(found EQUAL 0)
        message(FATAL_ERROR "nothing installed matches ${glob}: run scripts/install-packages")
    endif()
    list(GET versions 0 newest)
    set(${variable} ${newest} PARENT_SCOPE)
endfunction()

if(NOT PNPINSTALL_LLVM_VERSION)
    newest_version(PNPINSTALL_LLVM_VERSION /usr/bin/ld.lld-* "/ld\\.lld-([0-9]+)$")
endif()
set(PNPINSTALL_LLVM_VERSION ${PNPINSTALL_LLVM_VERSION} CACHE STRING "the LLVM version that builds pnpinstall")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PNPINSTALL_LLVM_VERSION)
if(NOT EXISTS /usr/bin/clang++-${PNPINSTALL_LLVM_VERSION} OR NOT EXISTS /usr/bin/ld.lld-${PNPINSTALL_LLVM_VERSION})
    message(FATAL_ERROR "clang and lld ${PNPINSTALL_LLVM_VERSION} are not installed: run scripts/install-packages")
endif()
newest_version(MINGW_GCC_VERSION /usr/lib/gcc/${TOOLCHAIN_PREFIX}/*-posix "/([0-9]+)-posix$")
set(MINGW_GCC_DIR /usr/lib/gcc/${TOOLCHAIN_PREFIX}/${MINGW_GCC_VERSION}-posix)

set(CMAKE_C_COMPILER clang-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER clang++-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
# The tests read the executable with it.
set(LLVM_READOBJ llvm-readobj-${PNPINSTALL_LLVM_VERSION})

set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${MINGW_GCC_DIR}/include/c++ ${MINGW_GCC_DIR}/include/c++/${TOOLCHAIN_PREFIX} ${MINGW_GCC_DIR}/include/c++/backward)
# Plain ld.lld may be another LLVM's, too old to read this clang's objects.
set(CMAKE_LINKER /usr/bin/ld.lld-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=${CMAKE_LINKER} -L${MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
