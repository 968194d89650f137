# Shared part of the mingw-w64 cross toolchains: the POSIX-threads flavour of Debian's compilers
# (the win32 flavour of GCC 12 has no std::thread or std::mutex) and a statically linked C and C++
# runtime, so that a DLL or program needs nothing beside it but system DLLs.
# Expects MERVANE_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32) to be set by the includer.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10)

set(CMAKE_C_COMPILER ${MERVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MERVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MERVANE_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MERVANE_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${MERVANE_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${MERVANE_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${MERVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static: libgcc, libstdc++ and winpthread go into every binary.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
