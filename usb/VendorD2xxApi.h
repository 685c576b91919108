#pragma once
// The C entry points of the vendor's D2XX library (libftd2xx.so), as
// TVendorD2xx calls them and as the bench's substitute library exports them.
//
// The library's own types: a handle is a pointer (64 bits here), DWORD is 32
// bits, UCHAR 8 bits. Its header spells statuses and some arguments as ULONG,
// whose width differs between its builds. Such arguments are passed as
// unsigned long and statuses are read as 32 bits: on the 64-bit ABIs a
// narrower callee reads the low part of the full register, so both widths get
// the same value.

#include <cstdint>

namespace usb {

using FT_VENDOR_HANDLE = void*;
using FT_VENDOR_STATUS = uint32_t;

extern "C" {
using TFT_ListDevices = FT_VENDOR_STATUS (*)(void* arg1, void* arg2, uint32_t flags);
using TFT_Open = FT_VENDOR_STATUS (*)(int deviceNumber, FT_VENDOR_HANDLE* handle);
using TFT_Close = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle);
using TFT_Read = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle,
                                      void* buffer,
                                      uint32_t bytesToRead,
                                      uint32_t* bytesReturned);
using TFT_Write = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle,
                                       void* buffer,
                                       uint32_t bytesToWrite,
                                       uint32_t* bytesWritten);
using TFT_Purge = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle, unsigned long mask);
using TFT_ResetDevice = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle);
using TFT_SetLatencyTimer = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle, unsigned char timer);
using TFT_SetTimeouts = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle,
                                             unsigned long readTimeout,
                                             unsigned long writeTimeout);
using TFT_GetQueueStatus = FT_VENDOR_STATUS (*)(FT_VENDOR_HANDLE handle, uint32_t* rxBytes);
}

}  // namespace usb
