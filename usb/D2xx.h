#pragma once
// The D2XX library's interface, as the driver wrapper calls it.
//
// One abstract backend, TD2xx, with the ten library calls the server uses and
// the library's published status codes. Backends: the simulated bench (sim/),
// the vendor library loaded at run time (TVendorD2xx). Handles are 32-bit
// values, as clients carry them in two 16-bit words; a backend whose library
// hands out wider handles maps them to 32-bit ids.
//
// All calls come from the main thread (the wrapper's caller); a backend that
// is also driven from other threads (the bench's plug/unplug) guards itself.

#include <cstdint>

namespace usb {

using FT_STATUS = uint32_t;
using FT_HANDLE = uint32_t;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;

constexpr uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr uint32_t FT_LIST_BY_INDEX = 0x40000000u;
constexpr uint32_t FT_LIST_ALL = 0x20000000u;
constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;

constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;

// Largest name FT_ListDevices writes, terminator included.
constexpr uint32_t kD2xxNameSize = 64;

// FT_ListDevices by index carries the index in its first pointer argument, as
// the library does: the 32-bit index converted to a pointer-sized value. A
// negative index becomes a large unsigned one, which no device has.
inline void* ListIndexArg(int32_t index) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(index)));
}
inline uint32_t IndexFromListArg(const void* arg) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
}

// Names of the statuses as the library publishes them ("FT_IO_ERROR"), or
// "FT_OTHER_ERROR" for a value outside 0 to 6.
const char* StatusName(FT_STATUS status);

class TD2xx {
 public:
  virtual ~TD2xx() = default;

  // FT_LIST_NUMBER_ONLY: arg1 points at a uint32_t that receives the count.
  // FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER or FT_OPEN_BY_DESCRIPTION: arg1
  // carries the index as a value; arg2 points at a buffer that receives the
  // name, 0-terminated (at most 64 bytes with its terminator).
  virtual FT_STATUS FT_ListDevices(void* arg1, void* arg2, uint32_t flags) = 0;
  virtual FT_STATUS FT_Open(int32_t deviceNumber, FT_HANDLE* handle) = 0;
  virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
  virtual FT_STATUS FT_Read(FT_HANDLE handle,
                            void* buffer,
                            uint32_t bytesToRead,
                            uint32_t* bytesReturned) = 0;
  virtual FT_STATUS FT_Write(FT_HANDLE handle,
                             const void* buffer,
                             uint32_t bytesToWrite,
                             uint32_t* bytesWritten) = 0;
  virtual FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) = 0;
  virtual FT_STATUS FT_ResetDevice(FT_HANDLE handle) = 0;
  virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer) = 0;
  virtual FT_STATUS FT_SetTimeouts(FT_HANDLE handle,
                                   uint32_t readTimeout,
                                   uint32_t writeTimeout) = 0;
  virtual FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) = 0;
};

}  // namespace usb
