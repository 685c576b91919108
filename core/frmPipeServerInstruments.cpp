// The instrument table: USB Test, Poll USB, arrival and removal of instruments.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/frmPipeServer.h"
#include "usb/FtdiWrapper.h"

namespace core {

namespace {

constexpr uint8_t kProbeByte = 0x82;

// "ReadByte:  %d" on USB Test and arrival: no read takes place there, so the
// line shows the value a read reports when no byte arrives.
constexpr int32_t kNoReadValue = 0;

// One dash, "USB Open ", 46 dashes; one dash, "USB Close", two blanks, 40 dashes.
constexpr char kOpenRule[] = "-USB Open ----------------------------------------------";
constexpr char kCloseRule[] = "-USB Close  ----------------------------------------";
static_assert(sizeof(kOpenRule) - 1 == 10 + 46);
static_assert(sizeof(kCloseRule) - 1 == 12 + 40);

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

void SwitchPair(TImage& on, TImage& off, bool switchOn) {
  on.SetVisible(switchOn);
  off.SetVisible(!switchOn);
}

// The family pictures that a description selects. USB Test does not count
// "QN445" as a QN410; arrival and removal do.
enum class TFamilyColumn { UsbTest, HotPlug };

void SwitchFamilies(TfrmPipeServer& form,
                    const std::string& desc,
                    TFamilyColumn column,
                    bool switchOn) {
  if (Contains(desc, "QN41") || Contains(desc, "QN2208") ||
      (column == TFamilyColumn::HotPlug && Contains(desc, "QN445"))) {
    SwitchPair(form.imgQN410On, form.imgQN410Off, switchOn);
  }
  if (Contains(desc, "QN63")) {
    SwitchPair(form.imgQN633On, form.imgQN633Off, switchOn);
  }
  if (Contains(desc, "QN42")) {
    SwitchPair(form.imgQN420On, form.imgQN420Off, switchOn);
  }
}

std::string ListLine(const TUSB_DeviceRecord& device) {
  return " " + device.deviceDesc + " : " + device.serialNumberUSB;
}

// Before an entry is filled again: what becomes of the handle it still holds.
enum class TEarlierHandle {
  // No handle, or the handle of another instrument that is still attached
  // (the enumeration order changed); the entry is filled as usual.
  None,
  // The same instrument is still open under the entry's handle: opening it
  // again would fail and lose the handle that clients hold, so it is kept.
  Keep,
  // The handle no longer answers (its instrument went away without a removal
  // being seen): it has been closed, and the entry is opened afresh.
  Closed,
};

TEarlierHandle SettleEarlierHandle(TUSB_DeviceRecord& device,
                                   int32_t index,
                                   const std::string& listedSerial) {
  if (!device.deviceOpened || device.USBHandle == 0) {
    return TEarlierHandle::None;
  }
  ftdi::CurrentHandle = device.USBHandle;
  if (ftdi::GetQueueStatus() == 0) {
    return device.serialNumberUSB == listedSerial ? TEarlierHandle::Keep : TEarlierHandle::None;
  }
  // A handle that cannot even report its queue serves no client either.
  ftdi::CurrentDeviceIndex = index;
  ftdi::CloseDevice();
  device.deviceOpened = false;
  device.USBHandle = 0;
  return TEarlierHandle::Closed;
}

// Opens the instrument listed at CurrentDeviceIndex for its entry, unless the
// entry keeps its earlier handle. Returns the status (0 for a kept handle).
int32_t OpenEntry(TUSB_DeviceRecord& device, TEarlierHandle earlier) {
  if (earlier == TEarlierHandle::Keep) {
    ftdi::CurrentHandle = device.USBHandle;
    return 0;
  }
  const int32_t status = ftdi::OpenDevice();
  if (status != 0) {
    device.deviceOpened = false;
    device.USBHandle = 0;
  } else {
    device.deviceOpened = true;
    device.USBHandle = ftdi::CurrentHandle;
  }
  return status;
}

void TakeDeviceCount(TfrmPipeServer& form) {
  ftdi::GetFTDeviceCount();
  // A count beyond the 32-bit signed range is no instrument count at all.
  form.USB_DeviceCount = static_cast<int32_t>(std::min<uint32_t>(ftdi::FT_DeviceCount, INT32_MAX));
}

}  // namespace

void TfrmPipeServer::CreateUsbNotifier() {
  usbD = std::make_unique<usb::TComponentUSB>();
  usbD->OnUSBArrival = [this](usb::TComponentUSB& sender, const std::string& devType,
                              const std::string& driverName, const std::string& friendlyName) {
    Guarded([&] { ComponentUSB2USBArrival(sender, devType, driverName, friendlyName); });
  };
  usbD->OnUSBRemove = [this](usb::TComponentUSB& sender, const std::string& devType,
                             const std::string& driverName, const std::string& friendlyName) {
    Guarded([&] { ComponentUSB2USBRemove(sender, devType, driverName, friendlyName); });
  };
}

void TfrmPipeServer::BindInstrumentCommands() {
  Button4.OnClick = [this](TControl& sender) { Guarded([&] { Button4Click(sender); }); };
  Button2.OnClick = [this](TControl& sender) { Guarded([&] { Button2Click(sender); }); };
}

void TfrmPipeServer::Button4Click(TComponent& /*sender*/) {
  statMemo.Clear();
  TakeDeviceCount(*this);
  Log("Device Count: %d", USB_DeviceCount);

  const int32_t listed = std::min(USB_DeviceCount, kUsbDeviceCapacity);
  for (int32_t i = 0; i < listed; ++i) {
    TUSB_DeviceRecord& device = USB_Devices[i];
    ftdi::CurrentDeviceIndex = i;
    ftdi::GetFTDeviceSerialNo(i);
    const TEarlierHandle earlier = SettleEarlierHandle(device, i, ftdi::FT_DeviceString);
    device.serialNumberUSB = ftdi::FT_DeviceString;
    ftdi::GetFTDeviceDescription(i);
    device.deviceDesc = ftdi::FT_DeviceString;
    OpenEntry(device, earlier);

    Log("Open USB Device, index:%d, Handle = %x", i, device.USBHandle);
    Log("serialNumberUSB = %s", device.serialNumberUSB.c_str());
    Log("Open USB Device deviceDesc %s", device.deviceDesc.c_str());
    Log("ReadByte:  %d", kNoReadValue);
    SwitchFamilies(*this, device.deviceDesc, TFamilyColumn::UsbTest, true);
    listboxInstruments.Add(ListLine(device));
  }
  if (USB_DeviceCount > kUsbDeviceCapacity) {
    // The table has no entry for them: an instrument opened there could be
    // recorded nowhere and nothing would ever close it.
    Log("# USB Device index:%d to %d not opened, the table holds %d", kUsbDeviceCapacity,
        USB_DeviceCount - 1, kUsbDeviceCapacity);
  }
}

void TfrmPipeServer::Button2Click(TComponent& /*sender*/) {
  Log("USB Devices=%d", USB_DeviceCount);
  if (USB_DeviceCount > kUsbDeviceCapacity) {
    USB_DeviceCount = kUsbDeviceCapacity;
  }
  for (int32_t i = 0; i < USB_DeviceCount; ++i) {
    const TUSB_DeviceRecord& device = USB_Devices[i];
    if (!device.deviceOpened) {
      Log("USB Device %d - not open", i);
      continue;
    }
    Log("USB Device %d [%x] %s", i, device.USBHandle, device.deviceDesc.c_str());
    ftdi::CurrentHandle = device.USBHandle;
    ftdi::WriteByte(kProbeByte);
    uint8_t answer = 0;
    ftdi::ReadByte(answer);
    if (answer != kProbeByte) {
      Log("USB Device %d [%x]- ReadByte ERROR:  %d", i, ftdi::CurrentHandle, answer);
    }
  }
}

int32_t TfrmPipeServer::FindArrivalIndex(const std::string& ADriverName) {
  // Instruments beyond the table are never opened, so the search ends there;
  // the result is then kUsbDeviceCapacity, "beyond the table".
  const int32_t last = std::min(USB_DeviceCount, kUsbDeviceCapacity);
  int32_t i = 0;
  ftdi::GetFTDeviceSerialNo(i);
  while (i < last && ftdi::FT_DeviceString != ADriverName) {
    ++i;
    ftdi::GetFTDeviceSerialNo(i);
  }
  return i;
}

void TfrmPipeServer::ComponentUSB2USBArrival(usb::TComponentUSB& /*AObject*/,
                                             const std::string& /*ADevType*/,
                                             const std::string& ADriverName,
                                             const std::string& /*AFriendlyName*/) {
  TakeDeviceCount(*this);
  const int32_t a = FindArrivalIndex(ADriverName);
  if (a >= kUsbDeviceCapacity) {
    Log("# USB Device %s, index:%d not opened, the table holds %d", ADriverName.c_str(), a,
        kUsbDeviceCapacity);
    return;
  }
  TUSB_DeviceRecord& device = USB_Devices[a];
  ftdi::CurrentDeviceIndex = a;
  ftdi::GetFTDeviceSerialNo(a);
  const TEarlierHandle earlier = SettleEarlierHandle(device, a, ftdi::FT_DeviceString);
  device.serialNumberUSB = ftdi::FT_DeviceString;
  if (device.serialNumberUSB != ADriverName) {
    Log("Error => serialNumberUSB = %s,%s", device.serialNumberUSB.c_str(), ADriverName.c_str());
  }
  ftdi::GetFTDeviceDescription(a);
  device.deviceDesc = ftdi::FT_DeviceString;
  if (OpenEntry(device, earlier) == 0) {
    device.deviceIndex = a;
    SwitchFamilies(*this, device.deviceDesc, TFamilyColumn::HotPlug, true);
  }

  Log("%s", kOpenRule);
  Log("Open USB Device, index:%d, Handle = %x", a, device.USBHandle);
  Log("serialNumberUSB = %s", device.serialNumberUSB.c_str());
  Log("Open USB Device deviceDesc %s", device.deviceDesc.c_str());
  Log("ReadByte:  %d", kNoReadValue);
  listboxInstruments.Add(ListLine(device));
}

void TfrmPipeServer::ComponentUSB2USBRemove(usb::TComponentUSB& /*AObject*/,
                                            const std::string& /*ADevType*/,
                                            const std::string& ADriverName,
                                            const std::string& /*AFriendlyName*/) {
  const int32_t a = ftdi::FindSlotBySerial(ADriverName);
  // Nothing beyond the table is ever opened, so a wrapper entry there is not
  // one of ours.
  if (a < 0 || a >= kUsbDeviceCapacity) {
    return;
  }
  TUSB_DeviceRecord& device = USB_Devices[a];
  Log("%s", kCloseRule);
  Log("Close USB Device, index:%d, Handle = %x", a, device.USBHandle);
  Log("SerialNumberUSB = %s", device.serialNumberUSB.c_str());
  Log("Close USB Device deviceDesc %s", device.deviceDesc.c_str());
  SwitchFamilies(*this, device.deviceDesc, TFamilyColumn::HotPlug, false);

  // The instrument's own line is the one whose serial-number column is its
  // serial number; a plain substring test would also take the line of a
  // serial number that merely contains it ("A1" in "A12"), so that is only
  // the fallback.
  const std::vector<std::string>& lines = listboxInstruments.Items();
  const std::string ownEnding = " : " + device.serialNumberUSB;
  auto line = std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.ends_with(ownEnding); });
  if (line == lines.end()) {
    line = std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& l) { return Contains(l, device.serialNumberUSB); });
  }
  if (line != lines.end()) {
    listboxInstruments.Delete(static_cast<int32_t>(line - lines.begin()));
  }

  device.deviceOpened = false;
  ftdi::CurrentHandle = device.USBHandle;
  ftdi::CloseDevice();
}

}  // namespace core
