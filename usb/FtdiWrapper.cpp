#include "usb/FtdiWrapper.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace ftdi {

uint32_t CurrentHandle = 0;
int32_t CurrentDeviceIndex = 0;
uint32_t FT_DeviceCount = 0;
uint8_t NameBuffer[kNameBufferSize] = {};
std::string FT_DeviceString;
uint32_t QueueBytes = 0;
uint8_t InBuffer[kTransferBufferSize] = {};
uint8_t OutBuffer[kTransferBufferSize] = {};
bool ErrorReportEnabled = true;
TDeviceSlot DeviceSlots[kDeviceSlotCount] = {};

namespace {

using usb::FT_STATUS;

// Stands in when no backend is set: every call finds no device.
class TNoD2xx final : public usb::TD2xx {
 public:
  FT_STATUS FT_ListDevices(void*, void*, uint32_t) override { return usb::FT_DEVICE_NOT_FOUND; }
  FT_STATUS FT_Open(int32_t, usb::FT_HANDLE*) override { return usb::FT_DEVICE_NOT_FOUND; }
  FT_STATUS FT_Close(usb::FT_HANDLE) override { return usb::FT_DEVICE_NOT_FOUND; }
  FT_STATUS FT_Read(usb::FT_HANDLE, void*, uint32_t, uint32_t*) override {
    return usb::FT_DEVICE_NOT_FOUND;
  }
  FT_STATUS FT_Write(usb::FT_HANDLE, const void*, uint32_t, uint32_t*) override {
    return usb::FT_DEVICE_NOT_FOUND;
  }
  FT_STATUS FT_Purge(usb::FT_HANDLE, uint32_t) override { return usb::FT_DEVICE_NOT_FOUND; }
  FT_STATUS FT_ResetDevice(usb::FT_HANDLE) override { return usb::FT_DEVICE_NOT_FOUND; }
  FT_STATUS FT_SetLatencyTimer(usb::FT_HANDLE, uint8_t) override {
    return usb::FT_DEVICE_NOT_FOUND;
  }
  FT_STATUS FT_SetTimeouts(usb::FT_HANDLE, uint32_t, uint32_t) override {
    return usb::FT_DEVICE_NOT_FOUND;
  }
  FT_STATUS FT_GetQueueStatus(usb::FT_HANDLE, uint32_t*) override {
    return usb::FT_DEVICE_NOT_FOUND;
  }
};

TNoD2xx gNoBackend;
usb::TD2xx* gBackend = nullptr;

usb::TD2xx& Lib() {
  return gBackend != nullptr ? *gBackend : gNoBackend;
}

// 49 Latin-1 characters take at most 98 bytes in UTF-8. Reserving that once
// keeps name queries from allocating ("in use" and every listed name fit).
constexpr size_t kDeviceStringCapacity = 2 * kNameTextLength;

[[maybe_unused]] const bool gDeviceStringReserved = [] {
  FT_DeviceString.reserve(kDeviceStringCapacity);
  return true;
}();

const char* const kStatusTexts[] = {
    "",
    " - Invalid Handle...",
    " - Device Not Found....",
    " - Device Not Opened...",
    " - General IO Error...",
    " - Insufficient Resources...",
    " - Invalid Parameter ...",
};

// A transfer result: the byte count, or the status negated. Statuses are
// small, but the negation is done in unsigned arithmetic so that no library
// value can overflow it.
int32_t Negated(FT_STATUS status) {
  return static_cast<int32_t>(0u - status);
}

void AppendLatin1(std::string& text, uint8_t c) {
  if (c < 0x80) {
    text.push_back(static_cast<char>(c));
  } else {
    text.push_back(static_cast<char>(0xC0 | (c >> 6)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The name text of a successful listing: at most kNameTextLength characters,
// whatever the library left in the rest of the buffer.
void TakeNameText() {
  NameBuffer[kNameTextLength] = 0;
  FT_DeviceString.clear();
  for (int32_t i = 0; i < kNameTextLength && NameBuffer[i] != 0; ++i) {
    AppendLatin1(FT_DeviceString, NameBuffer[i]);
  }
}

// Stores the first kSlotTextLength characters of a UTF-8 text as 8-bit
// (Latin-1) characters; a character Latin-1 cannot hold becomes '?'.
void StoreSlotText(char (&slotText)[kSlotTextLength + 1], std::string_view text) {
  std::memset(slotText, 0, sizeof slotText);
  size_t pos = 0;
  int32_t length = 0;
  while (pos < text.size() && length < kSlotTextLength) {
    const auto lead = static_cast<uint8_t>(text[pos]);
    uint32_t trailing = 0;
    uint32_t codePoint = lead;
    if (lead >= 0xF0) {
      trailing = 3;
      codePoint = 0x100;
    } else if (lead >= 0xE0) {
      trailing = 2;
      codePoint = 0x100;
    } else if (lead >= 0xC0) {
      trailing = 1;
      codePoint = lead & 0x1F;
    } else if (lead >= 0x80) {
      codePoint = 0x100;  // a stray continuation byte
    }
    ++pos;
    for (uint32_t k = 0; k < trailing && pos < text.size(); ++k, ++pos) {
      const auto next = static_cast<uint8_t>(text[pos]);
      if ((next & 0xC0) != 0x80) {
        codePoint = 0x100;
        break;
      }
      if (codePoint < 0x100) {
        codePoint = (codePoint << 6) | (next & 0x3F);
      }
    }
    slotText[length++] = static_cast<char>(codePoint <= 0xFF ? codePoint : '?');
  }
}

// Whether an 8-bit slot text, read as Latin-1, is the UTF-8 text.
bool SlotTextEquals(const char (&slotText)[kSlotTextLength + 1], std::string_view text) {
  char utf8[2 * kSlotTextLength];
  size_t length = 0;
  for (int32_t i = 0; i < kSlotTextLength && slotText[i] != 0; ++i) {
    const auto c = static_cast<uint8_t>(slotText[i]);
    if (c < 0x80) {
      utf8[length++] = static_cast<char>(c);
    } else {
      utf8[length++] = static_cast<char>(0xC0 | (c >> 6));
      utf8[length++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return std::string_view(utf8, length) == text;
}

bool IsSlotIndex(int32_t index) {
  return index >= 0 && index < kDeviceSlotCount;
}

bool IsTransferCount(int32_t count) {
  return count >= 0 && count <= kTransferBufferSize;
}

int32_t ListName(int32_t index, uint32_t flags, const char* label) {
  const FT_STATUS status =
      Lib().FT_ListDevices(usb::ListIndexArg(index), NameBuffer, usb::FT_LIST_BY_INDEX | flags);
  if (status == usb::FT_OK) {
    TakeNameText();
  } else {
    FT_DeviceString.assign("in use");
    ReportFTError(label, status);
  }
  return static_cast<int32_t>(status);
}

}  // namespace

void SetD2xxBackend(usb::TD2xx* backend) {
  gBackend = backend;
}

usb::TD2xx* D2xxBackend() {
  return gBackend;
}

void ResetWrapperState() {
  CurrentHandle = 0;
  CurrentDeviceIndex = 0;
  FT_DeviceCount = 0;
  std::memset(NameBuffer, 0, sizeof NameBuffer);
  FT_DeviceString.clear();
  QueueBytes = 0;
  std::memset(InBuffer, 0, sizeof InBuffer);
  std::memset(OutBuffer, 0, sizeof OutBuffer);
  ErrorReportEnabled = true;
  for (TDeviceSlot& slot : DeviceSlots) {
    slot = TDeviceSlot{};
  }
}

int32_t GetFTDeviceCount() {
  // The count is taken into a local: a failing listing leaves FT_DeviceCount
  // as it was, whatever the library wrote.
  uint32_t count = 0;
  const FT_STATUS status = Lib().FT_ListDevices(&count, nullptr, usb::FT_LIST_NUMBER_ONLY);
  if (status == usb::FT_OK) {
    FT_DeviceCount = count;
  } else {
    ReportFTError("GetFTDeviceCount", status);
  }
  return static_cast<int32_t>(status);
}

int32_t GetFTDeviceSerialNo(int32_t index) {
  char label[48];
  std::snprintf(label, sizeof label, "GetFTDeviceSerialNo[%d]", index);
  return ListName(index, usb::FT_OPEN_BY_SERIAL_NUMBER, label);
}

int32_t GetFTDeviceDescription(int32_t index) {
  return ListName(index, usb::FT_OPEN_BY_DESCRIPTION, "GetFTDeviceDescription");
}

int32_t OpenDevice() {
  const int32_t index = CurrentDeviceIndex;
  const bool hasSlot = IsSlotIndex(index);
  GetFTDeviceSerialNo(index);
  if (hasSlot) {
    StoreSlotText(DeviceSlots[index].SlotSerial, FT_DeviceString);
  }
  GetFTDeviceDescription(index);
  if (hasSlot) {
    StoreSlotText(DeviceSlots[index].SlotDescription, FT_DeviceString);
  }
  // An index without a slot is refused: an instrument opened there could not
  // be recognised at its removal and would stay open for the rest of the run.
  FT_STATUS status = usb::FT_INVALID_PARAMETER;
  if (hasSlot) {
    status = Lib().FT_Open(index, &CurrentHandle);
    DeviceSlots[index].SlotHandle = CurrentHandle;
    DeviceSlots[index].SlotUsed = true;
  }
  if (status != usb::FT_OK) {
    char label[32];
    std::snprintf(label, sizeof label, "FT_Open [%d]", index);
    ReportFTError(label, status);
  }
  return static_cast<int32_t>(status);
}

int32_t CloseDevice() {
  // The entry cleared is the one CurrentDeviceIndex names, not the one found;
  // callers rely on that. An index without a slot clears nothing.
  if (FindSlotByHandle(CurrentHandle) >= 0 && IsSlotIndex(CurrentDeviceIndex)) {
    DeviceSlots[CurrentDeviceIndex].SlotHandle = 0;
  }
  const FT_STATUS status = Lib().FT_Close(CurrentHandle);
  if (status != usb::FT_OK) {
    char label[40];
    std::snprintf(label, sizeof label, "FT_Close [handle:%X]", CurrentHandle);
    ReportFTError(label, status);
  }
  return static_cast<int32_t>(status);
}

int32_t ResetDevice() {
  const FT_STATUS status = Lib().FT_ResetDevice(CurrentHandle);
  if (status != usb::FT_OK) {
    ReportFTError("FT_ResetDevice", status);
  }
  return static_cast<int32_t>(status);
}

int32_t PurgeTX() {
  const FT_STATUS status = Lib().FT_Purge(CurrentHandle, usb::FT_PURGE_TX);
  if (status != usb::FT_OK) {
    ReportFTError("FT_Purge TX", status);
  }
  return static_cast<int32_t>(status);
}

int32_t PurgeRX() {
  GetQueueStatus();
  if (QueueBytes != 0) {
    // The pending bytes are read and thrown away. More than InBuffer holds are
    // cut to its size: the purge that follows discards the rest.
    const uint32_t drain =
        QueueBytes < static_cast<uint32_t>(kTransferBufferSize) ? QueueBytes : kTransferBufferSize;
    uint32_t drained = 0;
    Lib().FT_Read(CurrentHandle, InBuffer, drain, &drained);
  }
  const FT_STATUS status = Lib().FT_Purge(CurrentHandle, usb::FT_PURGE_RX);
  if (status != usb::FT_OK) {
    ReportFTError("FT_Purge RX", status);
  }
  return static_cast<int32_t>(status);
}

int32_t SetLatencyTimer(uint32_t value) {
  const FT_STATUS status = Lib().FT_SetLatencyTimer(CurrentHandle, static_cast<uint8_t>(value));
  if (status != usb::FT_OK) {
    ReportFTError("Set_USB_LatencyTimer", status);
  }
  return static_cast<int32_t>(status);
}

int32_t SetTimeouts(uint32_t readTimeout, uint32_t writeTimeout) {
  const FT_STATUS status = Lib().FT_SetTimeouts(CurrentHandle, readTimeout, writeTimeout);
  if (status != usb::FT_OK) {
    ReportFTError("FT_SetTimeouts", status);
  }
  return static_cast<int32_t>(status);
}

int32_t GetQueueStatus() {
  uint32_t bytes = 0;
  const FT_STATUS status = Lib().FT_GetQueueStatus(CurrentHandle, &bytes);
  if (status == usb::FT_OK) {
    QueueBytes = bytes;
  } else {
    ReportFTError("FT_GetQueueStatus", status);
  }
  return static_cast<int32_t>(status);
}

int32_t WriteBuffer(int32_t count) {
  // OutBuffer holds kTransferBufferSize bytes; a count it cannot hold is
  // refused before the library sees it, with nothing sent and nothing purged.
  if (!IsTransferCount(count)) {
    return Negated(usb::FT_INVALID_PARAMETER);
  }
  uint32_t written = 0;
  const FT_STATUS status =
      Lib().FT_Write(CurrentHandle, OutBuffer, static_cast<uint32_t>(count), &written);
  if (status != usb::FT_OK) {
    PurgeTX();
    return Negated(status);
  }
  return static_cast<int32_t>(written < static_cast<uint32_t>(count) ? written : count);
}

int32_t ReadBuffer(int32_t count) {
  if (!IsTransferCount(count)) {
    return Negated(usb::FT_INVALID_PARAMETER);
  }
  uint32_t read = 0;
  const FT_STATUS status =
      Lib().FT_Read(CurrentHandle, InBuffer, static_cast<uint32_t>(count), &read);
  if (status != usb::FT_OK) {
    PurgeRX();
    return Negated(status);
  }
  // Callers take the result as the number of valid bytes in InBuffer, so it
  // never exceeds what was asked for.
  return static_cast<int32_t>(read < static_cast<uint32_t>(count) ? read : count);
}

int32_t WriteByte(uint8_t value) {
  OutBuffer[0] = value;
  return WriteBuffer(1);
}

int32_t WriteWord(uint16_t value) {
  OutBuffer[0] = static_cast<uint8_t>(value & 0xFF);
  OutBuffer[1] = static_cast<uint8_t>(value >> 8);
  return WriteBuffer(2);
}

int32_t WriteInteger(int32_t value) {
  // The low 16 bits in two's complement: -1 is sent as 0xFFFF.
  return WriteWord(static_cast<uint16_t>(value));
}

int32_t ReadByte(uint8_t& value) {
  const int32_t count = ReadBuffer(1);
  value = count > 0 ? InBuffer[0] : 0;
  return count;
}

int32_t ReadWord(uint16_t& value) {
  // With one byte read, the high byte is whatever InBuffer[1] still holds.
  const int32_t count = ReadBuffer(2);
  value = count > 0 ? static_cast<uint16_t>(InBuffer[0] + 256 * InBuffer[1]) : 0;
  return count;
}

int32_t ReadInteger(int32_t& value) {
  uint16_t word = 0;
  const int32_t count = ReadWord(word);
  value = word > 32767 ? static_cast<int32_t>(word) - 65536 : word;
  return count;
}

int32_t EchoParameter(int32_t first, int32_t /*second*/) {
  return first;
}

int32_t FindSlotByHandle(uint32_t handle) {
  if (handle == 0) {
    return -1;
  }
  for (int32_t i = 0; i < kDeviceSlotCount; ++i) {
    if (DeviceSlots[i].SlotUsed && DeviceSlots[i].SlotHandle == handle) {
      return i;
    }
  }
  return -1;
}

int32_t FindSlotBySerial(const std::string& serial) {
  for (int32_t i = 0; i < kDeviceSlotCount; ++i) {
    if (DeviceSlots[i].SlotUsed && SlotTextEquals(DeviceSlots[i].SlotSerial, serial)) {
      return i;
    }
  }
  return -1;
}

void ReportFTError(const char* label, uint32_t status) {
  if (!ErrorReportEnabled || status < 1 || status > 6) {
    return;
  }
  // One line, written under the stream's lock so that lines of other threads
  // do not interleave with it. Standard error is unbuffered: nothing is kept.
  std::FILE* stream = stderr;
  flockfile(stream);
  std::fputs(label, stream);
  std::fputs(kStatusTexts[status], stream);
  std::fputc('\n', stream);
  funlockfile(stream);
}

void ReportFTError(const std::string& label, uint32_t status) {
  ReportFTError(label.c_str(), status);
}

}  // namespace ftdi
