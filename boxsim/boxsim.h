// Control interface of the box emulator libmervane-boxsim.so. The emulator also exports the D2XX
// functions of hardware/d2xx.h, so mervane loads it in place of the vendor library
// (MERVANE_D2XX_LIBRARY); these functions let tests, demos and outside tools plug and unplug boxes,
// inject failures, and read back what was written to each box, decoded into motor positions.
#pragma once

#include "hardware/d2xx.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define BOXSIM_API __declspec(dllexport)
#else
#define BOXSIM_API __attribute__((visibility("default")))
#endif

// Every function returns a negative value (boxsim_position: LLONG_MIN) for a null, never-plugged
// or otherwise bad argument, and never throws or crashes. Queries keep answering for a box that
// was plugged and is now unplugged. All functions are safe to call from any thread.
//
// At load the boxes come from BOXSIM_BOXES, comma-separated DESCRIPTION:SERIAL entries (split at
// the last colon; malformed entries and repeated serials are skipped); unset means the two boxes
// VORK-KADO:SIM00001 and VORK-ql2:SIM00002, empty means none. With BOXSIM_STATE_DIR set, each
// box's 64-byte EEPROM user area is saved in that folder on every write and read back at plug.

// Attaches a box (0); negative for a bad argument (names must be 1..63 bytes) or a serial already
// attached. Plugging a serial seen before finds its EEPROM, motors and logs again; bit mode and
// baud rate start over as on a powered-up chip.
BOXSIM_API int boxsim_plug(const char* description, const char* serial);
// Detaches a box (0): its open handles fail from now on (closing them still succeeds), listing
// no longer shows it, and its connectors de-energise. Negative when it is not attached.
BOXSIM_API int boxsim_unplug(const char* serial);
// Detaches and forgets every box. Handles issued before stay stale; they can still be closed.
BOXSIM_API void boxsim_reset(void);
// The next `count` calls of `operation` fail on that box ("list" takes serial NULL). Operations:
// "list", "open", "setbitmode", "setbaudrate", "uaread", "uawrite", "getstatus", "write", "close".
// Only calls that would otherwise be accepted consume a failure; they return FT_IO_ERROR
// (FT_DEVICE_NOT_OPENED for open) and change nothing (a failed close leaves the handle open).
// A count of 0 cancels pending failures.
BOXSIM_API int boxsim_fail(const char* serial, const char* operation, int count);

// Writes `len` (0..64) bytes at the start of the EEPROM user area (0), as FT_EE_UAWrite does.
BOXSIM_API int boxsim_set_eeprom(const char* serial, const void* data, int len);
// Copies at most `len` bytes of the EEPROM user area; returns the byte count copied.
BOXSIM_API int boxsim_get_eeprom(const char* serial, void* buf, int len);
// 1 while a live handle is open on the box, else 0.
BOXSIM_API int boxsim_is_open(const char* serial);
// The last FT_SetBitMode mask and mode (0); both 0 until set since the last plug.
BOXSIM_API int boxsim_bitmode(const char* serial, int* mask, int* mode);
// The last FT_SetBaudRate rate; 0 until set since the last plug.
BOXSIM_API int boxsim_baudrate(const char* serial);

// Every byte written since the last boxsim_clear, in order; the log keeps the first 1 MiB and
// drops later bytes (they are still decoded). Returns the count copied (at most `max`).
BOXSIM_API int boxsim_bytes(const char* serial, unsigned char* buf, int max);
// Time (seconds, monotonic clock) and size of each write call since the last boxsim_clear; the
// log keeps the first 1 Mi calls. Returns the count copied (at most `max`).
BOXSIM_API int boxsim_writes(const char* serial, double* times, int* sizes, int max);
// Empties both logs of the box.
BOXSIM_API void boxsim_clear(const char* serial);

// Declares what is wired to connector 1..7: "two-wire", "four-wire", "four-wire-half",
// "synchron", "synchron-half" (0). Resets that connector: position 0, no errors, de-energised,
// a coil rotor resting on pattern 08. An unwired connector decodes as "two-wire".
BOXSIM_API int boxsim_wire(const char* serial, int address, const char* kind);
// Steps counted on a connector since it was wired; LLONG_MIN for an unknown serial or address.
BOXSIM_API long long boxsim_position(const char* serial, int address);
// Coil-pattern changes that were no move to a neighbouring phase.
BOXSIM_API long long boxsim_errors(const char* serial, int address);
// 1 while the connector holds non-zero lines, else 0.
BOXSIM_API int boxsim_energised(const char* serial, int address);

// The D2XX functions the emulator exports, with the vendor library's prototypes, for programs
// that link the emulator directly instead of loading it.
BOXSIM_API FT_STATUS FTD2XX_CALL FT_ListDevices(void* arg1, void* arg2, FT_DWORD flags);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_OpenEx(void* arg1, FT_DWORD flags, FT_HANDLE* handle);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_SetBitMode(FT_HANDLE handle, FT_UCHAR mask, FT_UCHAR enable);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_SetBaudRate(FT_HANDLE handle, FT_ULONG baudRate);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_EE_UARead(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length, FT_DWORD* bytesRead);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_EE_UAWrite(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_GetStatus(FT_HANDLE handle, FT_DWORD* rxBytes, FT_DWORD* txBytes,
                                             FT_DWORD* eventStatus);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, void* buffer, FT_DWORD bytesToWrite,
                                         FT_DWORD* bytesWritten);

#ifdef __cplusplus
}
#endif
