#include "usb/ComponentUSB.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/DeviceChange.h"
#include "platform/Event.h"
#include "sim/SimBench.h"
#include "sim/SimDeviceChange.h"
#include "tests/support/DeviceChangeWaits.h"

namespace usb {
namespace {

using platform::TDeviceBroadcastRecord;
using testing_support::PumpUntil;

const std::u16string kClassSuffix = u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kMarkerSerial[] = "MARKER";

enum class TKind { Arrival, Removal };

struct TEvent {
  TKind Kind;
  const TComponentUSB* Sender;
  std::string DevType;
  std::string DriverName;
  std::string FriendlyName;
  platform::TThreadId Thread;
};

// Records every event of a component.
class TEventLog {
 public:
  void Bind(TComponentUSB& component) {
    component.OnUSBArrival = Handler(TKind::Arrival);
    component.OnUSBRemove = Handler(TKind::Removal);
  }
  TOnUsbChangeEvent Handler(TKind kind) {
    return [this, kind](TComponentUSB& sender, const std::string& devType,
                        const std::string& driverName, const std::string& friendlyName) {
      Events.push_back(
          {kind, &sender, devType, driverName, friendlyName, platform::GetCurrentThreadId()});
    };
  }
  bool HasMarker() const {
    for (const TEvent& event : Events) {
      if (event.DriverName == kMarkerSerial) {
        return true;
      }
    }
    return false;
  }
  // The events before the marker.
  std::vector<TEvent> BeforeMarker() const {
    std::vector<TEvent> result;
    for (const TEvent& event : Events) {
      if (event.DriverName == kMarkerSerial) {
        break;
      }
      result.push_back(event);
    }
    return result;
  }

  std::vector<TEvent> Events;
};

TDeviceBroadcastRecord NameRecord(std::u16string_view name) {
  return platform::MakeDeviceInterfaceRecord(platform::GUID_DEVINTERFACE_USB_DEVICE, name);
}

TDeviceBroadcastRecord UsbRecord(uint16_t vid, uint16_t pid, std::string_view serial) {
  return platform::MakeUsbDeviceInterfaceRecord(vid, pid, serial);
}

TDeviceBroadcastRecord VolumeRecord() {
  platform::DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = platform::DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 0x4;
  return TDeviceBroadcastRecord(std::as_bytes(std::span(&volume, 1)));
}

// A record of another type that happens to carry an instrument's name.
TDeviceBroadcastRecord PortRecordWithInstrumentName() {
  TDeviceBroadcastRecord named = UsbRecord(0x0403, 0xE758, "QN1");
  std::vector<std::byte> bytes(named.Bytes().begin(), named.Bytes().end());
  const uint32_t port = platform::DBT_DEVTYP_PORT;
  std::memcpy(bytes.data() + 4, &port, sizeof port);
  return TDeviceBroadcastRecord(bytes);
}

// An interface record whose size ends right after the header: no name.
TDeviceBroadcastRecord RecordWithoutName() {
  TDeviceBroadcastRecord named = UsbRecord(0x0403, 0xE758, "QN1");
  std::vector<std::byte> bytes(named.Bytes().begin(), named.Bytes().end());
  const uint32_t size = 28;
  std::memcpy(bytes.data(), &size, sizeof size);
  return TDeviceBroadcastRecord(bytes);
}

class ComponentUSBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Component = std::make_unique<TComponentUSB>();
    Log.Bind(*Component);
  }

  // Raises the notification, then an instrument arrival with the marker
  // serial, and dispatches until the marker has come through: by then the
  // first notification has been handled (each window gets its notifications
  // in order).
  std::vector<TEvent> Deliver(uint32_t code, const TDeviceBroadcastRecord& record) {
    Log.Events.clear();
    platform::BroadcastDeviceChange(code, record.Bytes());
    platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, kMarkerSerial);
    EXPECT_TRUE(PumpUntil([&] { return Log.HasMarker(); }));
    return Log.BeforeMarker();
  }

  std::unique_ptr<TComponentUSB> Component;
  TEventLog Log;
};

