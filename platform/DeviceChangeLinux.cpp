#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "platform/DeviceChange.h"
#include "platform/DeviceChangeUdev.h"

// How it fits together.
//
// Each registration owns a queue of notifications and a hidden relay window of
// the recipient's thread. Raisers (the udev thread, BroadcastDeviceChange on
// any thread) append to the queue and post one wake-up message to the relay
// when the queue was empty; they never wait for the recipient. The relay's
// procedure runs on the owner thread when that thread dispatches posted
// messages; it takes the notifications one by one and calls the recipient's
// procedure directly (same thread), then frees the record.
//
// The relay's procedure finds its registration by handle, not by pointer, so a
// relay window that outlives its registration (ended on another thread) can
// never reach freed memory: it finds nothing and destroys itself.
//
// Lock order: the registry lock and a registration's lock are never held
// together, and neither is held while a window procedure runs or while the
// udev thread is joined.

namespace platform {
namespace {

constexpr uint32_t kRelayMessage = WM_USER + 0x0219;
const char kRelayClass[] = "DeviceNotificationRelay";

struct TPending {
  uint32_t Code = 0;
  TDeviceBroadcastRecord Record;
};

class TRegistration {
 public:
  // Set before the registration is published, read-only afterwards.
  TDeviceNotifyHandle Handle = 0;
  TWindowHandle Recipient = 0;
  TWindowHandle Relay = 0;

  // Any thread. False when the registration has ended.
  bool Enqueue(uint32_t code, TDeviceBroadcastRecord record) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (!FActive) {
        return false;
      }
      wake = FPending.empty();
      FPending.push_back(TPending{code, std::move(record)});
    }
    if (wake && !PostMessage(Relay, kRelayMessage, 0, 0)) {
      // The relay is gone with its thread: nothing can be delivered any more.
      std::deque<TPending> dropped;
      std::lock_guard<std::mutex> lock(FLock);
      FActive = false;
      dropped.swap(FPending);
    }
    return true;
  }

  // Owner thread, from the relay's procedure. May be re-entered when a
  // recipient pumps messages; each notification is still handed over once, in
  // order of arrival.
  void Deliver() {
    for (;;) {
      TPending next;
      {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FActive || FPending.empty()) {
          return;
        }
        next = std::move(FPending.front());
        FPending.pop_front();
      }
      bool delivered = false;
      try {
        delivered = SendMessage(Recipient, WM_DEVICECHANGE, next.Code, next.Record.LParam());
      } catch (const std::exception& e) {
        delivered = true;
        std::fprintf(stderr, "Device-change notification: the window procedure raised: %s\n",
                     e.what());
      } catch (...) {
        delivered = true;
        std::fprintf(stderr, "Device-change notification: the window procedure raised\n");
      }
      if (!delivered && !IsWindow(Recipient)) {
        // The registration ends with its window.
        UnregisterDeviceNotification(Handle);
        return;
      }
    }
  }

  // Once, by whoever removed the registration from the registry.
  void End() {
    std::deque<TPending> dropped;
    {
      std::lock_guard<std::mutex> lock(FLock);
      FActive = false;
      dropped.swap(FPending);
    }
    FUdev.reset();  // joins the udev thread; it only ever waits for FLock
    if (GetWindowThreadId(Relay) == GetCurrentThreadId()) {
      DestroyWindow(Relay);
    } else {
      // Only the owner thread may destroy the relay: wake it so that it finds
      // the registration gone. If the thread has ended, the relay went with it.
      PostMessage(Relay, kRelayMessage, 0, 0);
    }
  }

  void StartUdev() {
    FUdev = TUdevDeviceSource::Start([this](uint32_t code, const TUsbDeviceIdentity& device) {
      Enqueue(code, MakeUsbDeviceInterfaceRecord(device.Vid, device.Pid, device.InstanceId));
    });
  }

 private:
  std::mutex FLock;
  std::deque<TPending> FPending;  // guarded by FLock
  bool FActive = true;            // guarded by FLock
  // Declared last so that it is destroyed (its thread joined) before the
  // queue its sink writes to.
  std::unique_ptr<TUdevDeviceSource> FUdev;
};

using PRegistration = std::shared_ptr<TRegistration>;

// Set once the registry is gone at exit: a registration ended later (by an
// object destroyed after it) finds nothing instead of a destroyed registry.
constinit std::atomic<bool> gRegistryGone{false};

class TRegistry {
 public:
  TRegistry() = default;
  // At exit: the registrations still alive stop their udev threads.
  ~TRegistry() {
    std::vector<PRegistration> items;
    {
      std::lock_guard<std::mutex> lock(FLock);
      items.swap(FItems);
    }
    gRegistryGone = true;
  }

