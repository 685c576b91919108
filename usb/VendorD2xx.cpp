#include "usb/VendorD2xx.h"

#include <dlfcn.h>

#include <cstring>
#include <utility>

namespace usb {

namespace {

// Names are read into a buffer well beyond what the library writes, then
// handed on cut to the size the interface promises (kD2xxNameSize).
constexpr size_t kLibraryNameBufferSize = 256;

const char* LastLoaderError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

template <typename TFunction>
bool Resolve(void* library, const char* name, TFunction& function, std::string* error) {
  dlerror();
  void* address = dlsym(library, name);
  if (address == nullptr) {
    if (error != nullptr) {
      *error = std::string("entry point ") + name + " missing: " + LastLoaderError();
    }
    return false;
  }
  function = reinterpret_cast<TFunction>(address);
  return true;
}

}  // namespace

void TVendorD2xx::TLibraryCloser::operator()(void* library) const {
  dlclose(library);
}

std::unique_ptr<TVendorD2xx> TVendorD2xx::Load(const std::string& path, std::string* error) {
  TScopedLibrary library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!library) {
    if (error != nullptr) {
      *error = "D2XX library " + path + " not available: " + LastLoaderError();
    }
    return nullptr;
  }
  TEntryPoints entries;
  std::string missing;
  void* const lib = library.get();
  const bool complete = Resolve(lib, "FT_ListDevices", entries.ListDevices, &missing) &&
                        Resolve(lib, "FT_Open", entries.Open, &missing) &&
                        Resolve(lib, "FT_Close", entries.Close, &missing) &&
                        Resolve(lib, "FT_Read", entries.Read, &missing) &&
                        Resolve(lib, "FT_Write", entries.Write, &missing) &&
                        Resolve(lib, "FT_Purge", entries.Purge, &missing) &&
                        Resolve(lib, "FT_ResetDevice", entries.ResetDevice, &missing) &&
                        Resolve(lib, "FT_SetLatencyTimer", entries.SetLatencyTimer, &missing) &&
                        Resolve(lib, "FT_SetTimeouts", entries.SetTimeouts, &missing) &&
                        Resolve(lib, "FT_GetQueueStatus", entries.GetQueueStatus, &missing);
  if (!complete) {
    if (error != nullptr) {
      *error = "D2XX library " + path + " not available: " + missing;
    }
    return nullptr;
  }
  return std::unique_ptr<TVendorD2xx>(new TVendorD2xx(std::move(library), entries));
}

TVendorD2xx::TVendorD2xx(TScopedLibrary library, const TEntryPoints& entries)
    : FLibrary(std::move(library)), FEntries(entries) {}

TVendorD2xx::~TVendorD2xx() = default;

bool TVendorD2xx::Find(FT_HANDLE handle, FT_VENDOR_HANDLE& libraryHandle) const {
  const auto it = FHandles.find(handle);
  if (it == FHandles.end()) {
    return false;
  }
  libraryHandle = it->second;
  return true;
}

FT_STATUS TVendorD2xx::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  const uint32_t nameKind = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION);
  if ((flags & FT_LIST_BY_INDEX) == 0 || nameKind == 0 || arg2 == nullptr) {
    return FEntries.ListDevices(arg1, arg2, flags);
  }
  char name[kLibraryNameBufferSize] = {};
  const FT_STATUS status = FEntries.ListDevices(arg1, name, flags);
  if (status == FT_OK) {
    const size_t length = strnlen(name, kD2xxNameSize - 1);
    std::memcpy(arg2, name, length);
    static_cast<char*>(arg2)[length] = 0;
  }
  return status;
}

FT_STATUS TVendorD2xx::FT_Open(int32_t deviceNumber, FT_HANDLE* handle) {
  if (handle == nullptr) {
    return FT_INVALID_PARAMETER;
  }
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  const FT_STATUS status = FEntries.Open(deviceNumber, &libraryHandle);
  if (status != FT_OK) {
    return status;
  }
  // A library handle is mapped once: an id left over for the same value
  // (the library reused it) is dropped first.
  std::erase_if(FHandles, [&](const auto& entry) { return entry.second == libraryHandle; });
  while (FNextId == 0 || FHandles.contains(FNextId)) {
    ++FNextId;
  }
  const FT_HANDLE id = FNextId++;
  FHandles.emplace(id, libraryHandle);
  *handle = id;
  return FT_OK;
}

FT_STATUS TVendorD2xx::FT_Close(FT_HANDLE handle) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  // Nothing in the program closes a handle twice or retries a failed close,
  // so the id is forgotten whatever the answer.
  FHandles.erase(handle);
  return FEntries.Close(libraryHandle);
}

FT_STATUS TVendorD2xx::FT_Read(FT_HANDLE handle,
                               void* buffer,
                               uint32_t bytesToRead,
                               uint32_t* bytesReturned) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  return FEntries.Read(libraryHandle, buffer, bytesToRead, bytesReturned);
}

FT_STATUS TVendorD2xx::FT_Write(FT_HANDLE handle,
                                const void* buffer,
                                uint32_t bytesToWrite,
                                uint32_t* bytesWritten) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  // The library's parameter is not const, but it only reads the bytes.
  return FEntries.Write(libraryHandle, const_cast<void*>(buffer), bytesToWrite, bytesWritten);
}

FT_STATUS TVendorD2xx::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  return FEntries.Purge(libraryHandle, mask);
}

FT_STATUS TVendorD2xx::FT_ResetDevice(FT_HANDLE handle) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  return FEntries.ResetDevice(libraryHandle);
}

FT_STATUS TVendorD2xx::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  return FEntries.SetLatencyTimer(libraryHandle, timer);
}

FT_STATUS TVendorD2xx::FT_SetTimeouts(FT_HANDLE handle,
                                      uint32_t readTimeout,
                                      uint32_t writeTimeout) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  return FEntries.SetTimeouts(libraryHandle, readTimeout, writeTimeout);
}

FT_STATUS TVendorD2xx::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
  FT_VENDOR_HANDLE libraryHandle = nullptr;
  if (!Find(handle, libraryHandle)) {
    return FT_INVALID_HANDLE;
  }
  return FEntries.GetQueueStatus(libraryHandle, rxBytes);
}

std::unique_ptr<TD2xx> SelectD2xxBackend(std::string* note, const std::string& vendorLibrary) {
  std::string error;
  if (auto vendor = TVendorD2xx::Load(vendorLibrary, &error)) {
    if (note != nullptr) {
      *note = "D2XX library " + vendorLibrary + " loaded";
    }
    return vendor;
  }
  if (note != nullptr) {
    *note = error + "; no instruments can be reached";
  }
  return nullptr;
}

}  // namespace usb
