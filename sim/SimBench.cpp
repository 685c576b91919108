#include "sim/SimBench.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {

using usb::FT_HANDLE;
using usb::FT_STATUS;

namespace {

constexpr size_t KindIndex(TSimCallKind kind) {
  return static_cast<size_t>(kind);
}

}  // namespace

const char* FamilyText(TSimFamily family) {
  switch (family) {
    case TSimFamily::QN410:
      return "QN410";
    case TSimFamily::QN420:
      return "QN420";
    case TSimFamily::QN633:
      return "QN633";
    case TSimFamily::QN2208:
      return "QN2208";
    case TSimFamily::QN445:
      return "QN445";
  }
  return "";
}

TSimInstrument MakeSimInstrument(TSimFamily family, std::string serial) {
  return TSimInstrument{std::move(serial), std::string("Vardex ") + FamilyText(family), family};
}

const char* CallKindName(TSimCallKind kind) {
  switch (kind) {
    case TSimCallKind::ListDevices:
      return "FT_ListDevices";
    case TSimCallKind::Open:
      return "FT_Open";
    case TSimCallKind::Close:
      return "FT_Close";
    case TSimCallKind::Read:
      return "FT_Read";
    case TSimCallKind::Write:
      return "FT_Write";
    case TSimCallKind::Purge:
      return "FT_Purge";
    case TSimCallKind::ResetDevice:
      return "FT_ResetDevice";
    case TSimCallKind::SetLatencyTimer:
      return "FT_SetLatencyTimer";
    case TSimCallKind::SetTimeouts:
      return "FT_SetTimeouts";
    case TSimCallKind::GetQueueStatus:
      return "FT_GetQueueStatus";
  }
  return "";
}

// One instrument. Its receive queue is a ring of kReceiveCapacity bytes
// addressed by running sequence numbers: bytes [Taken, Queued) are queued, of
// which [Taken, Visible) can be read now. Bytes still in flight (the latency
// timer) wait in Segments, each becoming readable at its time; the times never
// decrease along the ring, so the readable part is always a prefix.
// Everything here is used with the bench's mutex held.
struct TSimBench::TDevice {
  struct TSegment {
    uint64_t End = 0;
    TClock::time_point VisibleAt;
  };
  static constexpr size_t kSegmentCount = 64;

  explicit TDevice(const TSimInstrument& info) : Info(info), Queue(kReceiveCapacity) {}

  uint32_t Queued() const { return static_cast<uint32_t>(QueuedEnd - TakenEnd); }
  uint32_t Room() const { return kReceiveCapacity - Queued(); }
  uint32_t Visible() const { return static_cast<uint32_t>(VisibleEnd - TakenEnd); }

  // Makes readable every segment whose time has come.
  void Advance(TClock::time_point now) {
    while (SegmentCount > 0 && Segments[SegmentHead].VisibleAt <= now) {
      VisibleEnd = Segments[SegmentHead].End;
      SegmentHead = (SegmentHead + 1) % kSegmentCount;
      --SegmentCount;
    }
  }

  std::optional<TClock::time_point> NextVisibleAt() const {
    if (SegmentCount == 0) {
      return std::nullopt;
    }
    return Segments[SegmentHead].VisibleAt;
  }

  // Queues bytes that become readable at visibleAt; the caller makes sure
  // they fit.
  void Push(const uint8_t* bytes,
            uint32_t count,
            TClock::time_point visibleAt,
            TClock::time_point now) {
    for (uint32_t i = 0; i < count; ++i) {
      Queue[(QueuedEnd + i) % kReceiveCapacity] = bytes[i];
    }
    QueuedEnd += count;
    if (SegmentCount == 0 && visibleAt <= now) {
      VisibleEnd = QueuedEnd;
      return;
    }
    if (SegmentCount > 0) {
      TSegment& last = Segments[(SegmentHead + SegmentCount - 1) % kSegmentCount];
      visibleAt = std::max(visibleAt, last.VisibleAt);
      if (SegmentCount == kSegmentCount || last.VisibleAt == visibleAt) {
        last.End = QueuedEnd;
        last.VisibleAt = visibleAt;
        return;
      }
    }
    Segments[(SegmentHead + SegmentCount) % kSegmentCount] = TSegment{QueuedEnd, visibleAt};
    ++SegmentCount;
  }

