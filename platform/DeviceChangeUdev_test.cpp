// The udev source against a mocked sysfs and udev: umockdev's preload library
// redirects libudev to a test bed in which devices are added and removed and
// their uevents raised. The binary re-runs itself under umockdev-wrapper when
// it was started without it.

#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DeviceChange.h"
#include "platform/DeviceChangeUdev.h"
#include "tests/support/DeviceChangeWaits.h"

// umockdev's test bed hands work to a worker thread of its own through GLib,
// whose futex-based locks the thread sanitizer cannot see, so it reports the
// test bed's own strings as shared without synchronisation. Those reports lie
// wholly inside the test tool (nothing of ours is involved): this test program
// tells the sanitizer to leave those two libraries alone.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so\nrace:libglib-2.0.so\n";
}

namespace platform {

void PrintTo(const TUsbDeviceIdentity& device, std::ostream* os) {
  *os << std::hex << device.Vid << ":" << device.Pid << std::dec << " \"" << device.InstanceId
      << "\"";
}

namespace {

using testing_support::kDeviceChangeDeadlineMs;
using testing_support::PumpUntil;

constexpr char kReexecMarker[] = "QN_DEVICECHANGE_UMOCKDEV";

bool PreloadActive() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// Runs before the tests: starts this program again under umockdev-wrapper,
// with the same arguments. Sanitizer runtimes then no longer come first in
// the library list, which AddressSanitizer must be told to accept.
struct TReexecUnderUmockdev {
  TReexecUnderUmockdev() {
    if (PreloadActive() || std::getenv(kReexecMarker) != nullptr) {
      return;
    }
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(cmdline)),
                          std::istreambuf_iterator<char>());
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
      return;
    }
    std::vector<std::string> args{"umockdev-wrapper", self};
    size_t start = all.find('\0');  // skip the program name
    while (start != std::string::npos && start + 1 < all.size()) {
      const size_t end = all.find('\0', start + 1);
      args.push_back(all.substr(start + 1, end - start - 1));
      start = end;
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    ::setenv(kReexecMarker, "1", 1);
#if defined(__SANITIZE_ADDRESS__)
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan != nullptr ? asan : "") +
                                (asan != nullptr && *asan != '\0' ? ":" : "") +
                                "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
    ::execvp(argv[0], argv.data());
    // Not found: the tests below report that they cannot run.
  }
} reexecUnderUmockdev;

struct TReport {
  uint32_t Code;
  TUsbDeviceIdentity Device;
};

// Collects what a source reports, on the source's thread.
class TReportLog {
 public:
  TUdevDeviceSource::TSink Sink() {
    return [this](uint32_t code, const TUsbDeviceIdentity& device) {
      std::lock_guard<std::mutex> lock(FLock);
      FReports.push_back({code, device});
      FChanged.notify_all();
    };
  }
  // Waits until count reports have arrived; returns all of them.
  std::vector<TReport> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait_for(lock, std::chrono::milliseconds(kDeviceChangeDeadlineMs),
                      [&] { return FReports.size() >= count; });
    return FReports;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TReport> FReports;
};

class UdevSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PreloadActive()) << "umockdev's preload library is not active; is the "
                                    "umockdev package installed (umockdev-wrapper)?";
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    FTestbed = umockdev_testbed_new();
    ASSERT_NE(nullptr, FTestbed);
  }
  void TearDown() override {
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    if (FTestbed != nullptr) {
      g_object_unref(FTestbed);
    }
  }

  // A USB device as udev reports it after processing: sysfs attributes and
  // the properties udev attaches (usb_id). Returns its sysfs path.
  std::string AddUsbDevice(const char* name, const char* vid, const char* pid, const char* serial) {
    const std::string product = Hex(vid) + "/" + Hex(pid) + "/600";
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    gchar* path = umockdev_testbed_add_device(
        FTestbed, "usb", name, nullptr,
        // attributes
        "idVendor", vid, "idProduct", pid, "serial", serial, nullptr,
        // properties
        "DEVTYPE", "usb_device", "PRODUCT", product.c_str(), "ID_VENDOR_ID", vid, "ID_MODEL_ID",
        pid, "ID_SERIAL_SHORT", serial, nullptr);
    return Take(path);
  }

  // The test bed drives libudev itself: every call to it holds the lock that
  // the udev source holds for its own libudev calls.
  void Uevent(const std::string& path, const char* action) {
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    umockdev_testbed_uevent(FTestbed, path.c_str(), action);
  }
  // As the kernel does it: the removal is announced while udev still knows
  // the device's properties, then the device leaves sysfs.
  void Unplug(const std::string& path) {
    Uevent(path, "remove");
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    umockdev_testbed_remove_device(FTestbed, path.c_str());
  }

  static std::string Hex(const char* id) {  // "0403" -> "403"
    std::string text(id);
    while (text.size() > 1 && text[0] == '0') {
      text.erase(0, 1);
    }
    return text;
  }
  static std::string Take(gchar* path) {
    std::string result = path != nullptr ? path : "";
    g_free(path);
    return result;
  }

  UMockdevTestbed* FTestbed = nullptr;
};

