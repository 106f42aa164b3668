# Cross-compiling for FreeBSD 14 with zig's clang, which carries FreeBSD's own libc headers and
# link stubs and its own libc++: included by freebsd-amd64.cmake and freebsd-arm64.cmake, which
# name the machine (FreeBSD's name and zig's). `scripts/install-deps --freebsd` installs zig and
# the wrappers below, under which CMake can run zig's compiler and archiver (binutils here knows
# only Linux's x86-64).
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)

set(PATHVANE_ZIG_BIN "/opt/pathvane-zig/bin" CACHE PATH "Where zig and its wrappers are")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PATHVANE_ZIG_BIN)
foreach(tool IN ITEMS cc c++ ar ranlib)
    if(NOT EXISTS "${PATHVANE_ZIG_BIN}/zig-${tool}")
        message(FATAL_ERROR "${PATHVANE_ZIG_BIN}/zig-${tool} is missing: "
                            "`scripts/install-deps --freebsd` installs it")
    endif()
endforeach()
set(pathvane_zig_target ${pathvane_zig_machine}-freebsd.${CMAKE_SYSTEM_VERSION})
set(CMAKE_C_COMPILER "${PATHVANE_ZIG_BIN}/zig-cc")
set(CMAKE_CXX_COMPILER "${PATHVANE_ZIG_BIN}/zig-c++")
set(CMAKE_C_COMPILER_TARGET ${pathvane_zig_target})
set(CMAKE_CXX_COMPILER_TARGET ${pathvane_zig_target})
# zig's clang checks for undefined behaviour in unoptimised code by default, and links the
# checks' runtime only where it drives the link itself: the build's flags decide, as with clang.
set(CMAKE_C_FLAGS_INIT "-fno-sanitize=undefined")
set(CMAKE_CXX_FLAGS_INIT "-fno-sanitize=undefined")
set(CMAKE_AR "${PATHVANE_ZIG_BIN}/zig-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${PATHVANE_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "Archive indexer")

# Nothing of this host's is FreeBSD's: no library or package (its GoogleTest above all) may be
# found here. Programs, such as valgrind or sh, are the host's.
set(CMAKE_FIND_ROOT_PATH "${PATHVANE_ZIG_BIN}/../freebsd-sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