  uint32_t Take(uint8_t* out, uint32_t count) {
    count = std::min(count, Visible());
    for (uint32_t i = 0; i < count; ++i) {
      out[i] = Queue[(TakenEnd + i) % kReceiveCapacity];
    }
    TakenEnd += count;
    return count;
  }

  void Clear() {
    TakenEnd = QueuedEnd;
    VisibleEnd = QueuedEnd;
    SegmentHead = 0;
    SegmentCount = 0;
  }

  TSimInstrument Info;
  TSimResponse Response = TSimResponse::Echo;
  bool Plugged = true;
  FT_HANDLE Handle = 0;  // the open handle, 0 while closed
  uint32_t ReadTimeout = 0;
  uint32_t WriteTimeout = 0;
  uint8_t Latency = 0;
  std::vector<uint8_t> Queue;
  uint64_t TakenEnd = 0;
  uint64_t VisibleEnd = 0;
  uint64_t QueuedEnd = 0;
  std::array<TSegment, kSegmentCount> Segments = {};
  size_t SegmentHead = 0;
  size_t SegmentCount = 0;
};

TSimBench::TSimBench() : FCallLog(kCallLogCapacity) {}

TSimBench::~TSimBench() = default;

bool TSimBench::Plug(const TSimInstrument& instrument) {
  return Plug(instrument, kForever);
}

bool TSimBench::Plug(const TSimInstrument& instrument, uint32_t index) {
  TOnSimDeviceChange handler;
  {
    std::lock_guard lock(FMutex);
    if (FindPlugged(instrument.Serial)) {
      return false;
    }
    const size_t position = std::min<size_t>(index, FPlugged.size());
    FPlugged.insert(FPlugged.begin() + static_cast<std::ptrdiff_t>(position),
                    std::make_shared<TDevice>(instrument));
    handler = FOnDeviceChange;
  }
  if (handler) {
    handler(*this, TSimChange::Arrival, instrument.Serial);
  }
  return true;
}

bool TSimBench::Unplug(const std::string& serial) {
  TOnSimDeviceChange handler;
  {
    std::lock_guard lock(FMutex);
    auto it = std::find_if(FPlugged.begin(), FPlugged.end(),
                           [&](const auto& device) { return device->Info.Serial == serial; });
    if (it == FPlugged.end()) {
      return false;
    }
    // The device stays reachable through its handle until FT_Close; every
    // call on it now fails, and waiting transfers end.
    (*it)->Plugged = false;
    FPlugged.erase(it);
    handler = FOnDeviceChange;
  }
  FChanged.notify_all();
  if (handler) {
    handler(*this, TSimChange::Removal, serial);
  }
  return true;
}

std::vector<TSimInstrument> TSimBench::Instruments() const {
  std::lock_guard lock(FMutex);
  std::vector<TSimInstrument> result;
  result.reserve(FPlugged.size());
  for (const auto& device : FPlugged) {
    result.push_back(device->Info);
  }
  return result;
}

uint32_t TSimBench::InstrumentCount() const {
  std::lock_guard lock(FMutex);
  return static_cast<uint32_t>(FPlugged.size());
}

void TSimBench::SetOnDeviceChange(TOnSimDeviceChange handler) {
  std::lock_guard lock(FMutex);
  FOnDeviceChange = std::move(handler);
}

bool TSimBench::SetResponse(const std::string& serial, TSimResponse response) {
  {
    std::lock_guard lock(FMutex);
    const auto device = FindPlugged(serial);
    if (!device) {
      return false;
    }
    device->Response = response;
  }
  FChanged.notify_all();
  return true;
}

