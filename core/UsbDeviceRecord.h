#pragma once
// The window's table of attached instruments.
//
// Entry i belongs to the instrument that the D2XX library lists at enumeration
// index i. All entries start zeroed (not opened, handle 0, empty texts, no
// pipes). Main thread only.

#include <array>
#include <cstdint>
#include <string>

namespace core {

inline constexpr int32_t kUsbDeviceCapacity = 16;
inline constexpr int32_t kClientSlotCount = 4;

// The pipe handle of the client, per client slot, whose request opened the
// instrument; 0 for none.
using TPipes = std::array<int32_t, kClientSlotCount>;

struct TUSB_DeviceRecord {
  bool deviceOpened = false;    // open, and USBHandle is its handle
  int32_t deviceIndex = 0;      // enumeration index, written on arrival
  uint32_t USBHandle = 0;       // D2XX handle; 0 after a failed open
  std::string serialNumberUSB;  // as the library lists it, or "in use" (UTF-8)
  std::string deviceDesc;       // as the library lists it, or "in use" (UTF-8)
  TPipes Pipes{};

  bool operator==(const TUSB_DeviceRecord&) const = default;
};

using TUSB_Devices = std::array<TUSB_DeviceRecord, kUsbDeviceCapacity>;

}  // namespace core
