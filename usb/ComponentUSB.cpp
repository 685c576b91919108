#include "usb/ComponentUSB.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace usb {
namespace {

constexpr char kWindowClass[] = "TComponentUSBWindow";
constexpr size_t kSegmentLimit = 1026;

// Only the ASCII letters a to z change, so no other character can turn into
// one of the hardware id's letters.
std::string AsciiUpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return result;
}

// The text after the first "#" (all of it when there is none), cut to the
// segment limit.
std::u16string_view AfterFirstHash(std::u16string_view text) {
  const size_t hash = text.find(u'#');
  const std::u16string_view rest = hash == std::u16string_view::npos ? text : text.substr(hash + 1);
  return rest.substr(0, kSegmentLimit);
}

}  // namespace

TComponentUSB::TComponentUSB() {
  platform::TWndProc classProc;
  if (!platform::GetWindowClassInfo(kWindowClass, &classProc)) {
    // Another thread may register it first; the class exists either way.
    platform::RegisterWindowClass(kWindowClass, platform::kDefWindowProc);
  }
  FWindowHandle = platform::CreateWindow(kWindowClass);
  platform::SetWindowProc(FWindowHandle, {&TComponentUSB::WindowProc, this});
  RegisterUsbNotification();
}

TComponentUSB::~TComponentUSB() {
  *FAlive = false;
  FNotification.Close();
  if (!platform::DestroyWindow(FWindowHandle) && platform::IsWindow(FWindowHandle)) {
    // The window would outlive the object its procedure points to.
    std::fprintf(stderr, "TComponentUSB destroyed on a thread that does not own its window\n");
    std::abort();
  }
}

bool TComponentUSB::RegisterUsbNotification() {
  platform::DEV_BROADCAST_DEVICEINTERFACE filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = platform::DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = platform::GUID_DEVINTERFACE_USB_DEVICE;
  try {
    FNotification = platform::RegisterDeviceNotification(FWindowHandle, &filter,
                                                         platform::DEVICE_NOTIFY_WINDOW_HANDLE);
  } catch (const std::exception&) {
    FNotification.Close();  // the system could not take the registration
  }
  return FNotification.IsValid();
}

intptr_t TComponentUSB::WindowProc(void* context,
                                   platform::TWindowHandle,
                                   uint32_t msg,
                                   uintptr_t wParam,
                                   intptr_t lParam) {
  TMessage message;
  message.Msg = msg;
  message.WParam = wParam;
  message.LParam = lParam;
  static_cast<TComponentUSB*>(context)->WndProc(message);
  return message.Result;
}

void TComponentUSB::WndProc(TMessage& message) {
  if (message.Msg != platform::WM_DEVICECHANGE) {
    message.Result = platform::DefWindowProc(nullptr, FWindowHandle, message.Msg, message.WParam,
                                             message.LParam);
    return;
  }
  // A handler may destroy the component; after an exception, only a living
  // component reports it.
  const std::shared_ptr<bool> alive = FAlive;
  try {
    WMDeviceChange(message);
  } catch (const std::exception& e) {
    if (*alive) {
      HandleException(e);
    } else {
      std::fprintf(stderr, "TComponentUSB: %s\n", e.what());
    }
  } catch (...) {
    const std::runtime_error unknown("Unknown exception in a USB event handler");
    if (*alive) {
      HandleException(unknown);
    } else {
      std::fprintf(stderr, "TComponentUSB: %s\n", unknown.what());
    }
  }
}

void TComponentUSB::HandleException(const std::exception& error) {
  const TOnUsbException handler = OnException;
  if (!handler) {
    std::fprintf(stderr, "TComponentUSB: %s\n", error.what());
    return;
  }
  // The handler's own failure must not leave the window procedure either.
  try {
    handler(*this, error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TComponentUSB: %s (while reporting: %s)\n", e.what(), error.what());
  } catch (...) {
    std::fprintf(stderr, "TComponentUSB: exception while reporting: %s\n", error.what());
  }
}

void TComponentUSB::WMDeviceChange(TMessage& message) {
  const auto code = static_cast<uint32_t>(message.WParam);
  if (code != platform::DBT_DEVICEARRIVAL && code != platform::DBT_DEVICEREMOVECOMPLETE) {
    return;
  }
  const auto* header = reinterpret_cast<const platform::DEV_BROADCAST_HDR*>(message.LParam);
  if (header == nullptr || header->dbch_devicetype != platform::DBT_DEVTYP_DEVICEINTERFACE) {
    return;
  }
  std::string devType;
  std::string driverName;
  std::string friendlyName;
  ParseDeviceName(platform::ReadDeviceInterfaceName(header), devType, driverName, friendlyName);
  if (AsciiUpperCase(devType) != AsciiUpperCase(kInstrumentHardwareId)) {
    return;
  }
  // A copy: the handler may reassign the event or destroy the component.
  const TOnUsbChangeEvent handler =
      code == platform::DBT_DEVICEARRIVAL ? OnUSBArrival : OnUSBRemove;
  if (handler) {
    handler(*this, devType, driverName, friendlyName);
  }
}

void TComponentUSB::ParseDeviceName(std::u16string_view name,
                                    std::string& ADevType,
                                    std::string& ADriverName,
                                    std::string& AFriendlyName) {
  ADevType.clear();
  ADriverName.clear();
  AFriendlyName.clear();
  if (name.empty()) {
    return;
  }
  std::u16string_view rest = AfterFirstHash(name);
  size_t hash = rest.find(u'#');
  if (hash == std::u16string_view::npos) {
    return;  // no segment ends: both stay empty
  }
  ADevType = platform::Utf16ToUtf8(rest.substr(0, hash));
  rest = AfterFirstHash(rest);
  hash = rest.find(u'#');
  if (hash != std::u16string_view::npos) {
    ADriverName = platform::Utf16ToUtf8(rest.substr(0, hash));
  }
}

}  // namespace usb