uint32_t TSimBench::InjectReceived(const std::string& serial, std::span<const uint8_t> bytes) {
  uint32_t count = 0;
  {
    std::lock_guard lock(FMutex);
    const auto device = FindPlugged(serial);
    if (!device) {
      return 0;
    }
    const auto now = TClock::now();
    device->Advance(now);
    count = static_cast<uint32_t>(std::min<size_t>(bytes.size(), device->Room()));
    device->Push(bytes.data(), count, now, now);
  }
  FChanged.notify_all();
  return count;
}

FT_HANDLE TSimBench::HandleOf(const std::string& serial) const {
  std::lock_guard lock(FMutex);
  const auto device = FindPlugged(serial);
  return device ? device->Handle : 0;
}

std::optional<TSimBench::THandleInfo> TSimBench::HandleInfo(FT_HANDLE handle) const {
  std::lock_guard lock(FMutex);
  const auto it = FHandles.find(handle);
  if (it == FHandles.end()) {
    return std::nullopt;
  }
  const TDevice& device = *it->second;
  return THandleInfo{device.Info.Serial, !device.Plugged, device.ReadTimeout, device.WriteTimeout,
                     device.Latency};
}

void TSimBench::SetDefaultTimeouts(uint32_t readTimeout, uint32_t writeTimeout) {
  std::lock_guard lock(FMutex);
  FDefaultReadTimeout = readTimeout;
  FDefaultWriteTimeout = writeTimeout;
}

void TSimBench::SetDefaultLatencyTimer(uint8_t timer) {
  std::lock_guard lock(FMutex);
  FDefaultLatency = timer;
}

void TSimBench::FailNext(TSimCallKind kind, FT_STATUS status, uint32_t times, uint32_t skip) {
  std::lock_guard lock(FMutex);
  FFaults[KindIndex(kind)] = TFault{status, skip, times};
}

void TSimBench::FailEvery(TSimCallKind kind, FT_STATUS status) {
  FailNext(kind, status, kForever, 0);
}

void TSimBench::ClearFaults() {
  std::lock_guard lock(FMutex);
  FFaults = {};
}

std::vector<TSimCall> TSimBench::Calls() const {
  std::lock_guard lock(FMutex);
  std::vector<TSimCall> result;
  result.reserve(FCallCount);
  for (size_t i = 0; i < FCallCount; ++i) {
    result.push_back(FCallLog[(FCallHead + i) % kCallLogCapacity]);
  }
  return result;
}

size_t TSimBench::CountCalls(TSimCallKind kind) const {
  std::lock_guard lock(FMutex);
  size_t count = 0;
  for (size_t i = 0; i < FCallCount; ++i) {
    count += FCallLog[(FCallHead + i) % kCallLogCapacity].Kind == kind ? 1 : 0;
  }
  return count;
}

size_t TSimBench::CountCalls(TSimCallKind kind, uint32_t arg1) const {
  std::lock_guard lock(FMutex);
  size_t count = 0;
  for (size_t i = 0; i < FCallCount; ++i) {
    const TSimCall& call = FCallLog[(FCallHead + i) % kCallLogCapacity];
    count += call.Kind == kind && call.Arg1 == arg1 ? 1 : 0;
  }
  return count;
}

void TSimBench::ClearCalls() {
  std::lock_guard lock(FMutex);
  FCallHead = 0;
  FCallCount = 0;
}

bool TSimBench::TakeFault(TSimCallKind kind, FT_STATUS& status) {
  TFault& fault = FFaults[KindIndex(kind)];
  if (fault.Times == 0) {
    return false;
  }
  if (fault.Skip > 0) {
    --fault.Skip;
    return false;
  }
  if (fault.Times != kForever) {
    --fault.Times;
  }
  status = fault.Status;
  return true;
}

