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
// box's 64-byte EEPROM user area is saved in that folder on every write and read back at plug
// and open, and the emulator behaves across processes as chips do: a box is open in at most one
// process (a lock file per box there, which the system drops when its process ends, named by
// BOXSIM_HOLDER or the program's name, and the process id); its connectors (wiring, decoded
// position, rotor phase) are saved there when it closes and read back when it opens, so the
// next process decodes every step from where the last one left. Queries and boxsim_wire on a box
// that is not open in this process go through that folder too.

// Attaches a box with the chip's default USB ids (0403:6001) (0); negative for a bad argument
// (names must be 1..64 bytes) or a serial already attached. Plugging a serial seen before finds
// its EEPROM, user area size, write delay, motors and logs again; bit mode, baud rate and
// timeouts start over as on a powered-up chip. A name of 64 bytes is listed without its NUL.
BOXSIM_API int boxsim_plug(const char* description, const char* serial);
// As boxsim_plug, with the box's own USB ids (each 0..0xFFFF). Listing and opening show a box
// only when its ids are the vendor library's defaults (vendor 0403, products 6001, 6006, 6010,
// 6011, 6014, 6015) or were made known by FT_SetVIDPID since the last boxsim_reset.
BOXSIM_API int boxsim_plug_ids(const char* description, const char* serial, unsigned vid, unsigned pid);
// Detaches a box (0): its open handles fail from now on (closing them still succeeds), listing
// no longer shows it, and its connectors de-energise. Negative when it is not attached.
BOXSIM_API int boxsim_unplug(const char* serial);
// Detaches and forgets every box and every id made known by FT_SetVIDPID. Handles issued before
// stay stale; they can still be closed.
BOXSIM_API void boxsim_reset(void);
// The next `count` calls of `operation` fail on that box ("list" takes serial NULL). Operations:
// "list", "open", "setbitmode", "setbaudrate", "uaread", "uawrite", "getstatus", "write", "close",
// "settimeouts", "uasize".
// Only calls that would otherwise be accepted consume a failure; they return FT_IO_ERROR
// (FT_DEVICE_NOT_OPENED for open) and change nothing (a failed close leaves the handle open).
// A count of 0 cancels pending failures.
BOXSIM_API int boxsim_fail(const char* serial, const char* operation, int count);

// The size of the box's EEPROM user area, 0..64 bytes (64 until set): FT_EE_UASize reports it,
// FT_EE_UARead returns at most that many bytes and FT_EE_UAWrite of more fails
// (FT_INVALID_PARAMETER). The bytes beyond it stay as they were.
BOXSIM_API int boxsim_set_ua_size(const char* serial, int bytes);
// The next `count` writes to the box send only their first `bytes` bytes (all when they are
// fewer) and still report FT_OK, with the count sent in *bytesWritten. A count of 0 cancels.
BOXSIM_API int boxsim_short_write(const char* serial, int count, int bytes);
// Every write to the box takes `seconds` (0 by default, at most 60), or, when that exceeds the
// handle's write timeout (FT_SetTimeouts, none on a fresh handle), returns after the timeout with
// the share of the bytes sent meanwhile, still reporting FT_OK.
BOXSIM_API int boxsim_write_delay(const char* serial, double seconds);

// Writes `len` (0..64) bytes at the start of the EEPROM (0), whatever the user area size.
BOXSIM_API int boxsim_set_eeprom(const char* serial, const void* data, int len);
// Copies at most `len` of the EEPROM's 64 bytes, whatever the user area size; returns the count.
BOXSIM_API int boxsim_get_eeprom(const char* serial, void* buf, int len);
// 1 while a live handle is open on the box, else 0.
BOXSIM_API int boxsim_is_open(const char* serial);
// The last FT_SetBitMode mask and mode (0); both 0 until set since the last plug.
BOXSIM_API int boxsim_bitmode(const char* serial, int* mask, int* mode);
// The last FT_SetBaudRate rate; 0 until set since the last plug.
BOXSIM_API int boxsim_baudrate(const char* serial);

// The attached box at listing position `index` (0), whatever its ids: description and serial
// into buffers of at least 65 bytes, and its USB ids; -1 past the last. For the libftdi1 face.
BOXSIM_API int boxsim_attached(int index, char* description, char* serial, unsigned* vid, unsigned* pid);

#if !defined(_WIN32)
// libftdi1 face only: the box's device node refuses (1) or allows again (0) this user, as one
// without access rights does; listing then cannot read its strings and opening fails.
BOXSIM_API int boxsim_ftdi_deny(const char* serial, int deny);
#endif

// Every byte sent since the last boxsim_clear, in order (of a short write, the bytes it sent); the log keeps the first 1 MiB and
// drops later bytes (they are still decoded). Returns the count copied (at most `max`).
BOXSIM_API int boxsim_bytes(const char* serial, unsigned char* buf, int max);
// Time (seconds, monotonic clock) and bytes sent of each write call since the last boxsim_clear;
// the log keeps the first 1 Mi calls. Returns the count copied (at most `max`).
BOXSIM_API int boxsim_writes(const char* serial, double* times, int* sizes, int max);
// Empties both logs of the box.
BOXSIM_API void boxsim_clear(const char* serial);

// Declares what is wired to connector 1..7: "two-wire", "four-wire", "four-wire-half",
// "synchron", "synchron-half" (0). Resets that connector: position 0, no errors, de-energised,
// a coil rotor resting on pattern 08. An unwired connector decodes as "two-wire".
BOXSIM_API int boxsim_wire(const char* serial, int address, const char* kind);
// What connector 1..7 is wired as, NUL-terminated into `buf`; returns the name's length, negative
// for a bad argument or a buffer too small.
BOXSIM_API int boxsim_wiring(const char* serial, int address, char* buf, int len);
// Whether another process holds the box open (1, its holder's line in `buf`, e.g.
// "mervanectl move, pid 42"), or not (0, `buf` empty); negative for a bad argument.
BOXSIM_API int boxsim_holder(const char* serial, char* buf, int len);
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
BOXSIM_API FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, FT_ULONG readTimeout, FT_ULONG writeTimeout);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_EE_UASize(FT_HANDLE handle, FT_DWORD* size);
BOXSIM_API FT_STATUS FTD2XX_CALL FT_SetVIDPID(FT_DWORD vid, FT_DWORD pid);

#ifdef __cplusplus
}
#endif
