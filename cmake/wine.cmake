# Cross builds for Windows run their programs under Wine: tests through CTest and GoogleTest's
# discovery alike. Writes <build>/wine-run, a runner with its own Wine prefix in the build folder,
# and makes it the cross-compiling emulator of every program target defined after this.
# A 32-bit build needs a Wine that runs 32-bit programs; without one the runner reports the skip
# with exit code 77, which the tests take as "skipped" (see tests/CMakeLists.txt), and
# MERVANE_WINE_RUNS is false.
# Debian installs wine64 in Wine's library folder, not on the PATH.
find_program(MERVANE_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
set(MERVANE_WINE_ENV "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # 32-bit programs run in wine64's WoW64 mode once Wine has its i386 Windows DLLs: the folder
  # holding i386-windows/ of Debian's libwine:i386, unpacked (not installed) by scripts/windows.sh.
  # No 32-bit Linux program is involved, so this works where the kernel refuses i386 executables.
  set(MERVANE_WINE_I386_DLLS ${CMAKE_BINARY_DIR}/wine-i386/usr/lib/i386-linux-gnu/wine CACHE PATH
      "Folder holding Wine's i386-windows/ DLLs, for running 32-bit programs with wine64")
  # Why that folder is empty, as scripts/windows.sh found out; part of the skip message.
  set(MERVANE_WINE_I386_MISSING "" CACHE STRING "Why Wine's i386 DLLs could not be had")
  # Debian's wine32 (i386) loader, where the system has one.
  find_program(MERVANE_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
  set(MERVANE_WINE_KIND "32-bit")
  if(MERVANE_WINE64 AND EXISTS ${MERVANE_WINE_I386_DLLS}/i386-windows/kernel32.dll)
    set(MERVANE_WINE ${MERVANE_WINE64})
    # Needed when the prefix is made (it fills syswow64/) and by every 32-bit program.
    set(MERVANE_WINE_ENV "export WINEDLLPATH='${MERVANE_WINE_I386_DLLS}'\n")
    message(STATUS "32-bit programs run with ${MERVANE_WINE64} (WoW64, DLLs from ${MERVANE_WINE_I386_DLLS})")
  elseif(MERVANE_WINE32)
    set(MERVANE_WINE ${MERVANE_WINE32})
  else()
    set(MERVANE_WINE "")
    set(wine_missing "no Wine i386 DLLs in ${MERVANE_WINE_I386_DLLS} and no wine32")
    if(MERVANE_WINE_I386_MISSING)
      string(APPEND wine_missing ": ${MERVANE_WINE_I386_MISSING}")
    endif()
  endif()
else()
  set(MERVANE_WINE ${MERVANE_WINE64})
  set(MERVANE_WINE_KIND "64-bit")
  set(wine_missing "no wine64")
endif()
set(MERVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(MERVANE_WINE_RUNNER ${CMAKE_BINARY_DIR}/wine-run)
if(MERVANE_WINE)
  set(MERVANE_WINE_RUNS TRUE)
  set(runner_body "exec \"${MERVANE_WINE}\" \"$@\"")
else()
  set(MERVANE_WINE_RUNS FALSE)
  # Quotes would end the message inside the runner's echo.
  string(REPLACE "\"" "'" wine_missing "${wine_missing}")
  message(STATUS "The Windows test programs are built but not run (${wine_missing})")
  set(runner_body "echo \"SKIPPED: this machine cannot run ${MERVANE_WINE_KIND} Windows programs (${wine_missing})\"\nexit 77")
endif()
file(WRITE ${MERVANE_WINE_RUNNER} "#!/bin/sh
# Runs a Windows program of this build under Wine (written by cmake/wine.cmake).
export WINEPREFIX='${MERVANE_WINE_PREFIX}'
export WINEDEBUG=-all
${MERVANE_WINE_ENV}# No installer dialogs for Wine's .NET and HTML engines; programs find the build's DLLs.
export WINEDLLOVERRIDES='mscoree,mshtml='
export WINEPATH='${CMAKE_BINARY_DIR};${CMAKE_BINARY_DIR}/boxsim'
${runner_body}
")
file(CHMOD ${MERVANE_WINE_RUNNER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MERVANE_WINE_RUNNER})