void TSimBench::Log(const TSimCall& call) {
  // The ring is allocated once; logging a call never allocates.
  if (FCallCount == kCallLogCapacity) {
    FCallLog[FCallHead] = call;
    FCallHead = (FCallHead + 1) % kCallLogCapacity;
  } else {
    FCallLog[(FCallHead + FCallCount) % kCallLogCapacity] = call;
    ++FCallCount;
  }
}

TSimBench::TDevice* TSimBench::Lookup(FT_HANDLE handle, FT_STATUS& status) {
  const auto it = FHandles.find(handle);
  if (it == FHandles.end()) {
    status = usb::FT_INVALID_HANDLE;
    return nullptr;
  }
  if (!it->second->Plugged) {
    status = usb::FT_IO_ERROR;
    return nullptr;
  }
  status = usb::FT_OK;
  return it->second.get();
}

std::shared_ptr<TSimBench::TDevice> TSimBench::FindPlugged(const std::string& serial) const {
  for (const auto& device : FPlugged) {
    if (device->Info.Serial == serial) {
      return device;
    }
  }
  return nullptr;
}

FT_STATUS TSimBench::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::ListDevices, .Arg2 = flags};
  const bool byIndex = (flags & usb::FT_LIST_BY_INDEX) != 0;
  if (byIndex) {
    call.Arg1 = usb::IndexFromListArg(arg1);
  }
  if (TakeFault(TSimCallKind::ListDevices, call.Status)) {
    Log(call);
    return call.Status;
  }
  const uint32_t nameKind = flags & (usb::FT_OPEN_BY_SERIAL_NUMBER | usb::FT_OPEN_BY_DESCRIPTION);
  if (flags == usb::FT_LIST_NUMBER_ONLY && arg1 != nullptr) {
    call.Count = static_cast<uint32_t>(FPlugged.size());
    *static_cast<uint32_t*>(arg1) = call.Count;
  } else if (byIndex && arg2 != nullptr && (flags & ~(usb::FT_LIST_BY_INDEX | nameKind)) == 0 &&
             (nameKind == usb::FT_OPEN_BY_SERIAL_NUMBER ||
              nameKind == usb::FT_OPEN_BY_DESCRIPTION)) {
    if (call.Arg1 >= FPlugged.size()) {
      call.Status = usb::FT_DEVICE_NOT_FOUND;
    } else {
      const TSimInstrument& info = FPlugged[call.Arg1]->Info;
      const std::string& name =
          nameKind == usb::FT_OPEN_BY_SERIAL_NUMBER ? info.Serial : info.Description;
      const size_t length = std::min<size_t>(name.size(), usb::kD2xxNameSize - 1);
      std::memcpy(arg2, name.data(), length);
      static_cast<char*>(arg2)[length] = 0;
    }
  } else {
    call.Status = usb::FT_INVALID_PARAMETER;
  }
  Log(call);
  return call.Status;
}

FT_STATUS TSimBench::FT_Open(int32_t deviceNumber, FT_HANDLE* handle) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::Open, .Arg1 = static_cast<uint32_t>(deviceNumber)};
  if (TakeFault(TSimCallKind::Open, call.Status)) {
    Log(call);
    return call.Status;
  }
  if (handle == nullptr) {
    call.Status = usb::FT_INVALID_PARAMETER;
  } else if (deviceNumber < 0 || static_cast<size_t>(deviceNumber) >= FPlugged.size()) {
    call.Status = usb::FT_DEVICE_NOT_FOUND;
  } else if (FPlugged[static_cast<size_t>(deviceNumber)]->Handle != 0) {
    call.Status = usb::FT_DEVICE_NOT_OPENED;
  } else {
    const auto& device = FPlugged[static_cast<size_t>(deviceNumber)];
    while (FNextHandle == 0 || FHandles.contains(FNextHandle)) {
      ++FNextHandle;
    }
    call.Handle = FNextHandle++;
    device->Handle = call.Handle;
    device->ReadTimeout = FDefaultReadTimeout;
    device->WriteTimeout = FDefaultWriteTimeout;
    device->Latency = FDefaultLatency;
    device->Clear();
    FHandles.emplace(call.Handle, device);
    *handle = call.Handle;
  }
  Log(call);
  return call.Status;
}

