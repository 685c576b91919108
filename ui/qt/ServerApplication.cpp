#include "ui/qt/ServerApplication.h"

#include <stdlib.h>

#include <QApplication>

#include <map>

#include "ui/qt/DescriptorWatch.h"
#include "ui/qt/Fonts.h"
#include "ui/qt/PipeServerWindow.h"
#include "ui/qt/SimBenchWindow.h"

namespace ui {

namespace {

bool IsSet(const char* name) {
  const char* value = ::getenv(name);
  return value != nullptr && *value != '\0';
}

// Chooses the offscreen platform when nothing could be displayed; an explicit
// choice in QT_QPA_PLATFORM stands.
bool ChooseOffscreenWithoutDisplay() {
  if (IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY")) {
    return false;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return true;
}

}  // namespace

struct TServerApplication::TImpl {
  bool Offscreen = false;
  std::unique_ptr<QApplication> Application;
  std::unique_ptr<TPipeServerWindow> Window;
  std::unique_ptr<TDescriptorWatch> QueuePump;
  std::map<int, std::unique_ptr<TDescriptorWatch>> Watches;
  // Watches stopped from inside their own callback; freed later.
  std::vector<std::unique_ptr<TDescriptorWatch>> Stopped;
  std::unique_ptr<TSimBenchWindow> Bench;
  bool Closed = false;
};

TServerApplication::TServerApplication(int& argc, char** argv, const std::string& title)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Offscreen = ChooseOffscreenWithoutDisplay();
  FImpl->Application = std::make_unique<QApplication>(argc, argv);
  QApplication::setApplicationName(QString::fromStdString(title));
  // The program ends with its main window, whatever other window is open.
  QApplication::setQuitOnLastWindowClosed(false);
  LoadApplicationFonts();
}

TServerApplication::~TServerApplication() {
  DestroyMainWindow();
  FImpl->Application.reset();
}

bool TServerApplication::Offscreen() const {
  return FImpl->Offscreen;
}

void TServerApplication::CreateMainWindow(std::unique_ptr<core::TfrmPipeServer> form) {
  FImpl->Window = std::make_unique<TPipeServerWindow>(std::move(form));
  TPipeServerWindow* window = FImpl->Window.get();
  core::TfrmPipeServer& model = window->Form();
  model.ShowError = [this, window](const std::string& text) {
    if (OnError) {
      OnError(text);
    }
    window->ShowErrorBox(text);
  };
  window->OnClosed = [this] {
    FImpl->Closed = true;
    // Leaves every loop, a modal box's included.
    QCoreApplication::quit();
  };
  FImpl->QueuePump =
      WatchMessageQueue([&model](const std::string& text) { model.ShowError(text); });
  model.FormCreate(model);
  window->show();
}

core::TfrmPipeServer* TServerApplication::Form() {
  return FImpl->Window ? &FImpl->Window->Form() : nullptr;
}

void TServerApplication::CloseMainWindow() {
  if (FImpl->Window && !FImpl->Closed) {
    FImpl->Window->close();
  }
}

void TServerApplication::ActivateMainWindow() {
  if (FImpl->Window) {
    FImpl->Window->Activate();
  }
}

void TServerApplication::MinimizeMainWindow() {
  if (FImpl->Window && !FImpl->Closed) {
    FImpl->Window->showMinimized();
  }
}

std::string TServerApplication::MainWindowState() const {
  if (!FImpl->Window) {
    return "closed activations 0";
  }
  const char* state = FImpl->Closed                  ? "closed"
                      : FImpl->Window->isMinimized() ? "minimized"
                                                     : "normal";
  return std::string(state) + " activations " + std::to_string(FImpl->Window->ActivationCount());
}

void TServerApplication::WatchDescriptor(int fd, std::function<void()> onReadable) {
  FImpl->Watches[fd] = std::make_unique<TDescriptorWatch>(fd, std::move(onReadable));
}

void TServerApplication::StopWatching(int fd) {
  const auto it = FImpl->Watches.find(fd);
  if (it == FImpl->Watches.end()) {
    return;
  }
  // The caller may be this watch's own callback: keep the watch until the end.
  it->second->SetEnabled(false);
  FImpl->Stopped.push_back(std::move(it->second));
  FImpl->Watches.erase(it);
}

void TServerApplication::ShowSimBench(sim::TSimBench& bench) {
  FImpl->Bench = std::make_unique<TSimBenchWindow>(bench);
  FImpl->Bench->move(440, 0);
  FImpl->Bench->show();
}

void TServerApplication::RefreshSimBench() {
  if (FImpl->Bench) {
    FImpl->Bench->Refresh();
  }
}

void TServerApplication::Exec() {
  // A close that came before the loop has already ended the program.
  if (FImpl->Window && !FImpl->Closed) {
    QApplication::exec();
  }
}

void TServerApplication::DestroyMainWindow() {
  FImpl->Watches.clear();
  FImpl->Stopped.clear();
  FImpl->Bench.reset();
  FImpl->QueuePump.reset();
  FImpl->Window.reset();
}

}  // namespace ui
