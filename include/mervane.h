/* mervane: the C interface of libmervane.so, for hosts in any language.
 *
 * Boxes are addressed by their position in the device list (0 .. GetDevicesCount() - 1), motors by
 * device and channel (SM_ functions, channel 0 .. SM_GetCount(device) - 1) or by name (SMN_
 * functions: the first motor of that name in device and channel order). Positions are in user
 * units (millimetres or degrees). Texts are NUL-terminated single-byte strings; bool is one byte.
 * Failure values: false, -1 for indices and counts, 0.0 for positions. No function throws.
 *
 * The exported symbols carry a leading underscore (_InitPlugin, _SM_Move, ...); this header binds
 * the plain names to them, so a C or C++ program that includes it and links the library needs no
 * further declarations. Call the functions from one thread at a time or from several: the library
 * serialises them. Call Exit before unloading the library.
 *
 * On Linux every export carries the symbol version MERVANE_1. The C library has a function
 * _Exit of its own: a program linked against this library binds Exit() to _Exit@MERVANE_1,
 * while the C library and other libraries keep theirs. A source file that includes this header
 * cannot call the C library's _Exit as well (both are the symbol _Exit there); use _exit. */
#ifndef MERVANE_H
#define MERVANE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define MERVANE_CALL __cdecl
#if defined(__GNUC__)
/* The plain names bind to the underscored exports here too; the assembler name carries the
   target's own prefix in front (one more '_' on 32-bit Windows). */
#define MERVANE_LABEL_TEXT2(x) #x
#define MERVANE_LABEL_TEXT(x) MERVANE_LABEL_TEXT2(x)
#define MERVANE_SYMBOL(name) __asm__(MERVANE_LABEL_TEXT(__USER_LABEL_PREFIX__) "_" #name)
#else
#define MERVANE_SYMBOL(name)
#endif
#if defined(MERVANE_BUILDING) || defined(MERVANE_STATIC)
/* Building the DLL (the module-definition file api/mervane.def names the exports) or linking the
   library's objects statically (the tests). */
#define MERVANE_API
#else
#define MERVANE_API __declspec(dllimport)
#endif
#else
#define MERVANE_CALL
#define MERVANE_SYMBOL(name) __asm__("_" #name)
#ifdef MERVANE_BUILDING
#define MERVANE_API __attribute__((visibility("default")))
#else
#define MERVANE_API
#endif
#endif

#define MERVANE_FN(ret, name, args) MERVANE_API ret MERVANE_CALL name args MERVANE_SYMBOL(name)
#define MERVANE_DATA(type, name) MERVANE_API extern type name MERVANE_SYMBOL(name)

/* What a function returns when it refuses a call (bad index, null pointer, unknown name, ...). */
#define MERVANE_FAILED_BOOL false  /* functions returning bool */
#define MERVANE_FAILED_INDEX (-1)  /* functions returning an index, a count or a type code */
#define MERVANE_FAILED_POSITION 0.0 /* functions returning a position in user units */

/* A motor's configuration, 39 bytes, packed, little-endian (the layout of a settings record). */
#pragma pack(push, 1)
typedef struct MotorInfo {
  uint8_t address;      /* connector address code 1..8; 0 = none */
  uint8_t type;         /* motor type code (INF_GetMTypeName); 0 = none */
  int32_t length;       /* length of travel, steps */
  float coefficient;    /* steps per user unit */
  int8_t acceleration;  /* ramp length, steps */
  uint16_t minStepTime; /* ms */
  uint16_t maxStepTime; /* ms */
  uint8_t halfSteps;    /* 0/1 */
  uint8_t autoRelease;  /* 0/1 */
  char name[10];        /* NUL-terminated, at most 9 characters */
  float position;       /* SM_GetInfo: absolute position, user units */
  float offset;         /* user units */
  float zeroPoint;      /* SM_GetInfo: the zero point, user units */
} MotorInfo;
#pragma pack(pop)

