#include "app/CheckPrevious.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "platform/Error.h"

namespace app {

namespace {

uint32_t GetLE32(std::span<const std::byte, kInstanceRecordSize> bytes, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    v |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  }
  return v;
}

void PutLE32(std::span<std::byte, kInstanceRecordSize> bytes, size_t offset, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<std::byte>(v >> (8 * i));
  }
}

std::span<std::byte, kInstanceRecordSize> RecordBytes(const platform::TSharedRecord& shared) {
  return shared.Data().first<kInstanceRecordSize>();
}

TInstanceGuard& ProcessGuard() {
  // Destroyed at normal exit, which finalises it if the program has not.
  static TInstanceGuard guard;
  return guard;
}

}  // namespace

TInstanceRecord LoadInstanceRecord(std::span<const std::byte, kInstanceRecordSize> bytes) {
  TInstanceRecord record;
  record.MainWindow = GetLE32(bytes, 0);
  record.InstanceCount = static_cast<int32_t>(GetLE32(bytes, 4));
  record.Reserved = GetLE32(bytes, 8);
  return record;
}

void StoreInstanceRecord(const TInstanceRecord& record,
                         std::span<std::byte, kInstanceRecordSize> bytes) {
  PutLE32(bytes, 0, record.MainWindow);
  PutLE32(bytes, 4, static_cast<uint32_t>(record.InstanceCount));
  PutLE32(bytes, 8, record.Reserved);
}

std::string ProgramFilePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) {
      platform::RaiseLastOSError("readlink /proc/self/exe");
    }
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      break;
    }
    path.resize(path.size() * 2);
  }
  return path;
}

std::string MappingNameForPath(const std::string& programPath) {
  std::string name = programPath;
  name.erase(std::remove(name.begin(), name.end(), '\\'), name.end());
  return name;
}

TInstanceGuard::TInstanceGuard(TActivate activate)
    : FActivate(activate ? std::move(activate) : TActivate(&ActivateAppWindow)) {}

bool TInstanceGuard::CheckPreviousInstance(const std::string& programPath,
                                           TAppWindowHandle appWindow,
                                           int32_t maxInstances) {
  if (FMappingHandle.IsOpen()) {
    throw std::logic_error("CheckPreviousInstance called twice");
  }
  FMappingName = MappingNameForPath(programPath);
  auto lock = FMappingHandle.Open(FMappingName, kInstanceRecordSize);
  FMapped = true;
  const auto bytes = RecordBytes(FMappingHandle);
  TInstanceRecord record = LoadInstanceRecord(bytes);

  if (!FMappingHandle.AlreadyExists()) {
    record.MainWindow = appWindow;
    record.InstanceCount = 1;
    StoreInstanceRecord(record, bytes);
    return false;
  }
  if (record.InstanceCount < maxInstances) {
    // An earlier instance has ended while another process still held the
    // record: this one takes its place, and later starts activate it.
    record.MainWindow = appWindow;
    record.InstanceCount += 1;
    StoreInstanceRecord(record, bytes);
    return false;
  }
  FRegistered = false;
  lock.Unlock();
  FActivate(record.MainWindow);
  return true;
}

void TInstanceGuard::Finalize() {
  if (FMapped && FRegistered) {
    try {
      auto lock = FMappingHandle.Lock();
      const auto bytes = RecordBytes(FMappingHandle);
      TInstanceRecord record = LoadInstanceRecord(bytes);
      record.InstanceCount -= 1;
      StoreInstanceRecord(record, bytes);
    } catch (const platform::EOSError&) {
      // The lock could not be taken. The count stays; when the last holder has
      // gone the record starts from zero anyway.
    }
  }
  FMapped = false;
  FMappingHandle.Close();
  FMappingName.clear();
}

std::optional<TInstanceRecord> TInstanceGuard::Record() {
  if (!FMapped) {
    return std::nullopt;
  }
  auto lock = FMappingHandle.Lock();
  return LoadInstanceRecord(RecordBytes(FMappingHandle));
}

bool CheckPreviousInstance(TAppWindowHandle appWindow, int32_t maxInstances) {
  return ProcessGuard().CheckPreviousInstance(ProgramFilePath(), appWindow, maxInstances);
}

void FinalizeCheckPrevious() {
  ProcessGuard().Finalize();
}

std::optional<TInstanceRecord> CurrentInstanceRecord() {
  return ProcessGuard().Record();
}

}  // namespace app
