#include "app/ServerProgram.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/AppWindow.h"
#include "app/CheckPrevious.h"
#include "app/LogMirror.h"
#include "app/SimBenchCommands.h"
#include "app/TerminationSignals.h"
#include "core/frmPipeServer.h"
#include "pipes/PipeServer.h"
#include "pipes/ThreadSupport.h"
#include "platform/DeviceChange.h"
#include "sim/SimBench.h"
#include "sim/SimDeviceChange.h"
#include "ui/qt/ServerApplication.h"
#include "usb/FtdiWrapper.h"
#include "usb/VendorD2xx.h"

namespace app {

namespace {

constexpr char kApplicationTitle[] = "InstrumentServer";

void WriteStamped(const std::string& line) {
  const std::string stamped = StampLine(line, std::chrono::system_clock::now()) + "\n";
  std::fwrite(stamped.data(), 1, stamped.size(), stderr);
  std::fflush(stderr);
}

// The D2XX backend and, for the demonstration program, the bench behind it.
struct TInstruments {
  std::unique_ptr<usb::TD2xx> Backend;
  sim::TSimBench* Bench = nullptr;
};

TInstruments MakeInstruments(TServerProgramKind kind) {
  TInstruments instruments;
  if (kind == TServerProgramKind::SimulatedBench) {
    std::unique_ptr<sim::TSimBench> bench = sim::MakeDefaultSimBench();
    instruments.Bench = bench.get();
    instruments.Backend = std::move(bench);
    WriteStamped("Simulated bench with " + std::to_string(instruments.Bench->InstrumentCount()) +
                 " instruments");
  } else {
    std::string note;
    instruments.Backend = usb::SelectD2xxBackend(&note);
    WriteStamped(note);
  }
  return instruments;
}

void WatchStandardInput(ui::TServerApplication& application, TSimBenchCommands& commands) {
  application.WatchDescriptor(STDIN_FILENO, [&application, &commands] {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
      commands.Feed(std::string_view(buffer, static_cast<size_t>(n)), stdout);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      // End of input: the program goes on; only the commands end.
      commands.Finish(stdout);
      application.StopWatching(STDIN_FILENO);
    }
  });
}

// Unbinds the driver wrapper from the backend before the backend goes.
struct TBackendBinding {
  explicit TBackendBinding(usb::TD2xx* backend) { ftdi::SetD2xxBackend(backend); }
  TBackendBinding(const TBackendBinding&) = delete;
  TBackendBinding& operator=(const TBackendBinding&) = delete;
  ~TBackendBinding() { ftdi::SetD2xxBackend(nullptr); }
};

bool IsOpenDescriptor(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

int Run(int argc, char** argv, TServerProgramKind kind) {
  // 1. Modules. The thread support is finalised last, after every pipe
  // thread has ended (the window's destruction waits for them).
  pipes::TPipesModule pipesModule;
  TTerminationSignals signals;
  TAppWindow appWindow;

  // 2. One copy per program path.
  if (CheckPreviousInstance(appWindow.Handle(), 1)) {
    FinalizeCheckPrevious();
    return 0;
  }

  // Declared before the application object so that they outlive the window.
  TInstruments instruments = MakeInstruments(kind);
  TBackendBinding binding(instruments.Backend.get());

  // 3.-5. The application object, with its title; the main window gets its
  // own task-bar button as every top-level window does.
  ui::TServerApplication application(argc, argv, kApplicationTitle);
  application.OnError = [](const std::string& text) { WriteStamped("Error: " + text); };
  if (application.Offscreen()) {
    WriteStamped("No display: the window is drawn offscreen");
  }

  // 6. The main window; its creation handler starts the server and runs the
  // USB Test.
  auto pipeServer = std::make_unique<pipes::TPipeServer>();
  pipeServer->SetPipeName(core::kPipeName);
  auto form = std::make_unique<core::TfrmPipeServer>(std::move(pipeServer));
  form->ExeName = ProgramFilePath();
  auto mirror = std::make_unique<TLogMirror>(form->statMemo, stderr);
  application.CreateMainWindow(std::move(form));

  appWindow.OnActivate = [&application](TAppWindow&) { application.ActivateMainWindow(); };
  application.WatchDescriptor(appWindow.RequestFd(), [&appWindow] { appWindow.ServeRequests(); });
  application.WatchDescriptor(signals.ReadFd(), [&signals, &application] {
    if (signals.Drain() > 0) {
      application.CloseMainWindow();
    }
  });

  std::unique_ptr<TSimBenchCommands> commands;
  if (instruments.Bench != nullptr) {
    // Plugging and unplugging on the bench reach the window as a real
    // instrument's arrival and removal do.
    sim::ConnectBenchToDeviceChange(*instruments.Bench,
                                    [&application] { application.RefreshSimBench(); });
    application.ShowSimBench(*instruments.Bench);
    commands = std::make_unique<TSimBenchCommands>(
        *instruments.Bench,
        TSimProgramControl{[&application] { application.CloseMainWindow(); },
                           [&application] { application.MinimizeMainWindow(); },
                           [&application] { return application.MainWindowState(); }});
    if (IsOpenDescriptor(STDIN_FILENO)) {
      WatchStandardInput(application, *commands);
    }
  }

  // 7. The main loop, until the main window has closed.
  application.Exec();

  // 8. Exit order: the guard, then the window with its pipe server, then
  // the thread support (pipesModule, last of all).
  FinalizeCheckPrevious();
  mirror.reset();
  application.DestroyMainWindow();
  if (instruments.Bench != nullptr) {
    instruments.Bench->SetOnDeviceChange(nullptr);
  }
  return 0;
}

}  // namespace

int RunServerProgram(int argc, char** argv, TServerProgramKind kind) {
  try {
    return Run(argc, argv, kind);
  } catch (const std::exception& e) {
    WriteStamped(std::string("Start-up failed: ") + e.what());
    return 1;
  }
}

}  // namespace app
