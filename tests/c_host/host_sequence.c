/* A host program written in C, as an outside program would be: it loads the library (libmervane.so
 * or mervane.dll) by path,
 * reaches it only through its underscored symbols, and runs the typical host sequence on one
 * emulated box with two motors while the library's own 1 ms tick moves them. The emulator is
 * loaded by path too, to plug the box and read back what reached it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "boxsim/boxsim.h"
#include "mervane_ext.h"
#include "tests/host_os.h"

#define SERIAL "CHOST001"

#include "tests/c_host/checks.h"

/* Every export of the device and motor families, Exit and the extensions, resolved under "_" + name. The types
 * come from the header (typeof names no symbol, so nothing is linked). */
#define MERVANE_EXPORTS(X)                                                                         \
  X(InitPlugin) X(RefreshDevices) X(GetDevicesCount) X(GetDeviceIndex) X(CheckDeviceConnection)   \
  X(GetDeviceSernum) X(GetDeviceType) X(GetDeviceName) X(RenameDevice) X(OpenDevice)              \
  X(CloseDevice) X(Run) X(InitializeAll) X(StopAll) X(CloseAllDevices) X(Exit) X(SM_GetIndex)     \
  X(SM_GetCountInAll) X(SM_GetInfoInAll) X(SM_GetCount) X(SM_GetType) X(SM_GetPosition)           \
  X(SM_GetRealPosition) X(SM_GetTarget) X(SMN_GetTarget) X(SM_GetZero) X(SM_GetInfo) X(SM_Setup)   \
  X(SMN_Setup) X(SM_SetDestination) X(SM_Move) X(SMN_Move) X(SMN_StepMove) X(SM_IsRunning)        \
  X(SMN_IsRunning) X(SM_Stop) X(SMN_Stop) X(SM_Initialize) X(SM_SetZero) X(SMN_SetZero)           \
  X(SM_Reset) X(SMN_Reset) X(SM_Release) X(SMN_Release) X(SM_ReleaseAll) X(SM_Remove)             \
  X(INF_GetMTypeName) X(EXT_GetTimerCounters) X(EXT_GetDeviceCounters) X(EXT_ResetTimerCounters)     \
  X(EXT_ResetDeviceCounters)

#define BOXSIM_FUNCTIONS(X) \
  X(boxsim_plug) X(boxsim_wire) X(boxsim_position) X(boxsim_energised) X(boxsim_get_eeprom) \
  X(boxsim_bytes) X(boxsim_writes) X(boxsim_clear)

#define DECLARE(name) __typeof__(&name) name;
static struct { MERVANE_EXPORTS(DECLARE) } api;
static struct { BOXSIM_FUNCTIONS(DECLARE) } sim;

/* A function pointer from the loader (copied: ISO C has no cast from object to function pointer). */
static int Resolve(void* library, const char* symbol, void* target, size_t size) {
  void* address = HostSymbol(library, symbol);
  if (address == NULL || size != sizeof address) {
    fprintf(stderr, "missing symbol %s\n", symbol);
    return 0;
  }
  memcpy(target, &address, size);
  return 1;
}

static int Near(double a, double b) { return a - b < 1e-9 && b - a < 1e-9; }

static void SleepMs(long ms) { HostSleepMs(ms); }

/* Polls until both motors rest; 20 s at most. */
static int WaitBothIdle(void) {
  for (int i = 0; i < 2000; ++i) {
    if (!api.SM_IsRunning(0, 0) && !api.SM_IsRunning(0, 1)) return 1;
    SleepMs(10);
  }
  return 0;
}

/* A four-wire motor with a short, quick ramp: acceleration 5 steps, 1 ms minimum step time. */
static MotorInfo FourWire(uint8_t address, uint8_t type, float coefficient, const char* name) {
  MotorInfo info;
  memset(&info, 0, sizeof info);
  info.address = address;
  info.type = type;
  info.length = 10000;
  info.coefficient = coefficient;
  info.acceleration = 5;
  info.minStepTime = 1;
  info.maxStepTime = 5;
  info.offset = 0.25f;
  strcpy(info.name, name);
  return info;
}

/* The whole settings file, or 0 bytes when it cannot be read. */
static size_t ReadSettingsFile(const char* path, unsigned char* buffer, size_t size) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  size_t n = fread(buffer, 1, size, file);
  fclose(file);
  return n;
}