#if defined(__cplusplus)
#define MERVANE_STATIC_ASSERT(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MERVANE_STATIC_ASSERT(cond, what) _Static_assert(cond, what)
#else /* C99: an array of negative size stops the build */
#define MERVANE_STATIC_ASSERT_JOIN(a, b) a##b
#define MERVANE_STATIC_ASSERT_LINE(line) MERVANE_STATIC_ASSERT_JOIN(mervane_static_assert_, line)
#define MERVANE_STATIC_ASSERT(cond, what) typedef char MERVANE_STATIC_ASSERT_LINE(__LINE__)[(cond) ? 1 : -1]
#endif
MERVANE_STATIC_ASSERT(sizeof(MotorInfo) == 39, "MotorInfo is 39 bytes");
MERVANE_STATIC_ASSERT(offsetof(MotorInfo, type) == 1 && offsetof(MotorInfo, length) == 2 &&
                          offsetof(MotorInfo, coefficient) == 6 && offsetof(MotorInfo, acceleration) == 10,
                      "MotorInfo: type, length, coefficient, acceleration at 1, 2, 6, 10");
MERVANE_STATIC_ASSERT(offsetof(MotorInfo, minStepTime) == 11 && offsetof(MotorInfo, maxStepTime) == 13 &&
                          offsetof(MotorInfo, halfSteps) == 15 && offsetof(MotorInfo, autoRelease) == 16,
                      "MotorInfo: step times and flags at 11, 13, 15, 16");
MERVANE_STATIC_ASSERT(offsetof(MotorInfo, name) == 17 && offsetof(MotorInfo, position) == 27 &&
                          offsetof(MotorInfo, offset) == 31 && offsetof(MotorInfo, zeroPoint) == 35,
                      "MotorInfo: name, position, offset, zero point at 17, 27, 31, 35");
MERVANE_STATIC_ASSERT(sizeof(float) == 4 && sizeof(bool) == 1, "4-byte float, 1-byte bool");

/* ---- Devices ----
 * InitPlugin launches the companion program (velquid on the PATH; MERVANE_COMPANION names
 * another, empty: none; a failure is ignored) and returns RefreshDevices(): the number of listed
 * boxes, or -1 when none is attached. GetDevicesCount runs discovery too. Texts are copied into
 * buf as at most len bytes, zero-padded, the last byte forced to 0; len 0 is refused. */
MERVANE_FN(int32_t, InitPlugin, (void));
MERVANE_FN(int32_t, RefreshDevices, (void));
MERVANE_FN(uint32_t, GetDevicesCount, (void));
MERVANE_FN(int32_t, GetDeviceIndex, (const char* serial));
MERVANE_FN(bool, CheckDeviceConnection, (unsigned index));
MERVANE_FN(bool, GetDeviceSernum, (unsigned index, char* buf, uint32_t len));
MERVANE_FN(bool, GetDeviceType, (unsigned index, char* buf, uint32_t len));
MERVANE_FN(bool, GetDeviceName, (unsigned index, char* buf, uint32_t len));
MERVANE_FN(bool, RenameDevice, (unsigned index, const char* name));
MERVANE_FN(bool, OpenDevice, (unsigned index));
MERVANE_FN(bool, CloseDevice, (unsigned index));
MERVANE_FN(bool, Run, (unsigned index));
MERVANE_FN(void, InitializeAll, (unsigned index));
MERVANE_FN(void, StopAll, (unsigned index));
MERVANE_FN(void, CloseAllDevices, (void));

/* ---- Control window ----
 * ShowSetupWin shows the library's control window (created on first use, on a thread of its own
 * unless the process already runs a Qt application); without a display it does nothing.
 * IsSetupWinOpened: the window exists (a window the user closed is hidden, not destroyed).
 * CloseSetupWin destroys it. Exit closes the window, then every box (CloseAllDevices); call it
 * before unloading the library. The form pointers are non-null while their forms exist;
 * DlgTable and DlgName always stay null. */
