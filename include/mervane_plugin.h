/* mervane as a plug-in of the zelmgr plug-in manager: the host interface record, the function and
 * event descriptors, the parameter blocks of the eleven registered functions and InitZelPlugin.
 *
 * How a host uses it
 *   1. Fill a ZelHostInterface (version = ZEL_INTERFACE_VERSION and the entries below; entries
 *      the host does not offer may be NULL and are then skipped) and keep it alive until the
 *      library is unloaded: the plug-in keeps the pointer.
 *   2. Call InitZelPlugin (exported as "_InitZelPlugin"). With the right version it calls, in this
 *      order: getConfigDir, addMenuEntry, registerFunction eleven times, registerEvent, subscribe
 *      ("zelmgr", "Exit", ...), then starts the driver, and returns 0. With another version it
 *      shows a message, calls nothing of the host and returns -1.
 *   3. Call a registered function through its descriptor's handler with a packed input block and
 *      an output block (see "Parameter blocks"). A handler returns 0 on success, 1 on failure.
 *   4. Call the "Exit" callback given to subscribe before unloading the library.
 *
 * Calling convention: every function pointer here is cdecl (the caller cleans the stack); on
 * Linux that is the platform's default C convention on both 32-bit and 64-bit hosts.
 *
 * Layout on 32-bit and 64-bit hosts
 *   The host manager's binary layout was fixed for 32-bit hosts, where a pointer takes 4 bytes;
 *   the sizes and offsets quoted below are those, and this header checks them at compile time
 *   there. The structures are plain C structures with natural alignment, so on a 64-bit host the
 *   same declarations hold pointer-sized members:
 *   - ZelHostInterface is a sequence of pointer-sized entries; entry k lies at k * sizeof(void*).
 *     Entry 0 holds the int32 version in its first 4 bytes (the rest of the entry is padding).
 *   - ZelFunctionDescriptor: the handler pointer takes 8 bytes, so every later field lies 4 bytes
 *     further than quoted (counts at 8 and 12, slots at 16 and 1104, names at 2192 and 2224,
 *     description at 2256, reserved bytes at 2384) and the structure is 2400 bytes with 4 bytes
 *     of tail padding.
 *   - A "string" parameter is a pointer in its block: 8 bytes on a 64-bit host.
 *   Parameter slots (136 bytes) and the event descriptor (192 bytes) are the same on both.
 *
 * Threads
 *   raiseEvent is called from the library's own event thread, once per stop and in the order
 *   the motors stopped: whenever a motor comes to rest, and when a move is asked for the
 *   position a motor already holds. No lock of the library is held meanwhile and the motors go
 *   on moving, so the host may call any function of the library from it. The handlers and the
 *   "Exit" callback may be called from any host thread; the library serialises them.
 *
 * Configuration directory
 *   getConfigDir writes a NUL-terminated folder path into the plug-in's buffer of
 *   ZEL_CONFIG_DIR_SIZE bytes (its size is not passed). Settings files are named by appending
 *   "<serial>.hws" to it, so on Linux the path should end with '/'. */
#ifndef MERVANE_PLUGIN_H
#define MERVANE_PLUGIN_H

#include "mervane.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_INTERFACE_VERSION 111
#define ZEL_CONFIG_DIR_SIZE 4096
#define ZEL_MAX_PARAMETERS 8
#define ZEL_PARAMETER_NAME_SIZE 128
#define ZEL_PLUGIN_NAME_SIZE 32
#define ZEL_FUNCTION_NAME_SIZE 32
#define ZEL_EVENT_NAME_SIZE 32
#define ZEL_DESCRIPTION_SIZE 128

/* Type codes of a parameter slot. */
enum ZelTypeCode {
  ZEL_BOOL = 0,   /* 4 bytes in a block, 0 or 1 */
  ZEL_CHAR = 1,   /* with count N: N bytes inline */
  ZEL_UCHAR = 2,
  ZEL_BYTE = 3,
  ZEL_I16 = 4,
  ZEL_U16 = 5,
  ZEL_I32 = 6,
  ZEL_U32 = 7,
  ZEL_FLOAT = 8,
  ZEL_DOUBLE = 9, /* 8 bytes per element */
  ZEL_STRING = 10, /* a pointer to a NUL-terminated text */
  ZEL_UNKNOWN = 11
};

