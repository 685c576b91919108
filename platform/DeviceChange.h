#pragma once
// Device-change notifications for hidden windows.
//
// A window registers for notifications about USB device interfaces and then
// receives WM_DEVICECHANGE with the event code in wParam and, for arrival and
// removal, a broadcast record in lParam: a DEV_BROADCAST_DEVICEINTERFACE whose
// name has the desktop form
//   \\?\USB#VID_0403&PID_E758#<instance id>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
// where the instance id is the device's serial number.
//
// Sources of notifications:
// - a udev monitor (the "udev" source: events after udev has processed them)
//   for every registration: add and remove of every USB device (subsystem usb,
//   device type usb_device), whatever its vendor and product, so that the
//   recipient does its own filtering;
// - BroadcastUsbDeviceChange / BroadcastDeviceChange, which any thread may call
//   (the simulated bench raises its plug and unplug through them).
//
// Delivery. Notifications are queued per registration, in the order they were
// raised, and handed to the window on its owner thread while that thread
// dispatches posted messages (PeekMessage/DispatchMessage, PumpMessages): a
// hidden relay window of the owner thread calls the window's procedure for
// each one. The record stays valid while the procedure runs and is freed when
// it returns; records still queued when the registration ends are freed with
// it. A raiser never waits for a recipient, so raising from any thread, under
// any lock, cannot deadlock.
//
// Threads. RegisterDeviceNotification must be called on the thread that owns
// the recipient window. A registration may be ended on any thread; ended on
// the owner thread, nothing is delivered after UnregisterDeviceNotification
// returns (a notification being delivered at that moment completes first,
// since it runs on that very thread). When the recipient window is destroyed,
// its registration ends by itself at the next notification.
//
// With no udev daemon running (a container), the udev source sees nothing;
// the registration works all the same for the other source.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/Messages.h"

namespace platform {

// Event codes (wParam of WM_DEVICECHANGE).
constexpr uint32_t DBT_DEVNODES_CHANGED = 0x0007;
constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uint32_t DBT_DEVICEQUERYREMOVE = 0x8001;
constexpr uint32_t DBT_DEVICEQUERYREMOVEFAILED = 0x8002;
constexpr uint32_t DBT_DEVICEREMOVEPENDING = 0x8003;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr uint32_t DBT_DEVICETYPESPECIFIC = 0x8005;
constexpr uint32_t DBT_CUSTOMEVENT = 0x8006;

// Record types (dbch_devicetype).
constexpr uint32_t DBT_DEVTYP_OEM = 0;
constexpr uint32_t DBT_DEVTYP_VOLUME = 2;
constexpr uint32_t DBT_DEVTYP_PORT = 3;
constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
constexpr uint32_t DBT_DEVTYP_HANDLE = 6;

// Registration flags.
constexpr uint32_t DEVICE_NOTIFY_WINDOW_HANDLE = 0;
constexpr uint32_t DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 4;

// Plain data like the records that carry it (copied with memcpy).
struct TGUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
  bool operator==(const TGUID&) const = default;
};
static_assert(sizeof(TGUID) == 16);
static_assert(std::is_trivial_v<TGUID>);

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
inline constexpr TGUID GUID_DEVINTERFACE_USB_DEVICE{
    0xA5DCBF10,
    0x6530,
    0x11D2,
    {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Record layouts as the desktop system publishes them (sizes included).
struct DEV_BROADCAST_HDR {
  uint32_t dbch_size;
  uint32_t dbch_devicetype;
  uint32_t dbch_reserved;
};
static_assert(sizeof(DEV_BROADCAST_HDR) == 12);

struct DEV_BROADCAST_DEVICEINTERFACE {
  uint32_t dbcc_size;
  uint32_t dbcc_devicetype;
  uint32_t dbcc_reserved;
  TGUID dbcc_classguid;
  char16_t dbcc_name[1];  // UTF-16, ended by 0; the record extends past the struct
};
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE) == 32);
static_assert(std::is_trivial_v<DEV_BROADCAST_DEVICEINTERFACE>);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE, dbcc_name) == 28);

struct DEV_BROADCAST_VOLUME {
  uint32_t dbcv_size;
  uint32_t dbcv_devicetype;
  uint32_t dbcv_reserved;
  uint32_t dbcv_unitmask;
  uint16_t dbcv_flags;
};
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20);

// An owned, zero-padded copy of a broadcast record. Empty means "no record"
// (lParam 0). The storage is at least as large as DEV_BROADCAST_DEVICEINTERFACE
// and suitably aligned, so the header can always be read.
class TDeviceBroadcastRecord {
 public:
  TDeviceBroadcastRecord() = default;
  explicit TDeviceBroadcastRecord(std::span<const std::byte> bytes);
  TDeviceBroadcastRecord(TDeviceBroadcastRecord&&) noexcept = default;
  TDeviceBroadcastRecord& operator=(TDeviceBroadcastRecord&&) noexcept = default;

