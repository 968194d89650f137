/* A Windows host application as an outside developer would write it from include/ alone: it loads
 * mervane.dll and the box emulator DLL with LoadLibrary, hands InitZelPlugin its interface record
 * and moves a motor through the registered functions while the library's 1 ms tick runs; the
 * emulator's count of steps must agree. Built for the 32-bit host's pointer width, where every
 * record entry, descriptor handler and "string" parameter is a 4-byte pointer.
 * Usage: win_host <mervane.dll> <emulator DLL>; MERVANE_D2XX_LIBRARY names the same emulator. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mervane_plugin.h"

#define SERIAL "WINHOST1"
#define EVENT_HANDLE 7

#include "tests/c_host/checks.h"

/* The emulator's control functions this host uses (plain C functions of the emulator DLL). */
typedef int(__cdecl* PlugFn)(const char* description, const char* serial);
typedef int(__cdecl* WireFn)(const char* serial, int address, const char* kind);
typedef long long(__cdecl* PositionFn)(const char* serial, int address);

/* ---- The host's side of the interface record ---- */
static char g_configDir[MAX_PATH];
static const ZelFunctionDescriptor* g_functions[16];
static int g_functionCount = 0;
static ZelCallback g_exit = NULL;
static char g_lastLog[256];
static volatile LONG g_raises = 0;
static volatile LONG g_lastRaise = -1;
static volatile LONG g_raisedOnMain = 0;
static DWORD g_mainThread;

static void __cdecl GetConfigDir(char* buffer) { strcpy(buffer, g_configDir); }
static void __cdecl Log(const char* source, const char* format, int32_t zero, ...) {
  (void)source;
  (void)zero;
  va_list args;
  va_start(args, zero);
  vsnprintf(g_lastLog, sizeof g_lastLog, format, args);
  va_end(args);
}
static void __cdecl AddMenuEntry(const char* plugin, const char* caption, const char* group, ZelCallback click,
                                 const void* zero1, const void* zero2, const void* zero3) {
  (void)plugin, (void)caption, (void)group, (void)click, (void)zero1, (void)zero2, (void)zero3;
}
static void __cdecl RegisterFunction(const ZelFunctionDescriptor* descriptor) {
  if (g_functionCount < 16) g_functions[g_functionCount++] = descriptor;
}
static void __cdecl RegisterEvent(const ZelEventDescriptor* descriptor, int32_t* handle) {
  CHECK(strcmp(descriptor->name, "Motor Stopped") == 0);
  *handle = EVENT_HANDLE;
}
static void __cdecl RaiseEvent(int32_t handle, int32_t value) {
  if (handle != EVENT_HANDLE) return;
  if (GetCurrentThreadId() == g_mainThread) InterlockedIncrement(&g_raisedOnMain);
  InterlockedExchange(&g_lastRaise, value);
  InterlockedIncrement(&g_raises);
}
static void __cdecl Subscribe(const char* source, const char* notice, ZelCallback callback) {
  if (strcmp(source, "zelmgr") == 0 && strcmp(notice, "Exit") == 0) g_exit = callback;
}

/* A registered function by name; exits when the plug-in did not register it. */
static const ZelFunctionDescriptor* Function(const char* name) {
  for (int i = 0; i < g_functionCount; ++i)
    if (strcmp(g_functions[i]->name, name) == 0) return g_functions[i];
  fprintf(stderr, "no function \"%s\" registered\n", name);
  exit(1);
}

static int32_t MotorStatus(const char* name) {
  MervaneNameInput in = {name};
  MervaneInt32Output out = {-2};
  Function("Motor Is Running")->handler(0, &in, &out);
  return out.value;
}

/* Polls "Motor Is Running" every 10 ms until the motor rests: 1, or 0 after 20 s. */
static int WaitResting(const char* name) {
  for (int i = 0; i < 2000; ++i) {
    if (MotorStatus(name) == 0) return 1;
    Sleep(10);
  }
  return 0;
}

static int Near(double a, double b) { return a - b < 1e-9 && b - a < 1e-9; }

/* A function of a loaded DLL as the pointer type it is called through. */
#define SYMBOL(type, module, name) ((type)(void (*)(void))GetProcAddress(module, name))