/* A registered function: (not used, input block, output block) -> 0 success, 1 failure. */
typedef int32_t(MERVANE_CALL* ZelHandler)(int32_t unused, const void* inputs, void* outputs);
/* The menu click and notice callbacks take nothing. */
typedef void(MERVANE_CALL* ZelCallback)(void);

/* One parameter slot, 136 bytes; unused slots are all zero. */
typedef struct ZelParameterSlot {
  int32_t type;  /* enum ZelTypeCode */
  int32_t count; /* element count */
  char name[ZEL_PARAMETER_NAME_SIZE];
} ZelParameterSlot;

/* A function descriptor: 2392 bytes on a 32-bit host (2400 on a 64-bit one, see above). The
 * plug-in's descriptors are constant data that live as long as the library is loaded. */
typedef struct ZelFunctionDescriptor {
  ZelHandler handler;
  int32_t inputCount;
  int32_t outputCount; /* declared outputs; a slot may be filled beyond it */
  ZelParameterSlot inputs[ZEL_MAX_PARAMETERS];
  ZelParameterSlot outputs[ZEL_MAX_PARAMETERS];
  char plugin[ZEL_PLUGIN_NAME_SIZE];       /* "mervane" */
  char name[ZEL_FUNCTION_NAME_SIZE];
  char description[ZEL_DESCRIPTION_SIZE];
  char reserved[12];                       /* zero */
} ZelFunctionDescriptor;

/* The event descriptor, 192 bytes. */
typedef struct ZelEventDescriptor {
  char plugin[ZEL_PLUGIN_NAME_SIZE];       /* "mervane" */
  char name[ZEL_EVENT_NAME_SIZE];          /* "Motor Stopped" */
  char description[ZEL_DESCRIPTION_SIZE];
} ZelEventDescriptor;

/* The host interface record. Entries this plug-in does not use are reserved; a host may offer
 * more entries after the last one. */
typedef struct ZelHostInterface {
  int32_t version; /* entry 0: ZEL_INTERFACE_VERSION */
  /* entry 1: writes a NUL-terminated folder path into `buffer` (ZEL_CONFIG_DIR_SIZE bytes). */
  void(MERVANE_CALL* getConfigDir)(char* buffer);
  /* entry 2: printf-style trace line; `zero` is always 0. */
  void(MERVANE_CALL* log)(const char* source, const char* format, int32_t zero, ...);
  void* reserved3[4];
  /* entry 7: adds a menu entry whose click calls `click`; the last three arguments are 0. */
  void(MERVANE_CALL* addMenuEntry)(const char* plugin, const char* caption, const char* group,
                                   ZelCallback click, const void* zero1, const void* zero2,
                                   const void* zero3);
  void* reserved8[10];
  /* entry 18: once per function; the descriptor stays valid while the library is loaded. */
  void(MERVANE_CALL* registerFunction)(const ZelFunctionDescriptor* descriptor);
  void* reserved19[6];
  /* entry 25: stores the event's handle in *handle, which raiseEvent then receives. */
  void(MERVANE_CALL* registerEvent)(const ZelEventDescriptor* descriptor, int32_t* handle);
  void* reserved26[3];
  /* entry 29: value = the stopped motor's channel index on its box (0..6). Real-time thread! */
  void(MERVANE_CALL* raiseEvent)(int32_t handle, int32_t value);
  /* entry 30: calls `callback` when `source` sends `notice`. */
  void(MERVANE_CALL* subscribe)(const char* source, const char* notice, ZelCallback callback);
} ZelHostInterface;

/* Parameter blocks: the parameters in declared order with no padding; a block need not be
 * aligned. bool is an int32 0/1; "string" a pointer to a NUL-terminated text; char x N inline
 * (a name need not be terminated within its N bytes). */
