#pragma once
// The udev source of device-change notifications (internal to the platform
// layer; DeviceChange.h is the public side).
//
// A TUdevDeviceSource watches the "udev" netlink source (events after udev has
// processed them, with the properties udev attached) for add and remove of USB
// devices (subsystem usb, device type usb_device) and reports each one to its
// sink on its own thread. The instance id is the device's serial number; a
// removal reports the identity its arrival reported (remembered per device
// path, also for devices present when monitoring started), so that a removal
// always matches its arrival even when udev sends fewer properties with it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

struct TUsbDeviceIdentity {
  uint16_t Vid = 0;
  uint16_t Pid = 0;
  std::string InstanceId;
  bool operator==(const TUsbDeviceIdentity&) const = default;
};

// "0403" -> 0x0403. False for anything but one to four hex digits.
bool ParseUsbId(std::string_view text, uint16_t* value);
// The kernel's PRODUCT property, "403/e758/600" (vendor/product/release in
// hex without leading zeros; the release may be missing) -> vendor and product.
bool ParseUsbProductProperty(std::string_view product, uint16_t* vid, uint16_t* pid);

// libudev keeps process-wide state that it initialises without a lock (the
// seed of its hash tables, filled on first use), so two threads that call it
// at the same time race even on separate contexts. Every libudev call made by
// this program, and by libraries it drives (umockdev's test bed in tests),
// is made under this lock.
std::mutex& UdevLibraryLock();

class TUdevDeviceSource {
 public:
  // eventCode is DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE. Called on the
  // source's thread; must not block for long and must not end the source.
  using TSink = std::function<void(uint32_t eventCode, const TUsbDeviceIdentity& device)>;

  // Creates the monitor and starts the thread; events that happen after Start
  // returns are reported. nullptr when libudev cannot give a monitor.
  static std::unique_ptr<TUdevDeviceSource> Start(TSink sink);

  TUdevDeviceSource(const TUdevDeviceSource&) = delete;
  TUdevDeviceSource& operator=(const TUdevDeviceSource&) = delete;
  // Stops the thread and waits for it; the sink is not called afterwards. Any
  // thread but the source's own.
  ~TUdevDeviceSource();

 private:
  struct TImpl;
  explicit TUdevDeviceSource(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace platform
