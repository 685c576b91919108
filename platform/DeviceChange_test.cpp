#include "platform/DeviceChange.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/DeviceChangeUdev.h"
#include "tests/support/DeviceChangeWaits.h"

namespace platform {
namespace {

using testing_support::PumpUntil;

const std::u16string kQnName =
    u"\\\\?\\USB#VID_0403&PID_E758#QN000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

DEV_BROADCAST_DEVICEINTERFACE UsbFilter() {
  DEV_BROADCAST_DEVICEINTERFACE filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
  return filter;
}

// What a window saw of one WM_DEVICECHANGE, copied while its procedure ran.
struct TSeen {
  uint32_t Code = 0;
  bool HasRecord = false;
  uint32_t DeviceType = 0;
  std::u16string Name;
  TThreadId Thread = 0;
};

// A hidden window of the calling thread that records every WM_DEVICECHANGE.
// Any thread may read what it saw.
class TRecordingWindow {
 public:
  TRecordingWindow() {
    TWndProc classProc;
    if (!GetWindowClassInfo("DeviceChangeTestWindow", &classProc)) {
      RegisterWindowClass("DeviceChangeTestWindow", kDefWindowProc);
    }
    FWindow = CreateWindow("DeviceChangeTestWindow");
    SetWindowProc(FWindow, {&Proc, this});
  }
  ~TRecordingWindow() { DestroyWindow(FWindow); }

  TWindowHandle Window() const { return FWindow; }
  std::vector<TSeen> Seen() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FSeen;
  }
  size_t Count() const { return Seen().size(); }

  // Runs inside the procedure, after recording.
  std::function<void(const TSeen&)> OnSeen;

 private:
  static intptr_t Proc(void* context,
                       TWindowHandle,
                       uint32_t msg,
                       uintptr_t wParam,
                       intptr_t lParam) {
    if (msg != WM_DEVICECHANGE) {
      return 0;
    }
    auto* self = static_cast<TRecordingWindow*>(context);
    TSeen seen;
    seen.Code = static_cast<uint32_t>(wParam);
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    seen.HasRecord = header != nullptr;
    if (header != nullptr) {
      seen.DeviceType = header->dbch_devicetype;
      seen.Name = ReadDeviceInterfaceName(header);
    }
    seen.Thread = GetCurrentThreadId();
    {
      std::lock_guard<std::mutex> lock(self->FLock);
      self->FSeen.push_back(seen);
    }
    if (self->OnSeen) {
      self->OnSeen(seen);
    }
    return 0;
  }

  TWindowHandle FWindow = 0;
  mutable std::mutex FLock;
  std::vector<TSeen> FSeen;
};

// A thread that owns a recording window (registered for notifications when
// asked) and dispatches its messages until it is stopped.
class TWindowThread {
 public:
  explicit TWindowThread(bool registered) {
    FThread = std::thread([this, registered] {
      TRecordingWindow window;
      TScopedDeviceNotification notification;
      if (registered) {
        const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
        notification = RegisterDeviceNotification(window.Window(), &filter, 0);
      }
      {
        std::lock_guard<std::mutex> lock(FLock);
        FWindowPtr = &window;
        FWindow = window.Window();
        FOwner = GetCurrentThreadId();
        FRegistered = notification.IsValid();
      }
      FReady.Set();
      const TWaitHandle stop[] = {FStop.WaitHandle()};
      while (MsgWaitForMultipleObjects(stop, kInfinite, QS_ALLINPUT) != kWaitObject0) {
        PumpMessages();
      }
      notification.Close();
      std::lock_guard<std::mutex> lock(FLock);
      FFinalSeen = window.Seen();
      FWindowPtr = nullptr;
    });
    FReady.Wait(testing_support::kDeviceChangeDeadlineMs);
  }
  ~TWindowThread() { Stop(); }

