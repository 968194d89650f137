// Control interface of the box emulator libmervane-boxsim.so. The emulator also exports the D2XX
// functions of hardware/d2xx.h, so mervane loads it in place of the vendor library
// (MERVANE_D2XX_LIBRARY); these functions let tests, demos and outside tools plug and unplug boxes,
// inject failures, and read back what was written to each box, decoded into motor positions.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define BOXSIM_API __declspec(dllexport)
#else
#define BOXSIM_API __attribute__((visibility("default")))
#endif

// Attaches a box; negative for a bad argument or a serial already attached.
BOXSIM_API int boxsim_plug(const char* description, const char* serial);
// Detaches a box: its open handles fail from now on and listing no longer shows it.
BOXSIM_API int boxsim_unplug(const char* serial);
// Detaches and forgets every box.
BOXSIM_API void boxsim_reset(void);
// The next `count` calls of `operation` fail on that box ("list" takes serial NULL). Operations:
// "list", "open", "setbitmode", "setbaudrate", "uaread", "uawrite", "getstatus", "write", "close".
BOXSIM_API int boxsim_fail(const char* serial, const char* operation, int count);

BOXSIM_API int boxsim_set_eeprom(const char* serial, const void* data, int len);
// Copies at most `len` bytes of the EEPROM user area; returns the byte count copied.
BOXSIM_API int boxsim_get_eeprom(const char* serial, void* buf, int len);
BOXSIM_API int boxsim_is_open(const char* serial);
BOXSIM_API int boxsim_bitmode(const char* serial, int* mask, int* mode);
BOXSIM_API int boxsim_baudrate(const char* serial);

// Every byte written since the last boxsim_clear (capped at 1 MiB); returns the count copied.
BOXSIM_API int boxsim_bytes(const char* serial, unsigned char* buf, int max);
// Time (seconds, monotonic clock) and size of each write call; returns the count copied.
BOXSIM_API int boxsim_writes(const char* serial, double* times, int* sizes, int max);
BOXSIM_API void boxsim_clear(const char* serial);

// Declares what is wired to connector 1..7: "two-wire", "four-wire", "four-wire-half",
// "synchron", "synchron-half". Resets that connector's position and error count.
BOXSIM_API int boxsim_wire(const char* serial, int address, const char* kind);
BOXSIM_API long long boxsim_position(const char* serial, int address);
BOXSIM_API long long boxsim_errors(const char* serial, int address);
BOXSIM_API int boxsim_energised(const char* serial, int address);

#ifdef __cplusplus
}
#endif