// A hidden window of the calling thread that records the notifications it gets.
class TNotifiedWindow {
 public:
  TNotifiedWindow() {
    TWndProc classProc;
    if (!GetWindowClassInfo("UdevTestWindow", &classProc)) {
      RegisterWindowClass("UdevTestWindow", kDefWindowProc);
    }
    FWindow = CreateWindow("UdevTestWindow");
    SetWindowProc(FWindow, {&Proc, this});
  }
  ~TNotifiedWindow() { DestroyWindow(FWindow); }
  TWindowHandle Window() const { return FWindow; }
  std::vector<std::pair<uint32_t, std::u16string>> Seen;

 private:
  static intptr_t Proc(void* context,
                       TWindowHandle,
                       uint32_t msg,
                       uintptr_t wParam,
                       intptr_t lParam) {
    if (msg == WM_DEVICECHANGE) {
      static_cast<TNotifiedWindow*>(context)->Seen.emplace_back(
          static_cast<uint32_t>(wParam),
          ReadDeviceInterfaceName(reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)));
    }
    return 0;
  }
  TWindowHandle FWindow = 0;
};

TEST_F(UdevSourceTest, InstrumentArrivalThenRemovalReachTheWindow) {
  TNotifiedWindow window;
  DEV_BROADCAST_DEVICEINTERFACE filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
  TScopedDeviceNotification notification = RegisterDeviceNotification(window.Window(), &filter, 0);
  ASSERT_TRUE(notification.IsValid());

  const std::string path = AddUsbDevice("1-1", "0403", "e758", "QN000123");  // plugged in
  ASSERT_TRUE(PumpUntil([&] { return !window.Seen.empty(); }));
  Unplug(path);
  ASSERT_TRUE(PumpUntil([&] { return window.Seen.size() >= 2; }));
  ASSERT_EQ(2u, window.Seen.size());

  const std::u16string name =
      u"\\\\?\\USB#VID_0403&PID_E758#QN000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  EXPECT_EQ(DBT_DEVICEARRIVAL, window.Seen[0].first);
  EXPECT_EQ(name, window.Seen[0].second);
  EXPECT_EQ(DBT_DEVICEREMOVECOMPLETE, window.Seen[1].first);
  EXPECT_EQ(name, window.Seen[1].second);
}

TEST_F(UdevSourceTest, EveryUsbDeviceIsReportedAndNothingElse) {
  TReportLog log;
  auto source = TUdevDeviceSource::Start(log.Sink());
  ASSERT_NE(nullptr, source);

  const std::string mouse = AddUsbDevice("1-2", "046d", "c52b", "LOGI1");
  // An interface of the device, and actions that neither add nor remove a
  // device: none of them is reported.
  {
    std::lock_guard<std::mutex> lock(UdevLibraryLock());
    Take(umockdev_testbed_add_device(FTestbed, "usb", "1-2:1.0", mouse.c_str(), nullptr, "DEVTYPE",
                                     "usb_interface", "PRODUCT", "46d/c52b/1201", nullptr));
  }
  Uevent(mouse, "change");
  Uevent(mouse, "bind");
  AddUsbDevice("1-3", "0403", "e758", "QN7");

  const std::vector<TReport> reports = log.WaitFor(2);
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ(DBT_DEVICEARRIVAL, reports[0].Code);
  EXPECT_EQ((TUsbDeviceIdentity{0x046D, 0xC52B, "LOGI1"}), reports[0].Device);
  EXPECT_EQ(DBT_DEVICEARRIVAL, reports[1].Code);
  EXPECT_EQ((TUsbDeviceIdentity{0x0403, 0xE758, "QN7"}), reports[1].Device);
}