  bool IsEmpty() const { return FSize == 0; }
  std::size_t Size() const { return FSize; }
  const DEV_BROADCAST_HDR* Header() const;  // nullptr when empty
  std::span<const std::byte> Bytes() const;
  intptr_t LParam() const { return reinterpret_cast<intptr_t>(Header()); }

 private:
  std::unique_ptr<uint64_t[]> FWords;
  std::size_t FSize = 0;
};

// The device interface name of a USB device: VID and PID as four upper-case
// hex digits, the instance id as given.
std::u16string UsbDeviceInterfaceName(uint16_t vid, uint16_t pid, std::string_view instanceId);

// A DEV_BROADCAST_DEVICEINTERFACE of class GUID_DEVINTERFACE_USB_DEVICE carrying
// UsbDeviceInterfaceName; dbcc_size counts the name and its ending 0.
TDeviceBroadcastRecord MakeUsbDeviceInterfaceRecord(uint16_t vid,
                                                    uint16_t pid,
                                                    std::string_view instanceId);
// The same for any name.
TDeviceBroadcastRecord MakeDeviceInterfaceRecord(const TGUID& classGuid, std::u16string_view name);

// The name carried by a device-interface record, read up to its ending 0 but
// never past dbch_size; empty for a null pointer or another record type.
std::u16string ReadDeviceInterfaceName(const DEV_BROADCAST_HDR* header);

// Text conversions for interface names. Invalid input (bad UTF-8, unpaired
// surrogates) becomes U+FFFD; nothing is dropped silently.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// A registration, 0 for none.
using TDeviceNotifyHandle = uint32_t;

// Ends the registration; false when there is no such registration (already
// ended, or ended by the destruction of its window).
bool UnregisterDeviceNotification(TDeviceNotifyHandle handle);

// Move-only owner of a registration; ends it on destruction.
class TScopedDeviceNotification {
 public:
  TScopedDeviceNotification() = default;
  explicit TScopedDeviceNotification(TDeviceNotifyHandle handle) : FHandle(handle) {}
  TScopedDeviceNotification(TScopedDeviceNotification&& other) noexcept
      : FHandle(other.Release()) {}
  TScopedDeviceNotification& operator=(TScopedDeviceNotification&& other) noexcept {
    if (this != &other) {
      Close();
      FHandle = other.Release();
    }
    return *this;
  }
  TScopedDeviceNotification(const TScopedDeviceNotification&) = delete;
  TScopedDeviceNotification& operator=(const TScopedDeviceNotification&) = delete;
  ~TScopedDeviceNotification() { Close(); }

  TDeviceNotifyHandle Get() const { return FHandle; }
  bool IsValid() const { return FHandle != 0; }
  explicit operator bool() const { return IsValid(); }
  [[nodiscard]] TDeviceNotifyHandle Release() { return std::exchange(FHandle, 0); }
  void Close() {
    if (FHandle != 0) {
      UnregisterDeviceNotification(std::exchange(FHandle, 0));
    }
  }

 private:
  TDeviceNotifyHandle FHandle = 0;
};

// Registers recipient (a window of the calling thread) for device-interface
// notifications. filter must point to a DEV_BROADCAST_DEVICEINTERFACE with
// dbcc_size of at least 32, dbcc_devicetype DBT_DEVTYP_DEVICEINTERFACE and
// dbcc_classguid GUID_DEVINTERFACE_USB_DEVICE (any class with
// DEVICE_NOTIFY_ALL_INTERFACE_CLASSES); flags DEVICE_NOTIFY_WINDOW_HANDLE,
// optionally with DEVICE_NOTIFY_ALL_INTERFACE_CLASSES. Returns an invalid
// registration for anything else. Raises EOSError when the relay window cannot
// be made. Failure to start the udev source is not an error: the registration
// then gets the broadcast source only.
TScopedDeviceNotification RegisterDeviceNotification(TWindowHandle recipient,
                                                     const void* filter,
                                                     uint32_t flags);

// Queues a notification for every registered window, with a copy of record
// (empty: lParam 0) each. Any thread. Returns the number of registrations it
// was queued for.
int BroadcastDeviceChange(uint32_t eventCode, std::span<const std::byte> record);

// Queues an arrival or removal (or any event code) of the USB device vid:pid
// with the given instance id for every registered window. Any thread.
int BroadcastUsbDeviceChange(uint32_t eventCode,
                             uint16_t vid,
                             uint16_t pid,
                             std::string_view instanceId);

}  // namespace platform