  void Stop() {
    FStop.Set();
    if (FThread.joinable()) {
      FThread.join();
    }
  }
  TThreadId Owner() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FOwner;
  }
  TWindowHandle Window() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FWindow;
  }
  bool Registered() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FRegistered;
  }
  std::vector<TSeen> Seen() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FWindowPtr != nullptr ? FWindowPtr->Seen() : FFinalSeen;
  }

 private:
  mutable std::mutex FLock;
  TRecordingWindow* FWindowPtr = nullptr;
  TWindowHandle FWindow = 0;
  TThreadId FOwner = 0;
  bool FRegistered = false;
  std::vector<TSeen> FFinalSeen;
  TEvent FReady;
  TEvent FStop;
  std::thread FThread;
};

TEST(DeviceChangeNameTest, UsbInterfaceNamesHaveTheDesktopForm) {
  struct Case {
    const char* name;
    uint16_t vid;
    uint16_t pid;
    std::string instance;
    std::u16string expected;
  };
  const Case kCases[] = {
      {"instrument", 0x0403, 0xE758, "QN000123", kQnName},
      {"hex digits in upper case", 0x046d, 0xc52b, "abc",
       u"\\\\?\\USB#VID_046D&PID_C52B#abc#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"},
      {"leading zeros kept, empty instance", 0x0000, 0x0001, "",
       u"\\\\?\\USB#VID_0000&PID_0001##{a5dcbf10-6530-11d2-901f-00c04fb951ed}"},
      {"instance id converted from UTF-8", 0x0403, 0xE758, "\xC3\x85-1",
       u"\\\\?\\USB#VID_0403&PID_E758#\u00C5-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, UsbDeviceInterfaceName(c.vid, c.pid, c.instance));
  }
}

TEST(DeviceChangeNameTest, InterfaceRecordCarriesHeaderGuidAndTerminatedName) {
  const TDeviceBroadcastRecord record = MakeUsbDeviceInterfaceRecord(0x0403, 0xE758, "QN000123");
  ASSERT_FALSE(record.IsEmpty());
  const size_t expectedSize = 28 + (kQnName.size() + 1) * 2;
  EXPECT_EQ(expectedSize, record.Size());

  DEV_BROADCAST_DEVICEINTERFACE head{};
  std::memcpy(&head, record.Header(), 28);
  EXPECT_EQ(expectedSize, head.dbcc_size);
  EXPECT_EQ(DBT_DEVTYP_DEVICEINTERFACE, head.dbcc_devicetype);
  EXPECT_EQ(0u, head.dbcc_reserved);
  EXPECT_EQ(GUID_DEVINTERFACE_USB_DEVICE, head.dbcc_classguid);

  std::u16string raw(kQnName.size() + 1, u'x');
  std::memcpy(raw.data(), record.Bytes().data() + 28, raw.size() * 2);
  EXPECT_EQ(kQnName + u'\0', raw);
  EXPECT_EQ(kQnName, ReadDeviceInterfaceName(record.Header()));
}

TEST(DeviceChangeNameTest, ReadingANameNeverPassesTheRecordSize) {
  // A name without its ending 0 ends where the record does.
  std::vector<std::byte> bytes(28 + 6);
  DEV_BROADCAST_HDR header{static_cast<uint32_t>(bytes.size()), DBT_DEVTYP_DEVICEINTERFACE, 0};
  std::memcpy(bytes.data(), &header, sizeof header);
  const char16_t name[3] = {u'a', u'b', u'c'};
  std::memcpy(bytes.data() + 28, name, sizeof name);
  const TDeviceBroadcastRecord unterminated(bytes);
  EXPECT_EQ(u"abc", ReadDeviceInterfaceName(unterminated.Header()));

  // A header alone, a record of another type, no record at all.
  header.dbch_size = 28;
  std::memcpy(bytes.data(), &header, sizeof header);
  EXPECT_EQ(u"", ReadDeviceInterfaceName(TDeviceBroadcastRecord(bytes).Header()));
  header = {static_cast<uint32_t>(bytes.size()), DBT_DEVTYP_VOLUME, 0};
  std::memcpy(bytes.data(), &header, sizeof header);
  EXPECT_EQ(u"", ReadDeviceInterfaceName(TDeviceBroadcastRecord(bytes).Header()));
  EXPECT_EQ(u"", ReadDeviceInterfaceName(nullptr));
}

TEST(DeviceChangeNameTest, TextConversionReplacesWhatIsNotText) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  };
  const Case kCases[] = {
      {"ascii", "QN000123", u"QN000123"},
      {"two and three bytes", "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
      {"four bytes become a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"stray continuation byte", "a\x80z", u"a\uFFFDz"},
      {"truncated sequence", "a\xE2\x82", u"a\uFFFD"},
      {"overlong form", "\xC0\xAF", u"\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.utf16, Utf8ToUtf16(c.utf8));
  }
  EXPECT_EQ("\xF0\x9F\x98\x80", Utf16ToUtf8(u"\U0001F600"));
  EXPECT_EQ("\xEF\xBF\xBDx", Utf16ToUtf8(std::u16string{char16_t(0xD800), u'x'}));
  EXPECT_EQ("\xEF\xBF\xBD", Utf16ToUtf8(std::u16string{char16_t(0xDC00)}));
}

TEST(DeviceChangeUdevTest, UsbIdsParseFromPropertiesOnly) {
  struct Case {
    const char* text;
    bool ok;
    uint16_t value;
  };
  const Case kIds[] = {{"0403", true, 0x0403}, {"E758", true, 0xE758}, {"e758", true, 0xE758},
                       {"1", true, 1},         {"", false, 0},         {"12345", false, 0},
                       {"12g4", false, 0},     {"0x12", false, 0},     {"-1", false, 0}};
  for (const auto& c : kIds) {
    SCOPED_TRACE(c.text);
    uint16_t value = 0;
    EXPECT_EQ(c.ok, ParseUsbId(c.text, &value));
    EXPECT_EQ(c.value, value);
  }
  struct ProductCase {
    const char* text;
    bool ok;
    uint16_t vid;
    uint16_t pid;
  };
  const ProductCase kProducts[] = {{"403/e758/600", true, 0x0403, 0xE758},
                                   {"46d/c52b/1201", true, 0x046D, 0xC52B},
                                   {"403/e758", true, 0x0403, 0xE758},
                                   {"403", false, 0, 0},
                                   {"403//600", false, 0, 0},
                                   {"/e758/600", false, 0, 0},
                                   {"", false, 0, 0}};
  for (const auto& c : kProducts) {
    SCOPED_TRACE(c.text);
    uint16_t vid = 0;
    uint16_t pid = 0;
    EXPECT_EQ(c.ok, ParseUsbProductProperty(c.text, &vid, &pid));
    EXPECT_EQ(c.vid, vid);
    EXPECT_EQ(c.pid, pid);
  }
}

TEST(DeviceChangeRegisterTest, AcceptsOnlyUsbInterfaceFiltersForOwnWindows) {
  TRecordingWindow window;
  struct Case {
    const char* name;
    std::function<void(DEV_BROADCAST_DEVICEINTERFACE&)> change;
    uint32_t flags;
    bool ok;
  };
  const Case kCases[] = {
      {"usb device interfaces", [](auto&) {}, DEVICE_NOTIFY_WINDOW_HANDLE, true},
      {"size below the record", [](auto& f) { f.dbcc_size = 31; }, 0, false},
      {"volume type", [](auto& f) { f.dbcc_devicetype = DBT_DEVTYP_VOLUME; }, 0, false},
      {"other class", [](auto& f) { f.dbcc_classguid.Data1 = 0x12345678; }, 0, false},
      {"other class, all classes asked for", [](auto& f) { f.dbcc_classguid.Data1 = 1; },
       DEVICE_NOTIFY_ALL_INTERFACE_CLASSES, true},
      {"service handle flag", [](auto&) {}, 1, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
    c.change(filter);
    EXPECT_EQ(c.ok, RegisterDeviceNotification(window.Window(), &filter, c.flags).IsValid());
  }
  const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
  EXPECT_FALSE(RegisterDeviceNotification(window.Window(), nullptr, 0).IsValid());
  EXPECT_FALSE(RegisterDeviceNotification(0, &filter, 0).IsValid());

  EXPECT_FALSE(RegisterDeviceNotification(window.Window() + 1000000, &filter, 0).IsValid());
  // The registration of a window must be made by the thread that owns it.
  TWindowThread other(false);
  EXPECT_FALSE(RegisterDeviceNotification(other.Window(), &filter, 0).IsValid());
}

TEST(DeviceChangeBroadcastTest, ReachesRegisteredWindowsOnTheirOwnThreadsOnly) {
  TWindowThread first(true);
  TWindowThread second(true);
  TWindowThread unregisteredThread(false);
  ASSERT_TRUE(first.Registered());
  ASSERT_TRUE(second.Registered());

  TRecordingWindow ended;
  {
    const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
    TScopedDeviceNotification notification = RegisterDeviceNotification(ended.Window(), &filter, 0);
    ASSERT_TRUE(notification.IsValid());
  }
  TRecordingWindow never;

  EXPECT_EQ(2, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN000123"));
  ASSERT_TRUE(PumpUntil([&] { return first.Seen().size() == 1 && second.Seen().size() == 1; }));
  for (const TWindowThread* thread : {&first, &second}) {
    const TSeen seen = thread->Seen().at(0);
    EXPECT_EQ(DBT_DEVICEARRIVAL, seen.Code);
    EXPECT_EQ(DBT_DEVTYP_DEVICEINTERFACE, seen.DeviceType);
    EXPECT_EQ(kQnName, seen.Name);
    EXPECT_EQ(thread->Owner(), seen.Thread);
  }
  EXPECT_TRUE(unregisteredThread.Seen().empty());
  EXPECT_EQ(0u, ended.Count());
  EXPECT_EQ(0u, never.Count());
}

TEST(DeviceChangeBroadcastTest, DeliveredInOrderWhenTheOwnerDispatches) {
  TRecordingWindow window;
  const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
  TScopedDeviceNotification notification = RegisterDeviceNotification(window.Window(), &filter, 0);
  ASSERT_TRUE(notification.IsValid());

  EXPECT_EQ(1, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "A"));
  EXPECT_EQ(1, BroadcastUsbDeviceChange(DBT_DEVICEQUERYREMOVE, 0x0403, 0xE758, "A"));
  EXPECT_EQ(1, BroadcastDeviceChange(DBT_DEVNODES_CHANGED, {}));
  EXPECT_EQ(1, BroadcastUsbDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0x0403, 0xE758, "A"));
  // Raising never calls the recipient: it runs when its thread dispatches.
  EXPECT_EQ(0u, window.Count());

  ASSERT_TRUE(PumpUntil([&] { return window.Count() == 4; }));
  const std::vector<TSeen> seen = window.Seen();
  EXPECT_EQ(DBT_DEVICEARRIVAL, seen[0].Code);
  EXPECT_EQ(DBT_DEVICEQUERYREMOVE, seen[1].Code);
  EXPECT_EQ(DBT_DEVNODES_CHANGED, seen[2].Code);
  EXPECT_FALSE(seen[2].HasRecord);
  EXPECT_EQ(DBT_DEVICEREMOVECOMPLETE, seen[3].Code);
  EXPECT_EQ(seen[0].Name, seen[3].Name);
}

TEST(DeviceChangeBroadcastTest, QueuedRecordsAreFreedWhenTheRegistrationEnds) {
  TRecordingWindow window;
  const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
  TScopedDeviceNotification notification = RegisterDeviceNotification(window.Window(), &filter, 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(1, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));
  }
  notification.Close();
  EXPECT_EQ(0, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));
  PumpMessages();
  EXPECT_EQ(0u, window.Count());
  // The leak checker of the sanitizer build verifies that the three records
  // went with the registration.
}