TEST_F(UdevSourceTest, RemovalReportsWhatTheArrivalReported) {
  struct Case {
    const char* name;
    std::function<std::string(UMockdevTestbed*)> add;  // returns the sysfs path
    bool presentAtStart;
    TUsbDeviceIdentity expected;
  };
  const Case kCases[] = {
      {"raw serial attribute preferred to udev's cleaned-up serial",
       [](UMockdevTestbed* bed) {
         return Take(umockdev_testbed_add_device(
             bed, "usb", "2-1", nullptr, "idVendor", "0403", "idProduct", "e758", "serial", "QN 7",
             nullptr, "DEVTYPE", "usb_device", "ID_VENDOR_ID", "0403", "ID_MODEL_ID", "e758",
             "ID_SERIAL_SHORT", "QN_7", nullptr));
       },
       false,
       {0x0403, 0xE758, "QN 7"}},
      {"kernel properties only: PRODUCT and the serial attribute",
       [](UMockdevTestbed* bed) {
         return Take(umockdev_testbed_add_device(bed, "usb", "2-2", nullptr, "serial", "QN8",
                                                 nullptr, "DEVTYPE", "usb_device", "PRODUCT",
                                                 "403/e758/600", nullptr));
       },
       false,
       {0x0403, 0xE758, "QN8"}},
      {"present before monitoring started",
       [](UMockdevTestbed* bed) {
         return Take(umockdev_testbed_add_device(bed, "usb", "2-3", nullptr, "idVendor", "0403",
                                                 "idProduct", "e758", "serial", "QN9", nullptr,
                                                 "DEVTYPE", "usb_device", nullptr));
       },
       true,
       {0x0403, 0xE758, "QN9"}},
      {"no serial number: the location stands in",
       [](UMockdevTestbed* bed) {
         return Take(umockdev_testbed_add_device(bed, "usb", "2-4", nullptr, nullptr, "DEVTYPE",
                                                 "usb_device", "ID_VENDOR_ID", "0403",
                                                 "ID_MODEL_ID", "e758", nullptr));
       },
       false,
       {0x0403, 0xE758, "2-4"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TReportLog log;
    std::string path;
    if (c.presentAtStart) {
      std::lock_guard<std::mutex> lock(UdevLibraryLock());
      path = c.add(FTestbed);
    }
    auto source = TUdevDeviceSource::Start(log.Sink());
    ASSERT_NE(nullptr, source);
    size_t expected = 1;
    if (!c.presentAtStart) {
      {
        std::lock_guard<std::mutex> lock(UdevLibraryLock());
        path = c.add(FTestbed);  // raises the arrival
      }
      expected = 2;
      // Handled while the device is still there, as an arrival normally is.
      ASSERT_EQ(1u, log.WaitFor(1).size());
    }
    Unplug(path);
    const std::vector<TReport> reports = log.WaitFor(expected);
    ASSERT_EQ(expected, reports.size());
    if (!c.presentAtStart) {
      EXPECT_EQ(DBT_DEVICEARRIVAL, reports[0].Code);
      EXPECT_EQ(c.expected, reports[0].Device);
    }
    EXPECT_EQ(DBT_DEVICEREMOVECOMPLETE, reports.back().Code);
    EXPECT_EQ(c.expected, reports.back().Device);
  }
}

TEST_F(UdevSourceTest, StopsPromptlyWhileDevicesComeAndGo) {
  TReportLog log;
  auto source = TUdevDeviceSource::Start(log.Sink());
  ASSERT_NE(nullptr, source);
  const std::string path = AddUsbDevice("3-1", "0403", "e758", "QN10");
  // Fewer than the mocked socket queues (a datagram socket holds ten).
  for (int i = 0; i < 6; ++i) {
    Uevent(path, i % 2 == 0 ? "remove" : "add");
  }
  source.reset();  // joins the thread whatever it was doing
  EXPECT_LE(log.WaitFor(0).size(), 7u);
}

}  // namespace
}  // namespace platform
