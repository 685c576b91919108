#pragma once
// Calls a function from the GUI thread's event loop while a descriptor is
// readable, also inside nested loops (modal boxes).
//
// The program uses it for the main thread's message queue (so pipe
// notifications, the release timer and device changes run between Qt events),
// for the application window's requests, for termination signals and for
// commands on standard input.
//
// Threads: GUI thread only, after the QApplication exists. The callback runs
// on the GUI thread; it may disable the watch but not destroy it.

#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace ui {

class TDescriptorWatch {
 public:
  // Watches fd (which the caller keeps open for the watch's life).
  TDescriptorWatch(int fd, std::function<void()> onReadable);
  TDescriptorWatch(const TDescriptorWatch&) = delete;
  TDescriptorWatch& operator=(const TDescriptorWatch&) = delete;
  ~TDescriptorWatch();

  // A watch that is not enabled calls nothing.
  void SetEnabled(bool enabled);
  bool Enabled() const;

 private:
  std::unique_ptr<QSocketNotifier> FNotifier;
  std::function<void()> FOnReadable;
};

// Serves the calling (GUI) thread's message queue whenever it holds input.
// An exception that escapes a message's procedure goes to onError with its
// text (the queue goes on with the next message at the next wake).
std::unique_ptr<TDescriptorWatch> WatchMessageQueue(
    std::function<void(const std::string& text)> onError);

}  // namespace ui