FT_STATUS TSimBench::FT_Close(FT_HANDLE handle) {
  {
    std::lock_guard lock(FMutex);
    TSimCall call{.Kind = TSimCallKind::Close, .Handle = handle};
    if (!TakeFault(TSimCallKind::Close, call.Status)) {
      const auto it = FHandles.find(handle);
      if (it == FHandles.end()) {
        call.Status = usb::FT_INVALID_HANDLE;
      } else {
        it->second->Handle = 0;
        FHandles.erase(it);
      }
    }
    Log(call);
    if (call.Status != usb::FT_OK) {
      return call.Status;
    }
  }
  FChanged.notify_all();
  return usb::FT_OK;
}

FT_STATUS TSimBench::FT_Read(FT_HANDLE handle,
                             void* buffer,
                             uint32_t bytesToRead,
                             uint32_t* bytesReturned) {
  std::unique_lock lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::Read, .Handle = handle, .Arg1 = bytesToRead};
  if (bytesReturned != nullptr) {
    *bytesReturned = 0;
  }
  auto finish = [&](FT_STATUS status) {
    call.Status = status;
    Log(call);
    return status;
  };
  FT_STATUS status = usb::FT_OK;
  if (TakeFault(TSimCallKind::Read, status)) {
    return finish(status);
  }
  if (bytesReturned == nullptr || (buffer == nullptr && bytesToRead > 0)) {
    return finish(usb::FT_INVALID_PARAMETER);
  }
  if (Lookup(handle, status) == nullptr) {
    return finish(status);
  }
  // Held while the lock is released in the wait, so that a close on another
  // thread cannot take the device away.
  const std::shared_ptr<TDevice> device = FHandles.find(handle)->second;
  const auto deadline = TClock::now() + std::chrono::milliseconds(device->ReadTimeout);
  for (;;) {
    if (!device->Plugged) {
      return finish(usb::FT_IO_ERROR);
    }
    if (device->Handle != handle) {
      return finish(usb::FT_INVALID_HANDLE);
    }
    const auto now = TClock::now();
    device->Advance(now);
    if (device->Visible() >= bytesToRead || now >= deadline) {
      auto* out = static_cast<uint8_t*>(buffer);
      call.Count = device->Take(out, bytesToRead);
      std::memcpy(call.Data.data(), out, std::min<size_t>(call.Count, call.Data.size()));
      *bytesReturned = call.Count;
      return finish(usb::FT_OK);
    }
    auto wake = deadline;
    if (const auto next = device->NextVisibleAt(); next && *next < wake) {
      wake = *next;
    }
    FChanged.wait_until(lock, wake);
  }
}

