#include "platform/DeviceChangeUdev.h"

#include <libudev.h>
#include <poll.h>

#include <cerrno>
#include <charconv>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/DeviceChange.h"
#include "platform/Event.h"

namespace platform {
namespace {

struct TUdevUnref {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
};
template <typename T>
using TUdevPtr = std::unique_ptr<T, TUdevUnref>;

std::string_view Text(const char* value) {
  return value != nullptr ? std::string_view(value) : std::string_view();
}

std::string_view Property(udev_device* device, const char* name) {
  return Text(udev_device_get_property_value(device, name));
}

// What the device tells about itself. Reading a sysfs attribute works only
// while the device is present, i.e. for an arrival or at enumeration.
bool IdentifyDevice(udev_device* device, bool present, TUsbDeviceIdentity* identity) {
  uint16_t productVid = 0;
  uint16_t productPid = 0;
  const bool hasProduct =
      ParseUsbProductProperty(Property(device, "PRODUCT"), &productVid, &productPid);

  auto readId = [&](const char* property, const char* attribute, uint16_t fromProduct,
                    uint16_t* value) {
    if (ParseUsbId(Property(device, property), value)) {
      return true;
    }
    if (hasProduct) {
      *value = fromProduct;
      return true;
    }
    return present && ParseUsbId(Text(udev_device_get_sysattr_value(device, attribute)), value);
  };
  if (!readId("ID_VENDOR_ID", "idVendor", productVid, &identity->Vid) ||
      !readId("ID_MODEL_ID", "idProduct", productPid, &identity->Pid)) {
    return false;
  }

  // The raw serial attribute is what the instrument's driver lists as well;
  // udev's ID_SERIAL_SHORT replaces blanks and unusual characters.
  std::string_view serial;
  if (present) {
    serial = Text(udev_device_get_sysattr_value(device, "serial"));
  }
  if (serial.empty()) {
    serial = Property(device, "ID_SERIAL_SHORT");
  }
  if (serial.empty()) {
    // A device without a serial number gets its location, as the desktop
    // system does for such devices.
    serial = Text(udev_device_get_sysname(device));
  }
  identity->InstanceId.assign(serial);
  return true;
}

}  // namespace

bool ParseUsbId(std::string_view text, uint16_t* value) {
  if (text.empty() || text.size() > 4) {
    return false;
  }
  uint16_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed, 16);
  if (error != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseUsbProductProperty(std::string_view product, uint16_t* vid, uint16_t* pid) {
  const size_t first = product.find('/');
  if (first == std::string_view::npos) {
    return false;
  }
  std::string_view rest = product.substr(first + 1);
  rest = rest.substr(0, rest.find('/'));  // the release, when present, follows
  uint16_t v = 0;
  uint16_t p = 0;
  if (!ParseUsbId(product.substr(0, first), &v) || !ParseUsbId(rest, &p)) {
    return false;
  }
  *vid = v;
  *pid = p;
  return true;
}

struct TUdevDeviceSource::TImpl {
  TSink Sink;
  TUdevPtr<udev> Udev;
  TUdevPtr<udev_monitor> Monitor;
  TEvent Stop;
  // Devices seen, by device path: what their arrival (or the enumeration at
  // start) reported. Touched only by the thread once it runs.
  std::unordered_map<std::string, TUsbDeviceIdentity> Known;
  std::thread Thread;

  // Under UdevLibraryLock.
  void ReleaseUdev() {
    Monitor.reset();
    Udev.reset();
  }

  // Under UdevLibraryLock, before the thread starts.
  void Enumerate() {
    TUdevPtr<udev_enumerate> enumerate(udev_enumerate_new(Udev.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "usb_device") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
      return;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
      TUdevPtr<udev_device> device(
          udev_device_new_from_syspath(Udev.get(), udev_list_entry_get_name(entry)));
      if (!device) {
        continue;  // gone meanwhile
      }
      TUsbDeviceIdentity identity;
      const std::string_view devpath = Text(udev_device_get_devpath(device.get()));
      if (!devpath.empty() && IdentifyDevice(device.get(), true, &identity)) {
        Known[std::string(devpath)] = std::move(identity);
      }
    }
  }

  // The report for one event, if it is an arrival or removal of a device.
  bool Handle(udev_device* device, uint32_t* code, TUsbDeviceIdentity* identity) {
    // The monitor's filter already matches subsystem and device type, but a
    // filter is only a hint to the kernel socket: check again.
    if (Text(udev_device_get_subsystem(device)) != "usb" ||
        Text(udev_device_get_devtype(device)) != "usb_device") {
      return false;
    }
    const std::string_view action = Text(udev_device_get_action(device));
    const std::string devpath(Text(udev_device_get_devpath(device)));
    if (action == "add") {
      if (!IdentifyDevice(device, true, identity)) {
        return false;
      }
      if (!devpath.empty()) {
        Known[devpath] = *identity;
      }
      *code = DBT_DEVICEARRIVAL;
      return true;
    }
    if (action == "remove") {
      const auto known = Known.find(devpath);
      if (known != Known.end()) {
        *identity = std::move(known->second);
        Known.erase(known);
      } else if (!IdentifyDevice(device, false, identity)) {
        return false;
      }
      *code = DBT_DEVICEREMOVECOMPLETE;
      return true;
    }
    return false;  // bind, unbind, change, move: no arrival or removal of an interface
  }

  void Run(int monitorFd) {
    pollfd fds[2] = {{Stop.WaitHandle().Fd, POLLIN, 0}, {monitorFd, POLLIN, 0}};
    for (;;) {
      const int ready = ::poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      if (fds[0].revents != 0) {
        return;
      }
      if ((fds[1].revents & POLLNVAL) != 0 ||
          (fds[1].revents & (POLLHUP | POLLIN | POLLERR)) == POLLHUP) {
        return;  // the socket is unusable: no more events will come
      }
      if ((fds[1].revents & (POLLIN | POLLERR)) != 0) {
        uint32_t code = 0;
        TUsbDeviceIdentity identity;
        bool report = false;
        {
          std::lock_guard<std::mutex> lock(UdevLibraryLock());
          // A null device is an overrun (ENOBUFS) or a message that failed
          // the sender check; both are consumed by the receive.
          TUdevPtr<udev_device> device(udev_monitor_receive_device(Monitor.get()));
          report = device && Handle(device.get(), &code, &identity);
        }
        if (report) {
          Sink(code, identity);
        }
      }
    }
  }
};

TUdevDeviceSource::TUdevDeviceSource(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}

std::unique_ptr<TUdevDeviceSource> TUdevDeviceSource::Start(TSink sink) {
  auto impl = std::make_unique<TImpl>();
  impl->Sink = std::move(sink);
  int monitorFd = -1;
  {
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    impl->Udev.reset(udev_new());
    if (impl->Udev) {
      impl->Monitor.reset(udev_monitor_new_from_netlink(impl->Udev.get(), "udev"));
    }
    if (!impl->Monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(impl->Monitor.get(), "usb", "usb_device") <
            0 ||
        udev_monitor_enable_receiving(impl->Monitor.get()) < 0) {
      impl->ReleaseUdev();
      return nullptr;
    }
    monitorFd = udev_monitor_get_fd(impl->Monitor.get());
    // After enabling the monitor, so that a device that arrives in between is
    // either enumerated or reported (or both; a second arrival only refreshes
    // what is remembered of it).
    impl->Enumerate();
  }
  TImpl* raw = impl.get();
  impl->Thread = std::thread([raw, monitorFd] { raw->Run(monitorFd); });
  return std::unique_ptr<TUdevDeviceSource>(new TUdevDeviceSource(std::move(impl)));
}

TUdevDeviceSource::~TUdevDeviceSource() {
  FImpl->Stop.Set();
  FImpl->Thread.join();
  std::lock_guard<std::mutex> lock(UdevLibraryLock());
  FImpl->ReleaseUdev();
}

std::mutex& UdevLibraryLock() {
  // Never destroyed: sources still running at exit stop after static
  // destruction has begun, and they take this lock to release their monitor.
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

}  // namespace platform
