#pragma once
// The driver wrapper: the only code that calls the D2XX library.
//
// A current-device model over module state: every device operation acts on
// CurrentHandle, which the caller stores immediately before the call; every
// transfer goes through OutBuffer (writes) or InBuffer (reads); name queries
// leave their result in FT_DeviceString. Control operations return the
// library's status; transfers return the bytes moved or the negated status.
//
// Main thread only; the state is unguarded on purpose. Texts are UTF-8 (the
// library's 8-bit names are converted from Latin-1).

#include <cstdint>
#include <string>

#include "usb/D2xx.h"

namespace ftdi {

inline constexpr int32_t kTransferBufferSize = 32768;
inline constexpr int32_t kDeviceSlotCount = 32;
inline constexpr int32_t kSlotTextLength = 16;
// The library writes at most usb::kD2xxNameSize bytes; a name query keeps at
// most kNameTextLength characters of it.
inline constexpr int32_t kNameBufferSize = static_cast<int32_t>(usb::kD2xxNameSize);
inline constexpr int32_t kNameTextLength = 49;

struct TDeviceSlot {
  char SlotSerial[kSlotTextLength + 1] = {};       // 8-bit characters, 0-terminated
  char SlotDescription[kSlotTextLength + 1] = {};  // 8-bit characters, 0-terminated
  uint32_t SlotHandle = 0;                         // 0: none
  bool SlotUsed = false;  // an open has recorded this entry; lookups skip unused entries
};

// Module state.
extern uint32_t CurrentHandle;
extern int32_t CurrentDeviceIndex;
extern uint32_t FT_DeviceCount;
extern uint8_t NameBuffer[kNameBufferSize];
extern std::string FT_DeviceString;
extern uint32_t QueueBytes;
extern uint8_t InBuffer[kTransferBufferSize];
extern uint8_t OutBuffer[kTransferBufferSize];
extern bool ErrorReportEnabled;
extern TDeviceSlot DeviceSlots[kDeviceSlotCount];

// The backend every call goes to; must be set before the first call and
// outlive every call. nullptr makes every library call fail with
// FT_DEVICE_NOT_FOUND.
void SetD2xxBackend(usb::TD2xx* backend);
usb::TD2xx* D2xxBackend();

// Back to the state at program start (tests). The backend stays as set.
void ResetWrapperState();

int32_t GetFTDeviceCount();
int32_t GetFTDeviceSerialNo(int32_t index);
int32_t GetFTDeviceDescription(int32_t index);
// Opens CurrentDeviceIndex and records it in DeviceSlots; an index outside 0
// to 31 has no entry and is refused with FT_INVALID_PARAMETER (the name
// queries still run).
int32_t OpenDevice();
int32_t CloseDevice();
int32_t ResetDevice();
int32_t PurgeTX();
int32_t PurgeRX();
int32_t SetLatencyTimer(uint32_t value);
int32_t SetTimeouts(uint32_t readTimeout, uint32_t writeTimeout);
int32_t GetQueueStatus();
// A count outside 0 to kTransferBufferSize is refused: -FT_INVALID_PARAMETER,
// with no library call and no purge.
int32_t WriteBuffer(int32_t count);
int32_t ReadBuffer(int32_t count);
int32_t WriteByte(uint8_t value);
int32_t WriteWord(uint16_t value);
int32_t WriteInteger(int32_t value);
int32_t ReadByte(uint8_t& value);
int32_t ReadWord(uint16_t& value);
int32_t ReadInteger(int32_t& value);
int32_t EchoParameter(int32_t first, int32_t second);

// First entry among 0 to 31 that an open has recorded and whose SlotHandle
// equals handle, or -1. Handle 0 means "none" and is never found.
int32_t FindSlotByHandle(uint32_t handle);
// First entry among 0 to 31 that an open has recorded and whose SlotSerial,
// read as Latin-1, equals serial (UTF-8) exactly, or -1.
int32_t FindSlotBySerial(const std::string& serial);

// Composes "<label><status text>" for statuses 1 to 6 (when
// ErrorReportEnabled) and writes it to the diagnostic stream (standard error)
// as one line. Allocates nothing.
void ReportFTError(const std::string& label, uint32_t status);
void ReportFTError(const char* label, uint32_t status);

}  // namespace ftdi
