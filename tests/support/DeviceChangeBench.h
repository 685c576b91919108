#pragma once
// Connects a simulated bench to the device-change broadcast: every plug and
// unplug of the bench then reaches each registered window as the arrival or
// removal of a USB device 0403:e758 whose instance id is the instrument's
// serial number, exactly as a real instrument's would.
//
// Header-only; the test that includes it links the simulated bench.

#include <string>

#include "platform/DeviceChange.h"
#include "sim/SimBench.h"

namespace testing_support {

// The bench keeps 8-bit names, which the driver wrapper reads as Latin-1; the
// broadcast takes UTF-8.
inline std::string DeviceChangeLatin1ToUtf8(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

inline void ConnectBenchToDeviceChange(sim::TSimBench& bench) {
  bench.SetOnDeviceChange([](sim::TSimBench&, sim::TSimChange change, const std::string& serial) {
    platform::BroadcastUsbDeviceChange(change == sim::TSimChange::Arrival
                                           ? platform::DBT_DEVICEARRIVAL
                                           : platform::DBT_DEVICEREMOVECOMPLETE,
                                       0x0403, 0xE758, DeviceChangeLatin1ToUtf8(serial));
  });
}

}  // namespace testing_support