TEST_F(ComponentUSBTest, InstrumentNotificationsRaiseEventsAndOthersNothing) {
  const std::u16string longSerial(1100, u'A');
  struct Case {
    const char* name;
    uint32_t code;
    TDeviceBroadcastRecord record;
    std::optional<TKind> kind;  // nothing raised when empty
    std::string devType;
    std::string driverName;
  };
  Case cases[] = {
      {"arrival", platform::DBT_DEVICEARRIVAL, UsbRecord(0x0403, 0xE758, "QN000123"),
       TKind::Arrival, "VID_0403&PID_E758", "QN000123"},
      {"removal", platform::DBT_DEVICEREMOVECOMPLETE, UsbRecord(0x0403, 0xE758, "QN000123"),
       TKind::Removal, "VID_0403&PID_E758", "QN000123"},
      {"hardware id in lower case reaches the handler in lower case", platform::DBT_DEVICEARRIVAL,
       NameRecord(u"\\\\?\\usb#vid_0403&pid_e758#qn000123" + kClassSuffix), TKind::Arrival,
       "vid_0403&pid_e758", "qn000123"},
      {"hardware id in mixed case", platform::DBT_DEVICEREMOVECOMPLETE,
       NameRecord(u"\\\\?\\USB#Vid_0403&Pid_e758#QN9" + kClassSuffix), TKind::Removal,
       "Vid_0403&Pid_e758", "QN9"},
      {"name with only two separators: empty driver name", platform::DBT_DEVICEARRIVAL,
       NameRecord(u"\\\\?\\USB#VID_0403&PID_E758#QN000123"), TKind::Arrival, "VID_0403&PID_E758",
       ""},
      {"instance id beyond the segment limit: empty driver name", platform::DBT_DEVICEARRIVAL,
       NameRecord(u"\\\\?\\USB#VID_0403&PID_E758#" + longSerial + kClassSuffix), TKind::Arrival,
       "VID_0403&PID_E758", ""},
      {"instance id in UTF-8", platform::DBT_DEVICEARRIVAL, UsbRecord(0x0403, 0xE758, "\xC3\x85-1"),
       TKind::Arrival, "VID_0403&PID_E758", "\xC3\x85-1"},
      {"query remove",
       platform::DBT_DEVICEQUERYREMOVE,
       UsbRecord(0x0403, 0xE758, "QN1"),
       {},
       "",
       ""},
      {"query remove failed",
       platform::DBT_DEVICEQUERYREMOVEFAILED,
       UsbRecord(0x0403, 0xE758, "QN1"),
       {},
       "",
       ""},
      {"remove pending",
       platform::DBT_DEVICEREMOVEPENDING,
       UsbRecord(0x0403, 0xE758, "QN1"),
       {},
       "",
       ""},
      {"type specific",
       platform::DBT_DEVICETYPESPECIFIC,
       UsbRecord(0x0403, 0xE758, "QN1"),
       {},
       "",
       ""},
      {"custom event", platform::DBT_CUSTOMEVENT, UsbRecord(0x0403, 0xE758, "QN1"), {}, "", ""},
      {"device nodes changed, no record", platform::DBT_DEVNODES_CHANGED, {}, {}, "", ""},
      {"arrival without a record", platform::DBT_DEVICEARRIVAL, {}, {}, "", ""},
      {"other product id",
       platform::DBT_DEVICEARRIVAL,
       UsbRecord(0x0403, 0x6001, "QN1"),
       {},
       "",
       ""},
      {"other vendor id",
       platform::DBT_DEVICEREMOVECOMPLETE,
       UsbRecord(0x0404, 0xE758, "QN1"),
       {},
       "",
       ""},
      {"volume", platform::DBT_DEVICEARRIVAL, VolumeRecord(), {}, "", ""},
      {"port record carrying an instrument name",
       platform::DBT_DEVICEARRIVAL,
       PortRecordWithInstrumentName(),
       {},
       "",
       ""},
      {"interface record without a name",
       platform::DBT_DEVICEARRIVAL,
       RecordWithoutName(),
       {},
       "",
       ""},
      {"empty name", platform::DBT_DEVICEARRIVAL, NameRecord(u""), {}, "", ""},
      {"one separator only",
       platform::DBT_DEVICEARRIVAL,
       NameRecord(u"\\\\?\\USB#VID_0403&PID_E758"),
       {},
       "",
       ""},
      {"no separator", platform::DBT_DEVICEARRIVAL, NameRecord(u"VID_0403&PID_E758"), {}, "", ""},
      {"hardware id with a trailing blank",
       platform::DBT_DEVICEARRIVAL,
       NameRecord(u"\\\\?\\USB#VID_0403&PID_E758 #QN1" + kClassSuffix),
       {},
       "",
       ""},
      {"dotless i, which only a full case mapping turns into I",
       platform::DBT_DEVICEARRIVAL,
       NameRecord(u"\\\\?\\USB#v\u0131d_0403&pid_e758#QN1" + kClassSuffix),
       {},
       "",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<TEvent> events = Deliver(c.code, c.record);
    if (!c.kind) {
      EXPECT_TRUE(events.empty());
      continue;
    }
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(*c.kind, events[0].Kind);
    EXPECT_EQ(Component.get(), events[0].Sender);
    EXPECT_EQ(c.devType, events[0].DevType);
    EXPECT_EQ(c.driverName, events[0].DriverName);
    EXPECT_EQ("", events[0].FriendlyName);
  }
}

TEST_F(ComponentUSBTest, PlugAndUnplugOnTheBenchRaiseArrivalAndRemovalWithTheSerialNumber) {
  sim::TSimBench bench;
  sim::ConnectBenchToDeviceChange(bench);
  ASSERT_TRUE(bench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "QN000123")));
  ASSERT_TRUE(PumpUntil([&] { return Log.Events.size() == 1; }));
  ASSERT_TRUE(bench.Unplug("QN000123"));
  ASSERT_TRUE(PumpUntil([&] { return Log.Events.size() == 2; }));

  EXPECT_EQ(TKind::Arrival, Log.Events[0].Kind);
  EXPECT_EQ(TKind::Removal, Log.Events[1].Kind);
  EXPECT_EQ("QN000123", Log.Events[0].DriverName);
  EXPECT_EQ(Log.Events[0].DriverName, Log.Events[1].DriverName);
  EXPECT_EQ("VID_0403&PID_E758", Log.Events[1].DevType);
  EXPECT_EQ("", Log.Events[1].FriendlyName);
  bench.SetOnDeviceChange(nullptr);
}

