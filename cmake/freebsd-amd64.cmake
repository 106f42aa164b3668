# FreeBSD 14 on amd64: cmake --preset freebsd-amd64.
set(CMAKE_SYSTEM_PROCESSOR amd64)
set(pathvane_zig_machine x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/freebsd.cmake)
