/* A plain C host that shows the control window and then ends in one of the ways a host ends:
 * "exit" (Exit, then return from main), "none" (return without Exit), "close" (CloseSetupWin,
 * then return), "unload" (Exit, then dlclose). CTest fails the run when anything of the toolkit
 * complains on standard error. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef int (*IntFn)(void);
typedef void (*VoidFn)(void);
typedef unsigned char (*BoolFn)(void);

/* A function of the library; ISO C has no cast from dlsym's object pointer to a function
   pointer, so its bytes are copied. */
static VoidFn Symbol(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  VoidFn function;
  if (symbol == NULL) {
    fprintf(stderr, "missing %s\n", name);
    exit(1);
  }
  memcpy(&function, &symbol, sizeof function);
  return function;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "exit";
  void* library = dlopen(MERVANE_LIBRARY_PATH, RTLD_NOW);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  ((IntFn)Symbol(library, "_InitPlugin"))();
  ((VoidFn)Symbol(library, "_ShowSetupWin"))();
  if (!((BoolFn)Symbol(library, "_IsSetupWinOpened"))()) {
    printf("no window could be shown here\n");
    return 77;
  }
  /* Two refreshes of the window, so that it has painted its rows and lamps. */
  struct timespec pause = {1, 200000000};
  nanosleep(&pause, NULL);
  if (strcmp(mode, "exit") == 0 || strcmp(mode, "unload") == 0) ((VoidFn)Symbol(library, "_Exit"))();
  if (strcmp(mode, "close") == 0) ((VoidFn)Symbol(library, "_CloseSetupWin"))();
  if (strcmp(mode, "unload") == 0) dlclose(library);
  return 0;
}
