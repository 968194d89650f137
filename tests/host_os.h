/* How the outside host programs among the tests load a library, pause and do without a display,
 * on Linux and Windows alike. A host does not link the library's platform layer, so these few calls are its own. */
#ifndef MERVANE_TESTS_HOST_OS_H
#define MERVANE_TESTS_HOST_OS_H

#include <string.h>

#if defined(_WIN32)
#include <windows.h>

static inline void* HostOpenLibrary(const char* path) { return (void*)LoadLibraryA(path); }
static inline void* HostSymbol(void* library, const char* name) {
  FARPROC function = GetProcAddress((HMODULE)library, name);
  void* address;
  memcpy(&address, &function, sizeof address); /* ISO C: no cast between function and object */
  return address;
}
static inline int HostCloseLibrary(void* library) { return FreeLibrary((HMODULE)library) ? 0 : -1; }
static inline const char* HostLibraryError(void) { return "LoadLibrary failed"; }
static inline void HostSleepMs(long ms) { Sleep((DWORD)ms); }
/* Windows has no display variable: the process moves to a window station of its own, which is not
 * visible (as a service's is), so the library finds no desktop to show windows on. 0 on success. */
static inline int HostLeaveDisplay(void) {
  HWINSTA hidden = CreateWindowStationA(NULL, 0, WINSTA_ALL_ACCESS, NULL);
  return hidden != NULL && SetProcessWindowStation(hidden) ? 0 : -1;
}
#else
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static inline void* HostOpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static inline void* HostSymbol(void* library, const char* name) { return dlsym(library, name); }
static inline int HostCloseLibrary(void* library) { return dlclose(library); }
static inline const char* HostLibraryError(void) { return dlerror(); }
static inline void HostSleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}
/* As a process started without a display: the display variables go (a Wayland socket in the
 * runtime folder is the caller's to hide). 0 on success. */
static inline int HostLeaveDisplay(void) {
  return unsetenv("DISPLAY") == 0 && unsetenv("WAYLAND_DISPLAY") == 0 && unsetenv("QT_QPA_PLATFORM") == 0 ? 0 : -1;
}
#endif

#endif
