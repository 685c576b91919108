#pragma once
// The simulated instrument bench: a D2XX backend with virtual instruments.
//
// Each plugged instrument has a serial number, a description (8-bit
// characters, as the library lists them) and a family. The library's
// enumeration index of an instrument is its position on the bench; unplugging
// one shifts the indexes of those after it, as on real hardware.
//
// What an open instrument does with the bytes written to it depends on its
// response: TSimResponse::Echo (the default) puts every written byte into its
// receive queue, so the probe byte 0x82 is answered with 0x82 and any other
// data comes back unchanged; Mute swallows the bytes; Stall accepts none, so a
// write waits for its write time-out. The receive queue holds
// kReceiveCapacity bytes; a write that finds it full waits for room up to its
// write time-out and then reports the bytes it placed, with FT_OK.
//
// Time: echoed bytes become readable the handle's latency timer (in
// milliseconds, 0 to 255) after their write. A read that finds fewer bytes
// than asked waits for them up to the handle's read time-out, then returns
// what it has with FT_OK. A time-out of 0 does not wait. A freshly opened
// handle takes the bench's defaults (SetDefaultTimeouts,
// SetDefaultLatencyTimer): read and write time-outs of 100 ms, latency 0.
// Results depend on the time-out only where it is shorter than the latency,
// so tests that keep the time-out at or above the latency are deterministic.
//
// Handles are 32-bit values counting up from kFirstHandle, never 0, never
// reused. Opening an instrument that is already open fails with
// FT_DEVICE_NOT_OPENED. Once its instrument is unplugged a handle fails every
// call with FT_IO_ERROR (FT_Close still releases it); an unknown handle gets
// FT_INVALID_HANDLE.
//
// Threads: every member may be called from any thread; the library calls come
// from the wrapper's thread while tests plug, unplug and inject from others.
// A read or write waiting for bytes or room ends at once when its instrument
// is unplugged (FT_IO_ERROR). OnDeviceChange runs on the thread that plugged
// or unplugged, after the change, with no lock held.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usb/D2xx.h"

namespace sim {

enum class TSimFamily : uint8_t { QN410, QN420, QN633, QN2208, QN445 };

// "QN410", "QN420", "QN633", "QN2208", "QN445".
const char* FamilyText(TSimFamily family);

struct TSimInstrument {
  std::string Serial;       // 8-bit characters
  std::string Description;  // 8-bit characters
  TSimFamily Family = TSimFamily::QN410;
};

// An instrument of the family, described as "Vardex <family>".
TSimInstrument MakeSimInstrument(TSimFamily family, std::string serial);

enum class TSimResponse : uint8_t { Echo, Mute, Stall };

enum class TSimCallKind : uint8_t {
  ListDevices,
  Open,
  Close,
  Read,
  Write,
  Purge,
  ResetDevice,
  SetLatencyTimer,
  SetTimeouts,
  GetQueueStatus,
};

const char* CallKindName(TSimCallKind kind);

// One library call as the bench saw it.
struct TSimCall {
  TSimCallKind Kind = TSimCallKind::ListDevices;
  // The handle the call named; for Open the handle it handed out (0 if none).
  usb::FT_HANDLE Handle = 0;
  // ListDevices: the index (0 for a count); Open: the device number;
  // Read, Write: bytes asked for; Purge: the mask; SetLatencyTimer: the
  // timer; SetTimeouts: the read time-out.
  uint32_t Arg1 = 0;
  // ListDevices: the flags; SetTimeouts: the write time-out.
  uint32_t Arg2 = 0;
  // Read, Write: bytes moved; ListDevices (count), GetQueueStatus: the value
  // returned.
  uint32_t Count = 0;
  usb::FT_STATUS Status = usb::FT_OK;
  // Read, Write: the first bytes moved.
  std::array<uint8_t, 8> Data = {};
};

enum class TSimChange : uint8_t { Arrival, Removal };

class TSimBench;
using TOnSimDeviceChange =
    std::function<void(TSimBench& sender, TSimChange change, const std::string& serial)>;

class TSimBench final : public usb::TD2xx {
 public:
  static constexpr uint32_t kReceiveCapacity = 65536;
  static constexpr size_t kCallLogCapacity = 16384;
  static constexpr usb::FT_HANDLE kFirstHandle = 0x00010001;
  static constexpr uint32_t kForever = 0xFFFFFFFFu;

  TSimBench();
  TSimBench(const TSimBench&) = delete;
  TSimBench& operator=(const TSimBench&) = delete;
  ~TSimBench() override;

  // Instruments. Plug appends (or inserts at index, cut to the end) and
  // returns false, changing nothing, when the serial number is already
  // plugged. Unplug returns false for a serial number that is not plugged.
  bool Plug(const TSimInstrument& instrument);
  bool Plug(const TSimInstrument& instrument, uint32_t index);
  bool Unplug(const std::string& serial);
  std::vector<TSimInstrument> Instruments() const;
  uint32_t InstrumentCount() const;

