#pragma once
// TComponentUSB (module U_Usb): tells its owner when an instrument is plugged
// in or pulled out.
//
// The component owns a hidden window of the thread that creates it, registers
// that window for USB device-interface notifications, and turns each arrival
// or removal of a device whose hardware id is "Vid_0403&Pid_e758" (in any
// letter case) into OnUSBArrival or OnUSBRemove, with the parts of the
// device's interface name:
//   \\?\USB#VID_0403&PID_E758#QN000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
//           ^ ADevType        ^ ADriverName (the serial number)
// AFriendlyName is always empty. Every other notification is ignored without
// a trace. The component knows nothing of the instruments' driver library.
//
// Threads: create, use and destroy the component on one thread, the one whose
// message loop runs (the main thread). The events are raised there, inside the
// window's procedure, while that thread dispatches its messages. No locking.
//
// An exception that escapes an event handler goes to OnException with the
// component as sender (written to standard error when OnException is empty),
// and the component stays usable. A handler may destroy the component.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/DeviceChange.h"
#include "platform/Messages.h"

namespace usb {

using platform::TMessage;

class TComponentUSB;

using TOnUsbChangeEvent = std::function<void(TComponentUSB& AObject,
                                             const std::string& ADevType,
                                             const std::string& ADriverName,
                                             const std::string& AFriendlyName)>;
// The application's central exception handler, as far as the component is
// concerned: it receives what escaped an event handler.
using TOnUsbException = std::function<void(TComponentUSB& Sender, const std::exception& E)>;

// The instruments' hardware id, compared without regard to ASCII letter case.
inline constexpr char kInstrumentHardwareId[] = "Vid_0403&Pid_e758";

class TComponentUSB {
 public:
  // Creates the hidden window and registers it. A refused registration is not
  // reported: the component then never sees a notification. Raises
  // platform::EOSError when the window cannot be made.
  TComponentUSB();
  TComponentUSB(const TComponentUSB&) = delete;
  TComponentUSB& operator=(const TComponentUSB&) = delete;
  // Ends the registration and releases the window. On the creating thread.
  virtual ~TComponentUSB();

  TOnUsbChangeEvent OnUSBArrival;
  TOnUsbChangeEvent OnUSBRemove;
  TOnUsbException OnException;

  platform::TWindowHandle WindowHandle() const { return FWindowHandle; }

  // Splits a device interface name at its "#" separators: ADevType is the
  // second segment, ADriverName the third, AFriendlyName stays empty. Each
  // remainder is cut to 1026 characters before it is split, and a segment
  // that no "#" ends comes out empty. UTF-16 in, UTF-8 out.
  static void ParseDeviceName(std::u16string_view name,
                              std::string& ADevType,
                              std::string& ADriverName,
                              std::string& AFriendlyName);

 protected:
  // The hidden window's procedure: WM_DEVICECHANGE goes to WMDeviceChange
  // under an exception guard (Result stays 0); everything else to the default
  // procedure.
  void WndProc(TMessage& message);
  // Raises the events for arrival and removal of an instrument.
  virtual void WMDeviceChange(TMessage& message);
  // True when the registration of FWindowHandle was accepted.
  bool RegisterUsbNotification();

 private:
  static intptr_t WindowProc(void* context,
                             platform::TWindowHandle window,
                             uint32_t msg,
                             uintptr_t wParam,
                             intptr_t lParam);
  void HandleException(const std::exception& error);

  platform::TWindowHandle FWindowHandle = 0;
  platform::TScopedDeviceNotification FNotification;
  // Cleared by the destructor: lets a procedure that is still on the stack
  // find out that a handler destroyed the component.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

}  // namespace usb
