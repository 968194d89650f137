# Cross builds for Windows run their programs under Wine: tests through CTest and GoogleTest's
# discovery alike. Writes <build>/wine-run, a runner with its own Wine prefix in the build folder,
# and makes it the cross-compiling emulator of every program target defined after this.
# A 32-bit build needs a Wine that runs 32-bit programs; without one the runner reports the skip
# with exit code 77, which the tests take as "skipped" (see tests/CMakeLists.txt).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # Debian's wine32 (i386) installs the loader /usr/lib/wine/wine; wine64 alone cannot.
  find_program(MERVANE_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
  set(MERVANE_WINE_KIND "32-bit")
else()
  # Debian installs wine64 in Wine's library folder, not on the PATH.
  find_program(MERVANE_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
  set(MERVANE_WINE_KIND "64-bit")
endif()
set(MERVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(MERVANE_WINE_RUNNER ${CMAKE_BINARY_DIR}/wine-run)
if(MERVANE_WINE)
  set(runner_body "exec \"${MERVANE_WINE}\" \"$@\"")
else()
  message(STATUS "No ${MERVANE_WINE_KIND} Wine: the Windows test programs are built but not run")
  set(runner_body "echo \"SKIPPED: this machine cannot run ${MERVANE_WINE_KIND} Windows programs (no ${MERVANE_WINE_KIND} Wine)\"\nexit 77")
endif()
file(WRITE ${MERVANE_WINE_RUNNER} "#!/bin/sh
# Runs a Windows program of this build under Wine (written by cmake/wine.cmake).
export WINEPREFIX='${MERVANE_WINE_PREFIX}'
export WINEDEBUG=-all
# No installer dialogs for Wine's .NET and HTML engines; programs find the build's DLLs.
export WINEDLLOVERRIDES='mscoree,mshtml='
export WINEPATH='${CMAKE_BINARY_DIR};${CMAKE_BINARY_DIR}/boxsim'
${runner_body}
")
file(CHMOD ${MERVANE_WINE_RUNNER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MERVANE_WINE_RUNNER})
