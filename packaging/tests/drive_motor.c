/* A program as a user of the installed packages writes it: it includes <mervane.h>, links
 * -lmervane (found through pkg-config or CMake's find_package) and moves one motor on the box
 * emulator of mervane-tools, whose decoded step count must match the library's position.
 * With --window it also shows the control window (QT_QPA_PLATFORM=offscreen), which proves that
 * the installed library finds its window module.
 * Usage: drive_motor EMULATOR.so [--window]; MERVANE_CONFIG_DIR names an empty folder. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mervane.h>

#define SERIAL "PKGTEST1"

static int failures = 0;

#define CHECK(cond)                                                       \
  do {                                                                    \
    if (!(cond)) {                                                        \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

typedef int (*PlugFn)(const char*, const char*);
typedef int (*WireFn)(const char*, int, const char*);
typedef long long (*PositionFn)(const char*, int);

/* A function of the emulator, or exit: without it nothing can be checked. */
static void* Need(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == NULL) {
    fprintf(stderr, "emulator: no %s\n", name);
    exit(1);
  }
  return symbol;
}

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

/* Polls until the motor rests; false after 20 s. */
static int WaitIdle(void) {
  for (int i = 0; i < 2000; ++i) {
    if (!SM_IsRunning(0, 0)) return 1;
    SleepMs(10);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || getenv("MERVANE_CONFIG_DIR") == NULL) {
    fprintf(stderr, "usage: MERVANE_CONFIG_DIR=DIR/ drive_motor EMULATOR.so [--window]\n");
    return 2;
  }
  const int window = argc > 2 && strcmp(argv[2], "--window") == 0;
  /* The emulator instead of the vendor's driver, with one box of our own and no companion. */
  setenv("MERVANE_D2XX_LIBRARY", argv[1], 1);
  setenv("BOXSIM_BOXES", "", 1);
  setenv("MERVANE_COMPANION", "", 1);

  /* Function pointers from data pointers: copied, as ISO C has no such cast. */
  void* emulator = dlopen(argv[1], RTLD_NOW);
  if (emulator == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  PlugFn plug;
  WireFn wire;
  PositionFn position;
  void* symbol = Need(emulator, "boxsim_plug");
  memcpy(&plug, &symbol, sizeof plug);
  symbol = Need(emulator, "boxsim_wire");
  memcpy(&wire, &symbol, sizeof wire);
  symbol = Need(emulator, "boxsim_position");
  memcpy(&position, &symbol, sizeof position);
  CHECK(plug("VORK-KADO", SERIAL) == 0);
  CHECK(wire(SERIAL, 3, "four-wire") == 0);

  CHECK(InitPlugin() == 1);
  CHECK(GetDevicesCount() == 1);
  CHECK(GetDeviceIndex(SERIAL) == 0);

  /* X (4wires) on connector 3, 80 steps a millimetre, a short ramp. */
  MotorInfo info;
  memset(&info, 0, sizeof info);
  info.address = 3;
  info.type = 0x85;
  info.length = 100000;
  info.coefficient = 80.0f;
  info.acceleration = 5;
  info.minStepTime = 1;
  info.maxStepTime = 5;
  strcpy(info.name, "PKG");
  CHECK(SM_Setup(0, -1, &info) == 0);

  CHECK(SM_Move(0, 0, 1.25));
  CHECK(WaitIdle());
  CHECK(SM_GetPosition(0, 0) == 1.25);
  CHECK(position(SERIAL, 3) == 100);
  CHECK(SMN_Move("PKG", 0.75, false));
  CHECK(WaitIdle());
  CHECK(SM_GetPosition(0, 0) == 0.75);
  CHECK(position(SERIAL, 3) == 60);
  printf("motor PKG at %.2f mm, the box counted %lld steps\n", SM_GetPosition(0, 0), position(SERIAL, 3));

  if (window) {
    ShowSetupWin();
    CHECK(IsSetupWinOpened());
    printf("control window %s\n", IsSetupWinOpened() ? "shown" : "NOT shown");
    CloseSetupWin();
  }
  Exit();
  if (failures == 0) printf("drive_motor: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
