// The FTDI D2XX driver library's C interface as far as mervane uses it: types, constants and the
// prototypes of the nine functions behind the eleven driver operations, and of three optional ones
// (timeouts, user area size, custom USB ids) that not every library offers. Declared here with the
// vendor's own types so that the genuine library (libftd2xx.so, ftd2xx.dll) and the box emulator
// (libmervane-boxsim.so) are interchangeable at run time.
#pragma once

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define FTD2XX_CALL __stdcall
#else
#define FTD2XX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Every DWORD/ULONG of the vendor's prototypes is a 32-bit unsigned integer, on Windows and on
// Linux alike (the vendor's Linux headers define them as unsigned int).
typedef uint32_t FT_DWORD;
typedef uint32_t FT_ULONG;
typedef unsigned char FT_UCHAR;
typedef void* FT_HANDLE;
typedef FT_ULONG FT_STATUS;


enum {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_FAILED_TO_WRITE_DEVICE = 10,
  FT_INVALID_ARGS = 16,
  FT_NOT_SUPPORTED = 17,
  FT_OTHER_ERROR = 18,
};

// FT_ListDevices flags.
#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_LIST_BY_INDEX 0x40000000u
#define FT_LIST_ALL 0x20000000u
// FT_OpenEx / FT_ListDevices selectors.
#define FT_OPEN_BY_SERIAL_NUMBER 1u
#define FT_OPEN_BY_DESCRIPTION 2u
// FT_SetBitMode modes.
#define FT_BITMODE_RESET 0x00u
#define FT_BITMODE_ASYNC_BITBANG 0x01u

typedef FT_STATUS(FTD2XX_CALL* FT_ListDevices_t)(void* arg1, void* arg2, FT_DWORD flags);
typedef FT_STATUS(FTD2XX_CALL* FT_OpenEx_t)(void* arg1, FT_DWORD flags, FT_HANDLE* handle);
typedef FT_STATUS(FTD2XX_CALL* FT_Close_t)(FT_HANDLE handle);
typedef FT_STATUS(FTD2XX_CALL* FT_SetBitMode_t)(FT_HANDLE handle, FT_UCHAR mask, FT_UCHAR enable);
typedef FT_STATUS(FTD2XX_CALL* FT_SetBaudRate_t)(FT_HANDLE handle, FT_ULONG baudRate);
typedef FT_STATUS(FTD2XX_CALL* FT_EE_UARead_t)(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length,
                                                FT_DWORD* bytesRead);
typedef FT_STATUS(FTD2XX_CALL* FT_EE_UAWrite_t)(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length);
typedef FT_STATUS(FTD2XX_CALL* FT_GetStatus_t)(FT_HANDLE handle, FT_DWORD* rxBytes, FT_DWORD* txBytes,
                                                FT_DWORD* eventStatus);
typedef FT_STATUS(FTD2XX_CALL* FT_Write_t)(FT_HANDLE handle, void* buffer, FT_DWORD bytesToWrite,
                                            FT_DWORD* bytesWritten);
// Optional. Timeouts in milliseconds, 0 = none; a write that times out returns FT_OK with fewer
// bytes written than asked.
typedef FT_STATUS(FTD2XX_CALL* FT_SetTimeouts_t)(FT_HANDLE handle, FT_ULONG readTimeout,
                                                  FT_ULONG writeTimeout);
// Optional. Bytes the EEPROM user area holds on this chip (what the descriptor strings leave free).
typedef FT_STATUS(FTD2XX_CALL* FT_EE_UASize_t)(FT_HANDLE handle, FT_DWORD* size);
// Optional, Linux and macOS libraries only: lets listing and opening see boxes with these USB ids.
typedef FT_STATUS(FTD2XX_CALL* FT_SetVIDPID_t)(FT_DWORD vid, FT_DWORD pid);

#ifdef __cplusplus
}
#endif