FT_STATUS TSimBench::FT_Write(FT_HANDLE handle,
                              const void* buffer,
                              uint32_t bytesToWrite,
                              uint32_t* bytesWritten) {
  std::unique_lock lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::Write, .Handle = handle, .Arg1 = bytesToWrite};
  if (bytesWritten != nullptr) {
    *bytesWritten = 0;
  }
  auto finish = [&](FT_STATUS status) {
    call.Status = status;
    if (bytesWritten != nullptr) {
      *bytesWritten = call.Count;
    }
    Log(call);
    if (call.Count > 0) {
      FChanged.notify_all();
    }
    return status;
  };
  FT_STATUS status = usb::FT_OK;
  if (TakeFault(TSimCallKind::Write, status)) {
    return finish(status);
  }
  if (bytesWritten == nullptr || (buffer == nullptr && bytesToWrite > 0)) {
    return finish(usb::FT_INVALID_PARAMETER);
  }
  if (Lookup(handle, status) == nullptr) {
    return finish(status);
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  std::memcpy(call.Data.data(), bytes, std::min<size_t>(bytesToWrite, call.Data.size()));
  const std::shared_ptr<TDevice> device = FHandles.find(handle)->second;
  const auto deadline = TClock::now() + std::chrono::milliseconds(device->WriteTimeout);
  for (;;) {
    if (!device->Plugged) {
      return finish(usb::FT_IO_ERROR);
    }
    if (device->Handle != handle) {
      return finish(usb::FT_INVALID_HANDLE);
    }
    const auto now = TClock::now();
    switch (device->Response) {
      case TSimResponse::Mute:
        call.Count = bytesToWrite;
        break;
      case TSimResponse::Echo: {
        device->Advance(now);
        const uint32_t count = std::min(bytesToWrite - call.Count, device->Room());
        device->Push(bytes + call.Count, count, now + std::chrono::milliseconds(device->Latency),
                     now);
        call.Count += count;
        break;
      }
      case TSimResponse::Stall:
        break;
    }
    if (call.Count == bytesToWrite || now >= deadline) {
      return finish(usb::FT_OK);
    }
    FChanged.wait_until(lock, deadline);
  }
}

FT_STATUS TSimBench::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::Purge, .Handle = handle, .Arg1 = mask};
  if (!TakeFault(TSimCallKind::Purge, call.Status)) {
    TDevice* device = Lookup(handle, call.Status);
    // Writes leave nothing pending on the transmit side; only the receive
    // queue has anything to discard.
    if (device != nullptr && (mask & usb::FT_PURGE_RX) != 0) {
      device->Clear();
    }
  }
  Log(call);
  return call.Status;
}

FT_STATUS TSimBench::FT_ResetDevice(FT_HANDLE handle) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::ResetDevice, .Handle = handle};
  if (!TakeFault(TSimCallKind::ResetDevice, call.Status)) {
    if (TDevice* device = Lookup(handle, call.Status)) {
      device->Clear();
    }
  }
  Log(call);
  return call.Status;
}

FT_STATUS TSimBench::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::SetLatencyTimer, .Handle = handle, .Arg1 = timer};
  if (!TakeFault(TSimCallKind::SetLatencyTimer, call.Status)) {
    if (TDevice* device = Lookup(handle, call.Status)) {
      device->Latency = timer;
    }
  }
  Log(call);
  return call.Status;
}

FT_STATUS TSimBench::FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::SetTimeouts,
                .Handle = handle,
                .Arg1 = readTimeout,
                .Arg2 = writeTimeout};
  if (!TakeFault(TSimCallKind::SetTimeouts, call.Status)) {
    if (TDevice* device = Lookup(handle, call.Status)) {
      device->ReadTimeout = readTimeout;
      device->WriteTimeout = writeTimeout;
    }
  }
  Log(call);
  return call.Status;
}

FT_STATUS TSimBench::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
  std::lock_guard lock(FMutex);
  TSimCall call{.Kind = TSimCallKind::GetQueueStatus, .Handle = handle};
  if (!TakeFault(TSimCallKind::GetQueueStatus, call.Status)) {
    if (rxBytes == nullptr) {
      call.Status = usb::FT_INVALID_PARAMETER;
    } else if (TDevice* device = Lookup(handle, call.Status)) {
      device->Advance(TClock::now());
      call.Count = device->Visible();
      *rxBytes = call.Count;
    }
  }
  Log(call);
  return call.Status;
}

std::unique_ptr<TSimBench> MakeDefaultSimBench() {
  auto bench = std::make_unique<TSimBench>();
  bench->Plug(MakeSimInstrument(TSimFamily::QN410, "QN41000A"));
  bench->Plug(MakeSimInstrument(TSimFamily::QN633, "QN63300B"));
  bench->Plug(MakeSimInstrument(TSimFamily::QN2208, "QN22080C"));
  return bench;
}

}  // namespace sim
