#pragma once
// The bench as the system sees real hardware: its plug and unplug raise the USB
// device-change broadcast, with the serial number as the device's instance id.
//
// The bench keeps serial numbers and descriptions as 8-bit (Latin-1)
// characters, as the library lists them; the rest of the system speaks UTF-8.

#include <functional>
#include <string>
#include <string_view>

#include "sim/SimBench.h"

namespace sim {

std::string Latin1ToUtf8(std::string_view text);
// Characters Latin-1 cannot hold become '?'; malformed UTF-8 bytes too.
std::string Utf8ToLatin1(std::string_view text);

// Every Plug and Unplug of the bench then broadcasts an arrival or a
// removal of a 0403:E758 device, from the thread that plugged; afterChange
// (optional) runs right after each broadcast. Replaces the bench's
// OnDeviceChange handler.
void ConnectBenchToDeviceChange(TSimBench& bench, std::function<void()> afterChange = {});

}  // namespace sim
