#include "sim/SimDeviceChange.h"

#include <cstdint>

#include "platform/DeviceChange.h"

namespace sim {

namespace {

constexpr uint16_t kInstrumentVid = 0x0403;
constexpr uint16_t kInstrumentPid = 0xE758;

}  // namespace

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
    i += length;
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view text) {
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

void ConnectBenchToDeviceChange(TSimBench& bench, std::function<void()> afterChange) {
  bench.SetOnDeviceChange([afterChange = std::move(afterChange)](
                              TSimBench&, TSimChange change, const std::string& serial) {
    platform::BroadcastUsbDeviceChange(change == TSimChange::Arrival
                                           ? platform::DBT_DEVICEARRIVAL
                                           : platform::DBT_DEVICEREMOVECOMPLETE,
                                       kInstrumentVid, kInstrumentPid, Latin1ToUtf8(serial));
    if (afterChange) {
      afterChange();
    }
  });
}

}  // namespace sim