TEST(DeviceChangeBroadcastTest, RegistrationEndsWithItsWindow) {
  auto window = std::make_unique<TRecordingWindow>();
  const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
  TScopedDeviceNotification notification = RegisterDeviceNotification(window->Window(), &filter, 0);
  const TDeviceNotifyHandle handle = notification.Get();
  window.reset();

  EXPECT_EQ(1, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));
  ASSERT_TRUE(PumpUntil(
      [&] { return BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1") == 0; }));
  EXPECT_FALSE(UnregisterDeviceNotification(handle));
}

TEST(DeviceChangeBroadcastTest, RegistrationEndedOnAnotherThreadDeliversNothingMore) {
  TRecordingWindow window;
  TDeviceNotifyHandle handle = 0;
  {
    const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
    handle = RegisterDeviceNotification(window.Window(), &filter, 0).Release();
  }
  ASSERT_NE(0u, handle);
  EXPECT_EQ(1, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));

  bool ended = false;
  std::thread other([&] { ended = UnregisterDeviceNotification(handle); });
  other.join();
  EXPECT_TRUE(ended);

  EXPECT_EQ(0, BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "QN1"));
  PumpMessages();  // the relay finds its registration gone and goes away
  PumpMessages();
  EXPECT_EQ(0u, window.Count());
}

