// A stand-in for the vendor's libftd2xx.so, made from the simulated bench.
//
// It exports the library's C entry points with the library's types (see
// usb/VendorD2xxApi.h) and serves them from a bench: by default one of its
// own (MakeDefaultSimBench), or the backend a test attaches with
// QnSimD2xxAttach. Like the real library it hands out pointer-sized handles
// whose value does not fit in 32 bits, so TVendorD2xx has to map them.
//
// Built as its own shared library; not part of the static qn_sim library.

#include <cstdint>
#include <mutex>
#include <new>
#include <type_traits>

#include "sim/SimBench.h"
#include "usb/VendorD2xxApi.h"

#define QN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using usb::FT_VENDOR_HANDLE;
using usb::FT_VENDOR_STATUS;

std::mutex gAttachMutex;
usb::TD2xx* gAttached = nullptr;

usb::TD2xx& Target() {
  {
    std::lock_guard lock(gAttachMutex);
    if (gAttached != nullptr) {
      return *gAttached;
    }
  }
  static const std::unique_ptr<sim::TSimBench> bench = sim::MakeDefaultSimBench();
  return *bench;
}

// Bench handle h is presented as kHandleBase + 16 * h: 16-byte aligned, like
// a pointer, and above 4 GiB.
constexpr uintptr_t kHandleBase = 0x00007F5A00000000u;

FT_VENDOR_HANDLE ToLibraryHandle(usb::FT_HANDLE handle) {
  return reinterpret_cast<FT_VENDOR_HANDLE>(kHandleBase + (uintptr_t{handle} << 4));
}

// 0 (no bench handle) for a value this library did not hand out.
usb::FT_HANDLE FromLibraryHandle(FT_VENDOR_HANDLE handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (value < kHandleBase || ((value - kHandleBase) & 0xF) != 0 ||
      ((value - kHandleBase) >> 4) > UINT32_MAX) {
    return 0;
  }
  return static_cast<usb::FT_HANDLE>((value - kHandleBase) >> 4);
}

// No exception leaves a C entry point.
template <typename TCall>
FT_VENDOR_STATUS Guarded(TCall call) {
  try {
    return call();
  } catch (...) {
    return usb::FT_INSUFFICIENT_RESOURCES;
  }
}

}  // namespace

// Serves the entry points from backend instead of the library's own bench;
// nullptr goes back to the library's own. The backend must outlive its use.
QN_EXPORT void QnSimD2xxAttach(usb::TD2xx* backend) {
  std::lock_guard lock(gAttachMutex);
  gAttached = backend;
}

QN_EXPORT FT_VENDOR_STATUS FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  return Guarded([&] { return Target().FT_ListDevices(arg1, arg2, flags); });
}

QN_EXPORT FT_VENDOR_STATUS FT_Open(int deviceNumber, FT_VENDOR_HANDLE* handle) {
  return Guarded([&]() -> FT_VENDOR_STATUS {
    if (handle == nullptr) {
      return usb::FT_INVALID_PARAMETER;
    }
    usb::FT_HANDLE benchHandle = 0;
    const FT_VENDOR_STATUS status = Target().FT_Open(deviceNumber, &benchHandle);
    if (status == usb::FT_OK) {
      *handle = ToLibraryHandle(benchHandle);
    }
    return status;
  });
}

QN_EXPORT FT_VENDOR_STATUS FT_Close(FT_VENDOR_HANDLE handle) {
  return Guarded([&] { return Target().FT_Close(FromLibraryHandle(handle)); });
}

QN_EXPORT FT_VENDOR_STATUS FT_Read(FT_VENDOR_HANDLE handle,
                                   void* buffer,
                                   uint32_t bytesToRead,
                                   uint32_t* bytesReturned) {
  return Guarded([&] {
    return Target().FT_Read(FromLibraryHandle(handle), buffer, bytesToRead, bytesReturned);
  });
}

QN_EXPORT FT_VENDOR_STATUS FT_Write(FT_VENDOR_HANDLE handle,
                                    void* buffer,
                                    uint32_t bytesToWrite,
                                    uint32_t* bytesWritten) {
  return Guarded([&] {
    return Target().FT_Write(FromLibraryHandle(handle), buffer, bytesToWrite, bytesWritten);
  });
}

QN_EXPORT FT_VENDOR_STATUS FT_Purge(FT_VENDOR_HANDLE handle, unsigned long mask) {
  return Guarded(
      [&] { return Target().FT_Purge(FromLibraryHandle(handle), static_cast<uint32_t>(mask)); });
}

QN_EXPORT FT_VENDOR_STATUS FT_ResetDevice(FT_VENDOR_HANDLE handle) {
  return Guarded([&] { return Target().FT_ResetDevice(FromLibraryHandle(handle)); });
}

QN_EXPORT FT_VENDOR_STATUS FT_SetLatencyTimer(FT_VENDOR_HANDLE handle, unsigned char timer) {
  return Guarded([&] { return Target().FT_SetLatencyTimer(FromLibraryHandle(handle), timer); });
}

QN_EXPORT FT_VENDOR_STATUS FT_SetTimeouts(FT_VENDOR_HANDLE handle,
                                          unsigned long readTimeout,
                                          unsigned long writeTimeout) {
  return Guarded([&] {
    return Target().FT_SetTimeouts(FromLibraryHandle(handle), static_cast<uint32_t>(readTimeout),
                                   static_cast<uint32_t>(writeTimeout));
  });
}

QN_EXPORT FT_VENDOR_STATUS FT_GetQueueStatus(FT_VENDOR_HANDLE handle, uint32_t* rxBytes) {
  return Guarded([&] { return Target().FT_GetQueueStatus(FromLibraryHandle(handle), rxBytes); });
}

// The exports have exactly the types the loader calls them with.
static_assert(std::is_same_v<decltype(&FT_ListDevices), usb::TFT_ListDevices>);
static_assert(std::is_same_v<decltype(&FT_Open), usb::TFT_Open>);
static_assert(std::is_same_v<decltype(&FT_Close), usb::TFT_Close>);
static_assert(std::is_same_v<decltype(&FT_Read), usb::TFT_Read>);
static_assert(std::is_same_v<decltype(&FT_Write), usb::TFT_Write>);
static_assert(std::is_same_v<decltype(&FT_Purge), usb::TFT_Purge>);
static_assert(std::is_same_v<decltype(&FT_ResetDevice), usb::TFT_ResetDevice>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), usb::TFT_SetLatencyTimer>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), usb::TFT_SetTimeouts>);
static_assert(std::is_same_v<decltype(&FT_GetQueueStatus), usb::TFT_GetQueueStatus>);