TEST_F(ComponentUSBTest, WithoutHandlersMatchingNotificationsChangeNothing) {
  Component->OnUSBArrival = nullptr;
  Component->OnUSBRemove = nullptr;
  platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1");
  platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEREMOVECOMPLETE, 0x0403, 0xE758, "QN1");
  // Raised on this thread, both are queued here already: this dispatches them.
  platform::PumpMessages();
  Log.Bind(*Component);
  EXPECT_TRUE(
      Deliver(platform::DBT_DEVICEREMOVECOMPLETE, UsbRecord(0x0403, 0xE758, "QN2")).size() == 1);
  EXPECT_EQ("QN2", Log.Events.at(0).DriverName);
}

TEST_F(ComponentUSBTest, HandlerExceptionsGoToTheCentralHandlerAndTheComponentStaysUsable) {
  struct TReported {
    const TComponentUSB* Sender;
    std::string Text;
  };
  std::vector<TReported> reported;
  Component->OnException = [&](TComponentUSB& sender, const std::exception& e) {
    reported.push_back({&sender, e.what()});
  };
  Component->OnUSBArrival = [](TComponentUSB&, const std::string&, const std::string& serial,
                               const std::string&) {
    if (serial == "QN-throws") {
      throw std::runtime_error("arrival failed");
    }
    if (serial == "QN-throws-other") {
      throw 42;
    }
  };
  const auto arrival = [](const char* serial) {
    platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, serial);
  };
  arrival("QN-throws");
  arrival("QN-throws-other");
  ASSERT_TRUE(PumpUntil([&] { return reported.size() == 2; }));
  EXPECT_EQ(Component.get(), reported[0].Sender);
  EXPECT_EQ("arrival failed", reported[0].Text);
  EXPECT_EQ(Component.get(), reported[1].Sender);
  EXPECT_FALSE(reported[1].Text.empty());

  // A central handler that fails itself, or none at all: swallowed.
  Component->OnException = [](TComponentUSB&, const std::exception&) {
    throw std::logic_error("reporting failed");
  };
  arrival("QN-throws");
  Component->OnException = nullptr;
  arrival("QN-throws");
  platform::PumpMessages();
  Log.Bind(*Component);
  EXPECT_EQ(1u, Deliver(platform::DBT_DEVICEARRIVAL, UsbRecord(0x0403, 0xE758, "QN3")).size());
}

TEST_F(ComponentUSBTest, AHandlerMayDestroyTheComponent) {
  bool destroyed = false;
  Component->OnUSBRemove = [&](TComponentUSB&, const std::string&, const std::string&,
                               const std::string&) {
    Component.reset();
    destroyed = true;
  };
  platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEREMOVECOMPLETE, 0x0403, 0xE758, "QN1");
  platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEREMOVECOMPLETE, 0x0403, 0xE758, "QN2");
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
  platform::PumpMessages();
  // Its registration went with it.
  EXPECT_EQ(0,
            platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN3"));
}