int main(int argc, char** argv) {
  REQUIRE(argc == 3);
  g_mainThread = GetCurrentThreadId();
  char temp[MAX_PATH];
  REQUIRE(GetTempPathA(sizeof temp, temp) > 0);
  snprintf(g_configDir, sizeof g_configDir, "%smervane-win-host-%lu\\", temp, (unsigned long)GetCurrentProcessId());
  REQUIRE(CreateDirectoryA(g_configDir, NULL));

  HMODULE emulator = LoadLibraryA(argv[2]);
  REQUIRE(emulator != NULL);
  PlugFn plug = SYMBOL(PlugFn, emulator, "boxsim_plug");
  WireFn wire = SYMBOL(WireFn, emulator, "boxsim_wire");
  PositionFn position = SYMBOL(PositionFn, emulator, "boxsim_position");
  REQUIRE(plug != NULL && wire != NULL && position != NULL);
  REQUIRE(plug("VORK-KADO", SERIAL) == 0);
  REQUIRE(wire(SERIAL, 1, "four-wire") == 0);

  HMODULE library = LoadLibraryA(argv[1]);
  REQUIRE(library != NULL);
  typedef int32_t(MERVANE_CALL * InitFn)(ZelHostInterface*);
  typedef int(MERVANE_CALL * SetupFn)(uint32_t, int, MotorInfo*);
  typedef bool(MERVANE_CALL * InfoFn)(uint32_t, uint32_t, MotorInfo*);
  typedef int(MERVANE_CALL * TypeNameFn)(int, const char**);
  InitFn init = SYMBOL(InitFn, library, "_InitZelPlugin");
  SetupFn setup = SYMBOL(SetupFn, library, "_SM_Setup");
  InfoFn info = SYMBOL(InfoFn, library, "_SM_GetInfo");
  TypeNameFn typeName = SYMBOL(TypeNameFn, library, "_INF_GetMTypeName");
  REQUIRE(init != NULL && setup != NULL && info != NULL && typeName != NULL);

  static ZelHostInterface host; /* kept by the plug-in until it is unloaded */
  host.version = ZEL_INTERFACE_VERSION;
  host.getConfigDir = GetConfigDir;
  host.log = Log;
  host.addMenuEntry = AddMenuEntry;
  host.registerFunction = RegisterFunction;
  host.registerEvent = RegisterEvent;
  host.raiseEvent = RaiseEvent;
  host.subscribe = Subscribe;
  REQUIRE(init(&host) == 0);
  REQUIRE(g_functionCount == 11 && g_exit != NULL);
  CHECK(strcmp(g_functions[4]->name, "Move Motor") == 0 && g_functions[4]->inputCount == 3);
  CHECK(g_functions[4]->inputs[2].type == ZEL_STRING && strcmp(g_functions[4]->inputs[2].name, "MotorName") == 0);

  /* A four-wire motor "X" on connector 1: 100 steps per unit, a 5-step ramp from 5 ms to 1 ms. */
  MotorInfo motor;
  memset(&motor, 0, sizeof motor);
  motor.address = 1;
  motor.type = 0x85;
  motor.length = 100000;
  motor.coefficient = 100.0f;
  motor.acceleration = 5;
  motor.minStepTime = 1;
  motor.maxStepTime = 5;
  strcpy(motor.name, "X");
  REQUIRE(setup(0, -1, &motor) == 0);

  /* "Move Motor" to 5 units: 500 steps reach connector 1, "Motor Stopped" comes from the library's
   * thread, the host's log has the request. */
  MervaneMoveInput move = {5.0, 0, "X"};
  REQUIRE(Function("Move Motor")->handler(0, &move, NULL) == 0);
  REQUIRE(WaitResting("X"));
  MervaneNameInput name = {"X"};
  MervanePositionOutput where = {-1.0};
  CHECK(Function("Motor Position")->handler(0, &name, &where) == 0 && Near(where.position, 5.0));
  CHECK(position(SERIAL, 1) == 500);
  for (int i = 0; i < 500 && g_raises == 0; ++i) Sleep(10);
  CHECK(g_raises == 1 && g_lastRaise == 0 && g_raisedOnMain == 0);
  CHECK(strcmp(g_lastLog, "MoveMotor(5, false, X)=true") == 0);

  /* "Move2Motor" 2 units back, the name inline: 300 steps from the start. */
  MervaneMove2Input back;
  memset(&back, 0, sizeof back);
  back.destination = -2.0;
  back.relative = 1;
  strcpy(back.motorName, "X");
  REQUIRE(Function("Move2Motor")->handler(0, &back, NULL) == 0);
  REQUIRE(WaitResting("X"));
  CHECK(position(SERIAL, 1) == 300);
  MotorInfo now;
  CHECK(info(0, 0, &now) && Near(now.position, 3.0) && strcmp(now.name, "X") == 0);

  /* "Motor Info": the motor's texts and speeds through the packed output block. */
  MervaneMotorInfoInput index = {0};
  MervaneMotorInfoOutput details;
  memset(&details, 0, sizeof details);
  const char* type = NULL;
  CHECK(typeName(0x85, &type) > 0);
  CHECK(Function("Motor Info")->handler(0, &index, &details) == 0);
  CHECK(details.count == 1 && strcmp(details.name, "X") == 0 && type != NULL && strcmp(details.type, type) == 0);
  CHECK(Near(details.positionZero[0], 3.0) && Near(details.positionZero[1], 0.0));
  CHECK(Near(details.speedMinMax[0], 1000.0 / 1 * 100.0) && Near(details.speedMinMax[1], 1000.0 / 5 * 100.0));

  /* An unknown motor: the move is refused and logged so. */
  MervaneMoveInput unknown = {1.0, 1, "NOBODY"};
  CHECK(Function("Move Motor")->handler(0, &unknown, NULL) == 1);
  CHECK(strcmp(g_lastLog, "MoveMotor(1, true, NOBODY)=false") == 0);

  /* The manager's "Exit" closes the box: its settings file keeps the motor at 3 units. */
  g_exit();
  char path[MAX_PATH + 16];
  snprintf(path, sizeof path, "%s%s.hws", g_configDir, SERIAL);
  unsigned char file[400];
  size_t size = 0;
  FILE* saved = fopen(path, "rb");
  if (saved != NULL) {
    size = fread(file, 1, sizeof file, saved);
    fclose(saved);
  }
  CHECK(size == 289);
  MotorInfo record;
  memcpy(&record, file + 15, sizeof record); /* the first channel's record follows the 15-byte head */
  CHECK(record.address == 1 && record.type == 0x85 && record.position == 3.0f && strcmp(record.name, "X") == 0);
  DeleteFileA(path);

  FreeLibrary(library);
  FreeLibrary(emulator);
  RemoveDirectoryA(g_configDir);
  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  else printf("moved 500 and 200 steps; the emulator agrees (%d-bit host)\n", (int)(8 * sizeof(void*)));
  return failures == 0 ? 0 : 1;
}