MERVANE_FN(void, ShowSetupWin, (void));
MERVANE_FN(bool, IsSetupWinOpened, (void));
MERVANE_FN(bool, IsSetupWinVisible, (void));
MERVANE_FN(void, CloseSetupWin, (void));
MERVANE_FN(void, Exit, (void));
MERVANE_DATA(void*, DlgMotorSetup);
MERVANE_DATA(void*, DlgMervane);
MERVANE_DATA(void*, DlgRename);
MERVANE_DATA(void*, DlgTable);
MERVANE_DATA(void*, DlgName);

/* ---- Motors ----
 * SM_Setup configures channel `channel` (below SM_GetCount) or, with channel < 0, adds a motor,
 * from `info`; it returns the channel, or -1 (also for a duplicate address code, type code 0 or
 * an address code above 8). With `info` null it asks through the motor setup dialog.
 * SM_SetZero, SM_Reset and the releases stop the motor and wait until it rests (up to 10 s).
 * SM_GetIndex without a serial returns the number of motors of that name (-1 for a null
 * pointer); the SMN_ functions act on the first of them. INF_GetMTypeName stores a static text. */
MERVANE_FN(int, SM_GetIndex, (uint32_t* device, uint32_t* channel, const char* motorName, const char* serial, int n));
MERVANE_FN(uint32_t, SM_GetCountInAll, (void));
MERVANE_FN(bool, SM_GetInfoInAll, (uint32_t index, MotorInfo* info));
MERVANE_FN(int, SM_GetCount, (uint32_t device));
MERVANE_FN(int, SM_GetType, (uint32_t device, uint32_t channel, char* buffer, int length));
MERVANE_FN(double, SM_GetPosition, (uint32_t device, uint32_t channel));
MERVANE_FN(double, SM_GetRealPosition, (uint32_t device, uint32_t channel));
MERVANE_FN(double, SM_GetTarget, (uint32_t device, uint32_t channel));
MERVANE_FN(double, SMN_GetTarget, (const char* name));
MERVANE_FN(double, SM_GetZero, (uint32_t device, uint32_t channel));
MERVANE_FN(bool, SM_GetInfo, (uint32_t device, uint32_t channel, MotorInfo* info));
MERVANE_FN(int, SM_Setup, (uint32_t device, int channel, MotorInfo* info));
MERVANE_FN(bool, SMN_Setup, (const char* name));
MERVANE_FN(bool, SM_SetDestination, (uint32_t device, uint32_t channel, double units));
MERVANE_FN(bool, SM_Move, (uint32_t device, uint32_t channel, double units));
MERVANE_FN(bool, SMN_Move, (const char* name, double units, bool relative));
MERVANE_FN(bool, SMN_StepMove, (const char* name, int32_t steps, bool relative));
MERVANE_FN(bool, SM_IsRunning, (uint32_t device, uint32_t channel));
MERVANE_FN(int, SMN_IsRunning, (const char* name));
MERVANE_FN(bool, SM_Stop, (uint32_t device, uint32_t channel));
MERVANE_FN(bool, SMN_Stop, (const char* name));
MERVANE_FN(bool, SM_Initialize, (uint32_t device, uint32_t channel));
MERVANE_FN(bool, SM_SetZero, (uint32_t device, uint32_t channel));
MERVANE_FN(bool, SMN_SetZero, (const char* name));
MERVANE_FN(bool, SM_Reset, (uint32_t device, uint32_t channel));
MERVANE_FN(bool, SMN_Reset, (const char* name));
MERVANE_FN(bool, SM_Release, (uint32_t device, uint32_t channel));
MERVANE_FN(bool, SMN_Release, (const char* name));
MERVANE_FN(bool, SM_ReleaseAll, (void));
MERVANE_FN(bool, SM_Remove, (uint32_t device, uint32_t channel));
MERVANE_FN(int, INF_GetMTypeName, (int code, const char** name));

#ifdef __cplusplus
}
#endif
#endif /* MERVANE_H */