TEST_F(ComponentUSBTest, AHandlerThatRaisesAfterDestroyingTheComponentIsContained) {
  Component->OnUSBArrival = [&](TComponentUSB&, const std::string&, const std::string&,
                                const std::string&) {
    Component.reset();
    throw std::runtime_error("after destruction");
  };
  platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1");
  ASSERT_TRUE(PumpUntil([&] { return Component == nullptr; }));
}

TEST_F(ComponentUSBTest, RegistersItsWindowForUsbDeviceInterfaces) {
  struct TExposed : TComponentUSB {
    using TComponentUSB::RegisterUsbNotification;
  };
  TExposed exposed;
  EXPECT_TRUE(exposed.RegisterUsbNotification());
  // Two components, each notified once.
  TEventLog other;
  other.Bind(exposed);
  EXPECT_EQ(2,
            platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));
  ASSERT_TRUE(PumpUntil([&] { return Log.Events.size() == 1 && other.Events.size() == 1; }));
}

TEST_F(ComponentUSBTest, OtherMessagesGoToTheDefaultProcedure) {
  intptr_t result = -1;
  EXPECT_TRUE(
      platform::SendMessage(Component->WindowHandle(), platform::WM_USER + 7, 1, 2, &result));
  EXPECT_EQ(0, result);
  EXPECT_TRUE(platform::SendMessage(Component->WindowHandle(), platform::WM_DEVICECHANGE,
                                    platform::DBT_DEVICEARRIVAL, 0, &result));
  EXPECT_EQ(0, result);
  EXPECT_TRUE(Log.Events.empty());
}

TEST(ComponentUSBThreadTest, EventsRunOnTheThreadThatCreatedTheComponent) {
  platform::TEvent ready;
  platform::TThreadId owner = 0;
  std::vector<TEvent> events;
  std::thread thread([&] {
    TComponentUSB component;
    TEventLog log;
    log.Bind(component);
    owner = platform::GetCurrentThreadId();
    ready.Set();
    PumpUntil([&] { return !log.Events.empty(); });
    events = log.Events;
  });
  ASSERT_EQ(platform::kWaitObject0, ready.Wait(testing_support::kDeviceChangeDeadlineMs));
  EXPECT_EQ(1,
            platform::BroadcastUsbDeviceChange(platform::DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));
  thread.join();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(owner, events[0].Thread);
  EXPECT_NE(platform::GetCurrentThreadId(), events[0].Thread);
}

TEST(ComponentUSBParseTest, SplitsInterfaceNamesAtTheirSeparators) {
  struct Case {
    const char* name;
    std::u16string input;
    std::string devType;
    std::string driverName;
  };
  const Case kCases[] = {
      {"instrument", u"\\\\?\\USB#VID_0403&PID_E758#QN000123" + kClassSuffix, "VID_0403&PID_E758",
       "QN000123"},
      {"two separators", u"a#b#c", "b", ""},
      {"empty segments", u"##", "", ""},
      {"three empty segments", u"###", "", ""},
      {"one separator", u"a#b", "", ""},
      {"none", u"abc", "", ""},
      {"empty", u"", "", ""},
      {"instance id of 1007 characters still ends inside the limit",
       u"x#" + std::u16string(17, u'V') + u"#" + std::u16string(1007, u'S') + u"#z",
       std::string(17, 'V'), std::string(1007, 'S')},
      {"instance id of 1008 characters: its end is cut off",
       u"x#" + std::u16string(17, u'V') + u"#" + std::u16string(1008, u'S') + u"#z",
       std::string(17, 'V'), ""},
      {"hardware id of 1026 characters: its end is cut off",
       u"x#" + std::u16string(1026, u'V') + u"#s#z", "", ""},
      {"hardware id of 1025 characters: the rest is cut off before the instance id",
       u"x#" + std::u16string(1025, u'V') + u"#s#z", std::string(1025, 'V'), ""},
      {"unpaired surrogate becomes a replacement character",
       u"x#V" + std::u16string(1, char16_t(0xD800)) + u"#s#", "V\xEF\xBF\xBD", "s"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string devType = "stale";
    std::string driverName = "stale";
    std::string friendlyName = "stale";
    TComponentUSB::ParseDeviceName(c.input, devType, driverName, friendlyName);
    EXPECT_EQ(c.devType, devType);
    EXPECT_EQ(c.driverName, driverName);
    EXPECT_EQ("", friendlyName);
  }
}

}  // namespace
}  // namespace usb