  // Called after every successful Plug and Unplug.
  void SetOnDeviceChange(TOnSimDeviceChange handler);

  // Behaviour of a plugged instrument; false when it is not plugged.
  bool SetResponse(const std::string& serial, TSimResponse response);
  // Bytes the instrument sends by itself, readable at once. Returns how many
  // fitted into its receive queue (0 when it is not plugged).
  uint32_t InjectReceived(const std::string& serial, std::span<const uint8_t> bytes);

  // The open handle of a plugged instrument, or 0.
  usb::FT_HANDLE HandleOf(const std::string& serial) const;

  struct THandleInfo {
    std::string Serial;
    bool Unplugged = false;
    uint32_t ReadTimeout = 0;
    uint32_t WriteTimeout = 0;
    uint8_t LatencyTimer = 0;
  };
  std::optional<THandleInfo> HandleInfo(usb::FT_HANDLE handle) const;

  // Settings a handle takes when it is opened.
  void SetDefaultTimeouts(uint32_t readTimeout, uint32_t writeTimeout);
  void SetDefaultLatencyTimer(uint8_t timer);

  // Fault injection: after skipping `skip` calls of the kind, the next `times`
  // calls (kForever: all) fail with the status and do nothing else (no bytes
  // move, no handle is handed out). A new injection for a kind replaces the
  // previous one.
  void FailNext(TSimCallKind kind, usb::FT_STATUS status, uint32_t times = 1, uint32_t skip = 0);
  void FailEvery(TSimCallKind kind, usb::FT_STATUS status);
  void ClearFaults();

  // The last kCallLogCapacity calls, oldest first.
  std::vector<TSimCall> Calls() const;
  size_t CountCalls(TSimCallKind kind) const;
  size_t CountCalls(TSimCallKind kind, uint32_t arg1) const;
  void ClearCalls();

  // usb::TD2xx. FT_ListDevices supports FT_LIST_NUMBER_ONLY and
  // FT_LIST_BY_INDEX with FT_OPEN_BY_SERIAL_NUMBER or FT_OPEN_BY_DESCRIPTION;
  // names longer than usb::kD2xxNameSize - 1 bytes are cut.
  usb::FT_STATUS FT_ListDevices(void* arg1, void* arg2, uint32_t flags) override;
  usb::FT_STATUS FT_Open(int32_t deviceNumber, usb::FT_HANDLE* handle) override;
  usb::FT_STATUS FT_Close(usb::FT_HANDLE handle) override;
  usb::FT_STATUS FT_Read(usb::FT_HANDLE handle,
                         void* buffer,
                         uint32_t bytesToRead,
                         uint32_t* bytesReturned) override;
  usb::FT_STATUS FT_Write(usb::FT_HANDLE handle,
                          const void* buffer,
                          uint32_t bytesToWrite,
                          uint32_t* bytesWritten) override;
  usb::FT_STATUS FT_Purge(usb::FT_HANDLE handle, uint32_t mask) override;
  usb::FT_STATUS FT_ResetDevice(usb::FT_HANDLE handle) override;
  usb::FT_STATUS FT_SetLatencyTimer(usb::FT_HANDLE handle, uint8_t timer) override;
  usb::FT_STATUS FT_SetTimeouts(usb::FT_HANDLE handle,
                                uint32_t readTimeout,
                                uint32_t writeTimeout) override;
  usb::FT_STATUS FT_GetQueueStatus(usb::FT_HANDLE handle, uint32_t* rxBytes) override;

 private:
  using TClock = std::chrono::steady_clock;
  struct TDevice;
  struct TFault {
    usb::FT_STATUS Status = usb::FT_OK;
    uint32_t Skip = 0;
    uint32_t Times = 0;
  };
  static constexpr size_t kKindCount = 10;

  // All of these with FMutex held.
  bool TakeFault(TSimCallKind kind, usb::FT_STATUS& status);
  void Log(const TSimCall& call);
  TDevice* Lookup(usb::FT_HANDLE handle, usb::FT_STATUS& status);
  std::shared_ptr<TDevice> FindPlugged(const std::string& serial) const;

  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<std::shared_ptr<TDevice>> FPlugged;
  std::map<usb::FT_HANDLE, std::shared_ptr<TDevice>> FHandles;
  usb::FT_HANDLE FNextHandle = kFirstHandle;
  uint32_t FDefaultReadTimeout = 100;
  uint32_t FDefaultWriteTimeout = 100;
  uint8_t FDefaultLatency = 0;
  std::array<TFault, kKindCount> FFaults = {};
  std::vector<TSimCall> FCallLog;  // ring of kCallLogCapacity entries
  size_t FCallHead = 0;
  size_t FCallCount = 0;
  TOnSimDeviceChange FOnDeviceChange;
};

// A bench with three instruments of different families (QN410, QN633,
// QN2208), for the demonstration program.
std::unique_ptr<TSimBench> MakeDefaultSimBench();

}  // namespace sim