int main(void) {
  const char* configDir = getenv("MERVANE_CONFIG_DIR");
  REQUIRE(configDir != NULL && strlen(configDir) < 200);
  char settingsPath[256];
  snprintf(settingsPath, sizeof settingsPath, "%s%s.hws", configDir, SERIAL);
  remove(settingsPath);

  void* emulator = HostOpenLibrary(MERVANE_BOXSIM_PATH);
  REQUIRE(emulator != NULL);
#define RESOLVE_SIM(name) REQUIRE(Resolve(emulator, #name, &sim.name, sizeof sim.name));
  BOXSIM_FUNCTIONS(RESOLVE_SIM)
  REQUIRE(sim.boxsim_plug("VORK-KADO", SERIAL) == 0);
  REQUIRE(sim.boxsim_wire(SERIAL, 1, "four-wire") == 0);
  REQUIRE(sim.boxsim_wire(SERIAL, 2, "four-wire") == 0);

  void* library = HostOpenLibrary(MERVANE_LIBRARY_PATH);
  REQUIRE(library != NULL);
#define RESOLVE_API(name) REQUIRE(Resolve(library, "_" #name, &api.name, sizeof api.name));
  MERVANE_EXPORTS(RESOLVE_API)
  /* Only the underscored names are there. */
  CHECK(HostSymbol(library, "InitPlugin") == NULL);
  CHECK(HostSymbol(library, "SM_Move") == NULL);

  /* Before InitPlugin nothing is listed: every call is refused. */
  char text[64];
  memset(text, '#', sizeof text);
  CHECK(api.SM_GetCount(0) == -1);
  CHECK(api.SM_GetCountInAll() == 0);
  CHECK(!api.GetDeviceName(0, text, sizeof text) && text[0] == '#');

  /* Start and find the box. */
  CHECK(api.InitPlugin() == 1);
  CHECK(api.GetDevicesCount() == 1);
  CHECK(api.GetDeviceIndex(SERIAL) == 0);
  CHECK(api.CheckDeviceConnection(0));
  CHECK(api.GetDeviceSernum(0, text, sizeof text) && strcmp(text, SERIAL) == 0);
  CHECK(api.GetDeviceType(0, text, sizeof text) && strcmp(text, "VORK-KADO") == 0);
  CHECK(api.GetDeviceName(0, text, sizeof text) && strcmp(text, "VORK-KADO0") == 0);
  CHECK(api.SM_GetCount(0) == 0);

  /* Two motors. */
  MotorInfo x = FourWire(1, 0x85, 100.0f, "X");
  MotorInfo y = FourWire(2, 0x86, 200.0f, "Y");
  CHECK(api.SM_Setup(0, -1, &x) == 0);
  CHECK(api.SM_Setup(0, -1, &y) == 1);
  CHECK(api.SM_GetCount(0) == 2);
  uint32_t device = 9, channel = 9;
  CHECK(api.SM_GetIndex(&device, &channel, "Y", NULL, -1) == 1 && device == 0 && channel == 1);
  const char* typeName = NULL;
  CHECK(api.INF_GetMTypeName(0x86, &typeName) == 10 && strcmp(typeName, "Y (4wires)") == 0);

  /* Both start from the same tick: the first write with steps carries one for each. */
  CHECK(api.SM_SetDestination(0, 0, 0.5));
  CHECK(api.SM_SetDestination(0, 1, -0.25));
  sim.boxsim_clear(SERIAL);
  CHECK(api.Run(0));
  REQUIRE(WaitBothIdle());
  double times[1];
  int sizes[1];
  unsigned char first[6];
  CHECK(sim.boxsim_writes(SERIAL, times, sizes, 1) == 1 && sizes[0] == 6);
  const unsigned char bothStep[6] = {0x84, 0x84, 0xF4, 0x91, 0x91, 0xF1};
  CHECK(sim.boxsim_bytes(SERIAL, first, 6) == 6 && memcmp(first, bothStep, 6) == 0);
  CHECK(Near(api.SM_GetPosition(0, 0), 0.5));
  CHECK(Near(api.SM_GetPosition(0, 1), -0.25));
  CHECK(Near(api.SM_GetTarget(0, 1), -0.25));
  CHECK(sim.boxsim_position(SERIAL, 1) == 50);
  CHECK(sim.boxsim_position(SERIAL, 2) == -50);

  /* The zero toggles. */
  CHECK(api.SM_SetZero(0, 0));
  CHECK(Near(api.SM_GetZero(0, 0), 0.5) && Near(api.SM_GetPosition(0, 0), 0.0));
  CHECK(api.SM_SetZero(0, 0));
  CHECK(Near(api.SM_GetZero(0, 0), 0.0) && Near(api.SM_GetPosition(0, 0), 0.5));

  /* The real tick counted every step that reached the box, and no failed write. */
  MervaneTickCounters counters;
  CHECK(api.EXT_GetDeviceCounters(0, &counters));
  CHECK(counters.steps == 100 && counters.failedWrites == 0 && counters.ticks >= 10);
  CHECK(api.EXT_GetTimerCounters(&counters));
  CHECK(counters.steps == 100 && counters.failedWrites == 0 && counters.ticks >= 10);
  CHECK(!api.EXT_GetDeviceCounters(1, &counters) && !api.EXT_GetDeviceCounters(0, NULL));
  CHECK(api.EXT_ResetDeviceCounters(0) && !api.EXT_ResetDeviceCounters(1));
  api.EXT_ResetTimerCounters();

  /* Twice 1.5 further by name, the second while the first still runs. */
  CHECK(api.SMN_Move("X", 1.5, true));
  CHECK(api.SMN_Move("X", 1.5, true));
  CHECK(Near(api.SMN_GetTarget("X"), 3.5));
  REQUIRE(WaitBothIdle());
  CHECK(Near(api.SM_GetPosition(0, 0), 3.5));
  CHECK(sim.boxsim_position(SERIAL, 1) == 350);
  CHECK(api.EXT_GetDeviceCounters(0, &counters) && counters.steps == 300);
  CHECK(api.EXT_GetTimerCounters(&counters) && counters.steps == 300);

  /* Release switches the coils off. */
  CHECK(sim.boxsim_energised(SERIAL, 1) == 1);
  CHECK(api.SM_Release(0, 0));
  CHECK(sim.boxsim_energised(SERIAL, 1) == 0);

  /* Rename: ten bytes reach the chip, the whole name is the display name. */
  CHECK(api.RenameDevice(0, "ABCDEFGHIJKL"));
  unsigned char eeprom[64];
  unsigned char expectedEeprom[64] = "ABCDEFGHIJ";
  CHECK(sim.boxsim_get_eeprom(SERIAL, eeprom, 64) == 64 && memcmp(eeprom, expectedEeprom, 64) == 0);
  CHECK(api.GetDeviceName(0, text, sizeof text) && strcmp(text, "ABCDEFGHIJKL") == 0);
  CHECK(api.GetDeviceName(0, text, 4) && strcmp(text, "ABC") == 0);

  /* Close: the settings file holds the name, both records with their live positions and five
   * fresh records. (Whether the box still reads closed is not checked: its watchdog reopens it
   * 250 ms later, which a slow sanitizer run can reach before the next call.) */
  CHECK(api.CloseDevice(0));
  unsigned char expected[289];
  memset(expected, 0, sizeof expected);
  memcpy(expected, "ABCDEFGHIJ", 10);
  x.position = 3.5f;
  y.position = -0.25f;
  memcpy(expected + 15, &x, sizeof x);
  memcpy(expected + 15 + 39, &y, sizeof y);
  for (int r = 2; r < 7; ++r) {
    MotorInfo fresh;
    memset(&fresh, 0, sizeof fresh);
    fresh.coefficient = 1.0f;
    memcpy(expected + 15 + 39 * r, &fresh, sizeof fresh);
  }
  unsigned char file[400];
  CHECK(ReadSettingsFile(settingsPath, file, sizeof file) == sizeof expected);
  CHECK(memcmp(file, expected, sizeof expected) == 0);

  /* Exit, twice; the closed box's file stays as it is. */
  api.Exit();
  api.Exit();
  CHECK(api.SM_GetCount(0) == -1);
  CHECK(!api.CheckDeviceConnection(0));
  CHECK(ReadSettingsFile(settingsPath, file, sizeof file) == sizeof expected);
  CHECK(memcmp(file, expected, sizeof expected) == 0);

  CHECK(HostCloseLibrary(library) == 0);
  HostCloseLibrary(emulator);
  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
