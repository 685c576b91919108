#pragma once
// The D2XX backend over the vendor's library, loaded at run time.
//
// The library (libftd2xx.so) is not needed to build or start the program:
// Load opens it with the dynamic loader and looks up its ten entry points; a
// missing library or entry point gives a "not available" text, never a crash.
//
// The library's handles are pointers, while clients carry 32-bit handles, so
// each open handle is given a 32-bit id (counting up from 1, never 0) and
// only ids cross this interface. A call with an id this backend did not hand
// out fails with FT_INVALID_HANDLE without reaching the library, so a client's
// stray handle never becomes a stray pointer. FT_Close forgets the id whatever
// the library answers.
//
// Main thread only, like the wrapper that calls it. The library stays loaded
// until the backend is destroyed; handles still open then are left to the
// library, as the wrapper closes nothing at the end of the run.

#include <memory>
#include <string>
#include <unordered_map>

#include "usb/D2xx.h"
#include "usb/VendorD2xxApi.h"

namespace usb {

inline constexpr const char* kVendorD2xxLibrary = "libftd2xx.so";

class TVendorD2xx final : public TD2xx {
 public:
  // Loads the library from path (a bare file name is searched for as the
  // dynamic loader does). nullptr when the library or one of its entry points
  // is missing; error then says which.
  static std::unique_ptr<TVendorD2xx> Load(const std::string& path, std::string* error);

  TVendorD2xx(const TVendorD2xx&) = delete;
  TVendorD2xx& operator=(const TVendorD2xx&) = delete;
  ~TVendorD2xx() override;

  // Ids handed out and not yet closed.
  size_t OpenHandleCount() const { return FHandles.size(); }

  FT_STATUS FT_ListDevices(void* arg1, void* arg2, uint32_t flags) override;
  FT_STATUS FT_Open(int32_t deviceNumber, FT_HANDLE* handle) override;
  FT_STATUS FT_Close(FT_HANDLE handle) override;
  FT_STATUS FT_Read(FT_HANDLE handle,
                    void* buffer,
                    uint32_t bytesToRead,
                    uint32_t* bytesReturned) override;
  FT_STATUS FT_Write(FT_HANDLE handle,
                     const void* buffer,
                     uint32_t bytesToWrite,
                     uint32_t* bytesWritten) override;
  FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
  FT_STATUS FT_ResetDevice(FT_HANDLE handle) override;
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer) override;
  FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout) override;
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) override;

 private:
  struct TEntryPoints {
    TFT_ListDevices ListDevices = nullptr;
    TFT_Open Open = nullptr;
    TFT_Close Close = nullptr;
    TFT_Read Read = nullptr;
    TFT_Write Write = nullptr;
    TFT_Purge Purge = nullptr;
    TFT_ResetDevice ResetDevice = nullptr;
    TFT_SetLatencyTimer SetLatencyTimer = nullptr;
    TFT_SetTimeouts SetTimeouts = nullptr;
    TFT_GetQueueStatus GetQueueStatus = nullptr;
  };
  struct TLibraryCloser {
    void operator()(void* library) const;
  };
  using TScopedLibrary = std::unique_ptr<void, TLibraryCloser>;

  TVendorD2xx(TScopedLibrary library, const TEntryPoints& entries);

  // The library's handle for an id; false for an id not handed out.
  bool Find(FT_HANDLE handle, FT_VENDOR_HANDLE& libraryHandle) const;

  TScopedLibrary FLibrary;
  TEntryPoints FEntries;
  std::unordered_map<FT_HANDLE, FT_VENDOR_HANDLE> FHandles;
  FT_HANDLE FNextId = 1;
};

// The backend of the production program: the vendor library when it can be
// loaded, otherwise none (nullptr, so every call finds no device). The
// simulated bench is never chosen. note receives one line naming the backend
// chosen or saying why there is none.
std::unique_ptr<TD2xx> SelectD2xxBackend(std::string* note,
                                         const std::string& vendorLibrary = kVendorD2xxLibrary);

}  // namespace usb