#pragma pack(push, 1)
/* "Motor Info" */
typedef struct MervaneMotorInfoInput {
  int32_t motorIndex; /* 0 .. SM_GetCountInAll() - 1 over all boxes */
} MervaneMotorInfoInput;
typedef struct MervaneMotorInfoOutput {
  uint32_t count;         /* motors on all boxes */
  char name[10];          /* "???" for a bad index */
  char type[64];          /* type name, "???" for a bad index */
  double positionZero[2]; /* user units */
  double speedMinMax[2];  /* 1000 / min step time * coefficient, 1000 / max step time * coefficient */
} MervaneMotorInfoOutput;
/* "Setup Motor", "Motor Is Running", "Motor Position", "Stop Motor", "Set Zero",
 * "Release Motor", "ResetMotor" */
typedef struct MervaneNameInput {
  const char* motorName;
} MervaneNameInput;
/* "Setup Motor", "Set Zero", "Release Motor", "ResetMotor": "Succes" 0/1. "Motor Is Running":
 * "Status" -1 unknown or not connected, 0 resting, 1 running. */
typedef struct MervaneInt32Output {
  int32_t value;
} MervaneInt32Output;
/* "Motor Position" */
typedef struct MervanePositionOutput {
  double position; /* user units from the zero point */
} MervanePositionOutput;
/* "Move Motor" */
typedef struct MervaneMoveInput {
  double destination; /* user units */
  int32_t relative;   /* bool */
  const char* motorName;
} MervaneMoveInput;
/* "Move2Motor" */
typedef struct MervaneMove2Input {
  double destination;
  int32_t relative;
  char motorName[64];
} MervaneMove2Input;
/* "QuickMoveMotor" */
typedef struct MervaneQuickMoveInput {
  double destination;
  int32_t relative;
  uint32_t speed; /* accepted but not applied: the motor runs its configured ramp */
  char motorName[64];
} MervaneQuickMoveInput;
#pragma pack(pop)

/* Registers the plug-in with the host (see the top of this file): 0, or -1 after a version
 * mismatch or a NULL host. */
MERVANE_FN(int32_t, InitZelPlugin, (ZelHostInterface * host));

/* Compile-time proof of the layouts: the quoted ones on a 32-bit host, the rule on any other. */
#ifdef __cplusplus
#define MERVANE_PLUGIN_ASSERT(condition, text) static_assert(condition, text)
#else
#define MERVANE_PLUGIN_ASSERT(condition, text) _Static_assert(condition, text)
#endif
#define ZEL_ENTRY(k) ((k) * sizeof(void*))
#define ZEL_AFTER_HANDLER(offset) ((offset) - 4 + sizeof(void*))

MERVANE_PLUGIN_ASSERT(sizeof(ZelParameterSlot) == 136, "parameter slot size");
MERVANE_PLUGIN_ASSERT(offsetof(ZelParameterSlot, count) == 4, "parameter slot count");
MERVANE_PLUGIN_ASSERT(offsetof(ZelParameterSlot, name) == 8, "parameter slot name");
MERVANE_PLUGIN_ASSERT(sizeof(ZelEventDescriptor) == 192, "event descriptor size");
MERVANE_PLUGIN_ASSERT(offsetof(ZelEventDescriptor, name) == 32, "event descriptor name");
MERVANE_PLUGIN_ASSERT(offsetof(ZelEventDescriptor, description) == 64, "event descriptor text");

MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, handler) == 0, "descriptor handler");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, inputCount) == ZEL_AFTER_HANDLER(4), "descriptor inputs");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, outputCount) == ZEL_AFTER_HANDLER(8), "descriptor outputs");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, inputs) == ZEL_AFTER_HANDLER(12), "descriptor input slots");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, outputs) == ZEL_AFTER_HANDLER(1100), "descriptor output slots");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, plugin) == ZEL_AFTER_HANDLER(2188), "descriptor plug-in");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, name) == ZEL_AFTER_HANDLER(2220), "descriptor name");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, description) == ZEL_AFTER_HANDLER(2252), "descriptor text");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, reserved) == ZEL_AFTER_HANDLER(2380), "descriptor reserved");

MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, getConfigDir) == ZEL_ENTRY(1), "entry 1");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, log) == ZEL_ENTRY(2), "entry 2");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, addMenuEntry) == ZEL_ENTRY(7), "entry 7");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, registerFunction) == ZEL_ENTRY(18), "entry 18");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, registerEvent) == ZEL_ENTRY(25), "entry 25");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, raiseEvent) == ZEL_ENTRY(29), "entry 29");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, subscribe) == ZEL_ENTRY(30), "entry 30");

MERVANE_PLUGIN_ASSERT(sizeof(MervaneMotorInfoOutput) == 110, "Motor Info outputs");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneMotorInfoOutput, name) == 4, "Motor Info Name");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneMotorInfoOutput, type) == 14, "Motor Info Type");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneMotorInfoOutput, positionZero) == 78, "Motor Info Position");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneMotorInfoOutput, speedMinMax) == 94, "Motor Info Speed");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneMoveInput, relative) == 8, "Move Motor Relative");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneMoveInput, motorName) == 12, "Move Motor MotorName");
MERVANE_PLUGIN_ASSERT(sizeof(MervaneMoveInput) == 12 + sizeof(void*), "Move Motor inputs");
MERVANE_PLUGIN_ASSERT(sizeof(MervaneNameInput) == sizeof(void*), "string input");
MERVANE_PLUGIN_ASSERT(sizeof(MervaneMove2Input) == 76, "Move2Motor inputs");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneQuickMoveInput, speed) == 12, "QuickMoveMotor Speed");
MERVANE_PLUGIN_ASSERT(offsetof(MervaneQuickMoveInput, motorName) == 16, "QuickMoveMotor MotorName");
MERVANE_PLUGIN_ASSERT(sizeof(MervaneQuickMoveInput) == 80, "QuickMoveMotor inputs");

#if UINTPTR_MAX == 0xFFFFFFFFu
/* A 32-bit host: the layouts as the host manager fixed them. */
MERVANE_PLUGIN_ASSERT(sizeof(ZelFunctionDescriptor) == 2392, "function descriptor: 2392 bytes");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, inputs) == 12 && offsetof(ZelFunctionDescriptor, outputs) == 1100,
                      "function descriptor slots at 12 and 1100");
MERVANE_PLUGIN_ASSERT(offsetof(ZelFunctionDescriptor, plugin) == 2188 && offsetof(ZelFunctionDescriptor, name) == 2220 &&
                          offsetof(ZelFunctionDescriptor, description) == 2252 &&
                          offsetof(ZelFunctionDescriptor, reserved) == 2380,
                      "function descriptor texts at 2188, 2220, 2252, 2380");
MERVANE_PLUGIN_ASSERT(offsetof(ZelHostInterface, getConfigDir) == 4 && offsetof(ZelHostInterface, log) == 8 &&
                          offsetof(ZelHostInterface, addMenuEntry) == 28 &&
                          offsetof(ZelHostInterface, registerFunction) == 72 &&
                          offsetof(ZelHostInterface, registerEvent) == 100 &&
                          offsetof(ZelHostInterface, raiseEvent) == 116 && offsetof(ZelHostInterface, subscribe) == 120,
                      "host interface entries at 0, 4, 8, 28, 72, 100, 116, 120");
MERVANE_PLUGIN_ASSERT(sizeof(MervaneMoveInput) == 16 && sizeof(MervaneNameInput) == 4, "string: a 4-byte pointer");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
MERVANE_PLUGIN_ASSERT(sizeof(ZelFunctionDescriptor) == 2400, "function descriptor on a 64-bit host");
MERVANE_PLUGIN_ASSERT(sizeof(ZelHostInterface) == 31 * 8, "host interface on a 64-bit host");
#endif

#undef ZEL_ENTRY
#undef ZEL_AFTER_HANDLER
#undef MERVANE_PLUGIN_ASSERT

#ifdef __cplusplus
}
#endif
#endif /* MERVANE_PLUGIN_H */
