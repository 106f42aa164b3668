# FreeBSD 14 on arm64: cmake --preset freebsd-arm64.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(pathvane_zig_machine aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/freebsd.cmake)
