#pragma once
// TServerApplication: the Qt application object of the server programs, with
// their main window, behind a header free of Qt.
//
// The program's entry (app/) runs the start-up sequence and the exit order;
// this object supplies the toolkit's parts of it: the application object
// (made after the single-instance check), the main window over the core's
// form, the main loop, and watches that bring descriptors (the application
// window's requests, termination signals, standard input) into that loop.
//
// Where no display exists (neither DISPLAY nor WAYLAND_DISPLAY set, and no
// platform chosen by QT_QPA_PLATFORM), Qt's offscreen platform is used, so the
// server also runs as a service.
//
// Threads: the main thread only; it is the form's main thread, and its message
// queue is served from the main loop (also while a modal box is open).

#include <functional>
#include <memory>
#include <string>

#include "core/frmPipeServer.h"
#include "sim/SimBench.h"

namespace ui {

class TServerApplication {
 public:
  // Makes the application object with the given title and loads the window's
  // fonts.
  TServerApplication(int& argc, char** argv, const std::string& title);
  TServerApplication(const TServerApplication&) = delete;
  TServerApplication& operator=(const TServerApplication&) = delete;
  // Destroys whatever is left (as DestroyMainWindow), then the application.
  ~TServerApplication();

  // True when no display was found and the offscreen platform was chosen.
  bool Offscreen() const;

  // Runs before each error box with its text (the box still opens).
  std::function<void(const std::string& text)> OnError;

  // Makes the main window over the form, with its own task-bar button, and
  // serves this thread's message queue from the loop; runs the form's
  // creation handler (FormCreate) and shows the window.
  void CreateMainWindow(std::unique_ptr<core::TfrmPipeServer> form);
  // nullptr before CreateMainWindow and after DestroyMainWindow.
  core::TfrmPipeServer* Form();

  // Closes the main window the normal way, as its close button does (the
  // form's FormCloseQuery runs). Nothing when it is closed already.
  void CloseMainWindow();
  // Restores the main window if minimised, then brings it to the front.
  void ActivateMainWindow();
  void MinimizeMainWindow();
  // "normal", "minimized" or "closed", then " activations <n>".
  std::string MainWindowState() const;

  // Calls onReadable from the loop while fd is readable, until
  // DestroyMainWindow. The callback may call StopWatching for its own fd
  // (for example at the end of input).
  void WatchDescriptor(int fd, std::function<void()> onReadable);
  void StopWatching(int fd);

  // Shows the simulated bench's window (the bench must outlive it).
  void ShowSimBench(sim::TSimBench& bench);
  // Makes the bench's window show the bench as it is now.
  void RefreshSimBench();

  // Runs the main loop until the main window has closed.
  void Exec();

  // Destroys the watches, the bench's window and the main window with its
  // form (whose pipe server stops and waits for its threads).
  void DestroyMainWindow();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace ui
