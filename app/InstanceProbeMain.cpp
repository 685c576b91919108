// A stand-in for the server's start-up, used by the single-instance tests: it
// makes its application window and asks the guard, like the program does, and
// reports on standard output. Commands on standard input:
//   record  prints the record as this process sees it
//   quit    (or end of input) finalises the guard and ends
// Lines written:
//   running <own window> <MainWindow> <InstanceCount> <Reserved>
//   refused <own window> <MainWindow> <InstanceCount> <Reserved>
//   record <MainWindow> <InstanceCount> <Reserved>
//   activated
//   error <text>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "app/AppWindow.h"
#include "app/CheckPrevious.h"

namespace {

void PrintRecord(const char* tag, const std::optional<app::TInstanceRecord>& record) {
  if (record) {
    std::printf("%s %u %d %u\n", tag, record->MainWindow, record->InstanceCount, record->Reserved);
  } else {
    std::printf("%s none\n", tag);
  }
  std::fflush(stdout);
}

int Run() {
  app::TAppWindow appWindow;
  appWindow.OnActivate = [](app::TAppWindow&) {
    std::printf("activated\n");
    std::fflush(stdout);
  };
  const bool refused = app::CheckPreviousInstance(appWindow.Handle(), 1);
  const std::string own = std::to_string(appWindow.Handle());
  PrintRecord(((refused ? "refused " : "running ") + own).c_str(), app::CurrentInstanceRecord());
  if (refused) {
    return 0;
  }

  std::string pending;
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {appWindow.RequestFd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      continue;
    }
    if (fds[1].revents & POLLIN) {
      appWindow.ServeRequests();
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      pending.append(buffer, static_cast<size_t>(n));
      size_t end;
      bool quit = false;
      while ((end = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line == "record") {
          PrintRecord("record", app::CurrentInstanceRecord());
        } else if (line == "quit") {
          quit = true;
        }
      }
      if (quit) {
        break;
      }
    }
  }
  app::FinalizeCheckPrevious();
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& e) {
    std::printf("error %s\n", e.what());
    return 1;
  }
}