TEST(DeviceChangeExitTest, RegistrationsLeftAtExitStopTheirThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TRecordingWindow window;
        const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
        const TDeviceNotifyHandle leaked =
            RegisterDeviceNotification(window.Window(), &filter, 0).Release();
        BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, leaked != 0 ? "QN1" : "");
        std::exit(leaked != 0 ? 3 : 4);
      },
      ::testing::ExitedWithCode(3), "");
}

TEST(DeviceChangeBroadcastTest, ARaisingRecipientDoesNotStopLaterNotifications) {
  TRecordingWindow window;
  window.OnSeen = [](const TSeen& seen) {
    if (seen.Name.find(u"#first#") != std::u16string::npos) {
      throw std::runtime_error("handler failed");
    }
  };
  const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
  TScopedDeviceNotification notification = RegisterDeviceNotification(window.Window(), &filter, 0);
  BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "first");
  BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, "second");
  ASSERT_TRUE(PumpUntil([&] { return window.Count() == 2; }));
}

TEST(DeviceChangeBroadcastTest, RecipientPumpingInsideItsProcedureSeesEachNotificationOnce) {
  TRecordingWindow window;
  int depth = 0;
  window.OnSeen = [&](const TSeen&) {
    ++depth;
    if (depth == 1) {
      PumpMessages();
    }
    --depth;
  };
  const DEV_BROADCAST_DEVICEINTERFACE filter = UsbFilter();
  TScopedDeviceNotification notification = RegisterDeviceNotification(window.Window(), &filter, 0);
  for (const char* serial : {"one", "two", "three"}) {
    BroadcastUsbDeviceChange(DBT_DEVICEARRIVAL, 0x0403, 0xE758, serial);
  }
  ASSERT_TRUE(PumpUntil([&] { return window.Count() == 3; }));
  PumpMessages();
  const std::vector<TSeen> seen = window.Seen();
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(UsbDeviceInterfaceName(0x0403, 0xE758, "one"), seen[0].Name);
  EXPECT_EQ(UsbDeviceInterfaceName(0x0403, 0xE758, "two"), seen[1].Name);
  EXPECT_EQ(UsbDeviceInterfaceName(0x0403, 0xE758, "three"), seen[2].Name);
}

TEST(DeviceChangeBroadcastTest, RaisedFromManyThreadsWhileTheOwnerDispatches) {
  TWindowThread owner(true);
  ASSERT_TRUE(owner.Registered());
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::vector<std::thread> raisers;
  for (int t = 0; t < kThreads; ++t) {
    raisers.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        BroadcastUsbDeviceChange(i % 2 == 0 ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, 0x0403,
                                 0xE758, "T" + std::to_string(t) + "-" + std::to_string(i));
      }
    });
  }
  for (std::thread& raiser : raisers) {
    raiser.join();
  }
  ASSERT_TRUE(PumpUntil([&] { return owner.Seen().size() == kThreads * kEach; }));
  // Each raiser's notifications keep their order.
  std::vector<int> next(kThreads, 0);
  for (const TSeen& seen : owner.Seen()) {
    const std::string name = Utf16ToUtf8(seen.Name);
    const size_t at = name.find("#T");
    ASSERT_NE(std::string::npos, at);
    const int t = name[at + 2] - '0';
    const int i = std::stoi(name.substr(at + 4));
    EXPECT_EQ(next[t], i);
    next[t] = i + 1;
  }
}

}  // namespace
}  // namespace platform
