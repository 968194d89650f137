# Cross toolchain for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686-posix), the
# pointer width of the host interface record's layout.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MERVANE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
