# Cross-compiles for Windows on ARM64 with Debian's clang and lld, against the mingw-w64
# headers, C run-time (msvcrt.dll) and import libraries that scripts/arm64-toolchain
# builds from Debian's own sources (Debian ships none for this target). clang's run-time
# library is compiler-rt's builtins, and C++ is libc++, built there too; the command
# itself links no C++ library.
#
# PNPINSTALL_ARM64_TOOLCHAIN is the folder scripts/arm64-toolchain printed; its LLVM is
# the one that builds here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(TOOLCHAIN_PREFIX aarch64-w64-mingw32)

if(NOT PNPINSTALL_ARM64_TOOLCHAIN OR NOT EXISTS ${PNPINSTALL_ARM64_TOOLCHAIN}/complete)
    message(FATAL_ERROR "no ARM64 toolchain: run scripts/arm64-toolchain and pass the folder it prints as "
                        "-DPNPINSTALL_ARM64_TOOLCHAIN=... (scripts/test does both)")
endif()
set(PNPINSTALL_ARM64_TOOLCHAIN ${PNPINSTALL_ARM64_TOOLCHAIN} CACHE PATH "the folder scripts/arm64-toolchain made")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PNPINSTALL_ARM64_TOOLCHAIN)
string(REGEX REPLACE ".*-llvm([0-9]+)$" "\\1" PNPINSTALL_LLVM_VERSION "${PNPINSTALL_ARM64_TOOLCHAIN}")

set(CMAKE_C_COMPILER clang-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER clang++-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_SYSROOT ${PNPINSTALL_ARM64_TOOLCHAIN})
# llvm-windres preprocesses with whatever clang it finds on the PATH; name this LLVM's
# preprocessor by its full path (clang-cpp reads the .rc as C), with what it needs.
set(CMAKE_RC_COMPILER llvm-windres-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_RC_FLAGS_INIT "--target=${TOOLCHAIN_PREFIX} --preprocessor=/usr/bin/clang-cpp-${PNPINSTALL_LLVM_VERSION}")
foreach(argument -DRC_INVOKED --target=${TOOLCHAIN_PREFIX} --sysroot=${PNPINSTALL_ARM64_TOOLCHAIN})
    string(APPEND CMAKE_RC_FLAGS_INIT " --preprocessor-arg=${argument}")
endforeach()
set(LLVM_READOBJ llvm-readobj-${PNPINSTALL_LLVM_VERSION})

set(resource_dir ${PNPINSTALL_ARM64_TOOLCHAIN}/clang-resource)
set(CMAKE_C_FLAGS_INIT "-resource-dir=${resource_dir}")
set(CMAKE_CXX_FLAGS_INIT "-resource-dir=${resource_dir} -stdlib=libc++")
set(CMAKE_LINKER /usr/bin/ld.lld-${PNPINSTALL_LLVM_VERSION})
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=${CMAKE_LINKER} -rtlib=compiler-rt -unwindlib=none")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
# libc++'s exceptions unwind with libunwind, which -unwindlib=none leaves out.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lunwind")

set(CMAKE_FIND_ROOT_PATH ${PNPINSTALL_ARM64_TOOLCHAIN}/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
