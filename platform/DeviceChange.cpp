#include "platform/DeviceChange.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE, dbcc_name);

}  // namespace

TDeviceBroadcastRecord::TDeviceBroadcastRecord(std::span<const std::byte> bytes)
    : FSize(bytes.size()) {
  if (FSize == 0) {
    return;
  }
  // Zero-padded to at least a whole interface record, so that a reader may
  // look at the header of a short record without leaving the allocation.
  const std::size_t storage = std::max(FSize, sizeof(DEV_BROADCAST_DEVICEINTERFACE));
  const std::size_t words = (storage + sizeof(uint64_t) - 1) / sizeof(uint64_t);
  FWords = std::make_unique<uint64_t[]>(words);  // value-initialised: zeroed
  std::memcpy(FWords.get(), bytes.data(), FSize);
}

const DEV_BROADCAST_HDR* TDeviceBroadcastRecord::Header() const {
  return FSize == 0 ? nullptr : reinterpret_cast<const DEV_BROADCAST_HDR*>(FWords.get());
}

std::span<const std::byte> TDeviceBroadcastRecord::Bytes() const {
  return {reinterpret_cast<const std::byte*>(FWords.get()), FSize};
}

std::u16string UsbDeviceInterfaceName(uint16_t vid, uint16_t pid, std::string_view instanceId) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto hex4 = [](uint16_t value) {
    std::u16string digits(4, u'0');
    for (int i = 3; i >= 0; --i) {
      digits[i] = static_cast<char16_t>(kHex[value & 0xF]);
      value = static_cast<uint16_t>(value >> 4);
    }
    return digits;
  };
  return u"\\\\?\\USB#VID_" + hex4(vid) + u"&PID_" + hex4(pid) + u"#" + Utf8ToUtf16(instanceId) +
         u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

TDeviceBroadcastRecord MakeDeviceInterfaceRecord(const TGUID& classGuid, std::u16string_view name) {
  const std::size_t size = kNameOffset + (name.size() + 1) * sizeof(char16_t);
  std::vector<std::byte> bytes(size);
  DEV_BROADCAST_DEVICEINTERFACE head{};
  head.dbcc_size = static_cast<uint32_t>(size);
  head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  head.dbcc_reserved = 0;
  head.dbcc_classguid = classGuid;
  std::memcpy(bytes.data(), &head, kNameOffset);
  std::memcpy(bytes.data() + kNameOffset, name.data(), name.size() * sizeof(char16_t));
  // The ending 0 is already there.
  return TDeviceBroadcastRecord(bytes);
}

TDeviceBroadcastRecord MakeUsbDeviceInterfaceRecord(uint16_t vid,
                                                    uint16_t pid,
                                                    std::string_view instanceId) {
  return MakeDeviceInterfaceRecord(GUID_DEVINTERFACE_USB_DEVICE,
                                   UsbDeviceInterfaceName(vid, pid, instanceId));
}

std::u16string ReadDeviceInterfaceName(const DEV_BROADCAST_HDR* header) {
  std::u16string name;
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size <= kNameOffset) {
    return name;
  }
  // Copied unit by unit: the name runs past the declared one-element array,
  // and the record need not be aligned for char16_t beyond its header.
  const auto* bytes = reinterpret_cast<const std::byte*>(header);
  const std::size_t units = (header->dbch_size - kNameOffset) / sizeof(char16_t);
  for (std::size_t i = 0; i < units; ++i) {
    char16_t unit = 0;
    std::memcpy(&unit, bytes + kNameOffset + i * sizeof(char16_t), sizeof unit);
    if (unit == 0) {
      break;
    }
    name.push_back(unit);
  }
  return name;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    uint32_t code = 0;
    std::size_t length = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      code = lead;
      length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      code = lead & 0x1F;
      length = 2;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0F;
      length = 3;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      code = lead & 0x07;
      length = 4;
      minimum = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t taken = 1;
    while (taken < length && i + taken < text.size() &&
           (static_cast<unsigned char>(text[i + taken]) & 0xC0) == 0x80) {
      code = (code << 6) | (static_cast<unsigned char>(text[i + taken]) & 0x3F);
      ++taken;
    }
    i += taken;
    if (taken < length || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out.push_back(kReplacement);
    } else if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace platform