  TDeviceNotifyHandle NewHandle() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FNextHandle == 0) {
      FNextHandle = 1;
    }
    return FNextHandle++;
  }

  void Add(PRegistration registration) {
    std::lock_guard<std::mutex> lock(FLock);
    FItems.push_back(std::move(registration));
  }

  PRegistration Find(TDeviceNotifyHandle handle) {
    std::lock_guard<std::mutex> lock(FLock);
    for (const PRegistration& item : FItems) {
      if (item->Handle == handle) {
        return item;
      }
    }
    return nullptr;
  }

  PRegistration Take(TDeviceNotifyHandle handle) {
    std::lock_guard<std::mutex> lock(FLock);
    for (auto it = FItems.begin(); it != FItems.end(); ++it) {
      if ((*it)->Handle == handle) {
        PRegistration item = std::move(*it);
        FItems.erase(it);
        return item;
      }
    }
    return nullptr;
  }

  std::vector<PRegistration> Snapshot() {
    std::lock_guard<std::mutex> lock(FLock);
    return FItems;
  }

 private:
  std::mutex FLock;
  std::vector<PRegistration> FItems;  // in registration order
  TDeviceNotifyHandle FNextHandle = 1;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

intptr_t RelayProc(void* context,
                   TWindowHandle window,
                   uint32_t msg,
                   uintptr_t wParam,
                   intptr_t lParam) {
  if (msg != kRelayMessage) {
    return DefWindowProc(context, window, msg, wParam, lParam);
  }
  const auto handle = static_cast<TDeviceNotifyHandle>(reinterpret_cast<uintptr_t>(context));
  const PRegistration registration = gRegistryGone ? nullptr : Registry().Find(handle);
  if (!registration) {
    DestroyWindow(window);
    return 0;
  }
  registration->Deliver();
  return 0;
}

bool AcceptsFilter(const void* filter, uint32_t flags) {
  if (filter == nullptr || (flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0) {
    return false;
  }
  DEV_BROADCAST_HDR header{};
  std::memcpy(&header, filter, sizeof header);
  if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header.dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE)) {
    return false;
  }
  DEV_BROADCAST_DEVICEINTERFACE record{};
  std::memcpy(&record, filter, sizeof record);
  return (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0 ||
         record.dbcc_classguid == GUID_DEVINTERFACE_USB_DEVICE;
}

}  // namespace

TScopedDeviceNotification RegisterDeviceNotification(TWindowHandle recipient,
                                                     const void* filter,
                                                     uint32_t flags) {
  if (gRegistryGone || !AcceptsFilter(filter, flags) || recipient == 0 ||
      GetWindowThreadId(recipient) != GetCurrentThreadId()) {
    return {};
  }
  TWndProc classProc;
  if (!GetWindowClassInfo(kRelayClass, &classProc)) {
    // Another thread may win the race; the class exists either way.
    RegisterWindowClass(kRelayClass, kDefWindowProc);
  }

  auto registration = std::make_shared<TRegistration>();
  registration->Handle = Registry().NewHandle();
  registration->Recipient = recipient;
  registration->Relay = CreateWindow(kRelayClass);
  SetWindowProc(registration->Relay,
                {&RelayProc, reinterpret_cast<void*>(uintptr_t{registration->Handle})});
  try {
    registration->StartUdev();
  } catch (...) {
    DestroyWindow(registration->Relay);
    throw;
  }
  Registry().Add(registration);
  return TScopedDeviceNotification(registration->Handle);
}

bool UnregisterDeviceNotification(TDeviceNotifyHandle handle) {
  if (gRegistryGone) {
    return false;
  }
  const PRegistration registration = Registry().Take(handle);
  if (!registration) {
    return false;
  }
  registration->End();
  return true;
}

int BroadcastDeviceChange(uint32_t eventCode, std::span<const std::byte> record) {
  int queued = 0;
  if (gRegistryGone) {
    return queued;
  }
  for (const PRegistration& registration : Registry().Snapshot()) {
    if (registration->Enqueue(eventCode, TDeviceBroadcastRecord(record))) {
      ++queued;
    }
  }
  return queued;
}

int BroadcastUsbDeviceChange(uint32_t eventCode,
                             uint16_t vid,
                             uint16_t pid,
                             std::string_view instanceId) {
  const TDeviceBroadcastRecord record = MakeUsbDeviceInterfaceRecord(vid, pid, instanceId);
  return BroadcastDeviceChange(eventCode, record.Bytes());
}

}  // namespace platform
