#pragma once
// A server program started for a whole-program test: its own copy of the
// program file (so that it has a single-instance record of its own), standard
// input to send commands, standard output and standard error collected line
// by line, and its end awaited with a deadline.
//
// The program runs without a display (DISPLAY and WAYLAND_DISPLAY removed),
// so it chooses Qt's offscreen platform itself. A process still running when
// the object goes is killed and reaped.
//
// Threads: one test thread uses the object; a reader thread per object
// collects the output.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

inline constexpr std::chrono::seconds kDeadline{60};

// A fresh directory under /tmp, removed with everything in it at the end.
class TTempDir {
 public:
  TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  ~TTempDir();
  const std::filesystem::path& Path() const { return FPath; }

 private:
  std::filesystem::path FPath;
};

// Copies the program file into dir and returns the copy's path.
std::filesystem::path CopyProgram(const std::filesystem::path& program,
                                  const std::filesystem::path& dir);

class TServerProcess {
 public:
  explicit TServerProcess(const std::filesystem::path& program);
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;
  ~TServerProcess();

  pid_t Pid() const { return FPid; }

  // Writes one line to the program's standard input.
  void Send(const std::string& line);
  // Closes the program's standard input.
  void CloseInput();

  // Waits until a line of standard output (or error) satisfies match; returns
  // it, or nothing at the deadline.
  std::optional<std::string> WaitForOutput(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds deadline = kDeadline);
  std::optional<std::string> WaitForError(const std::function<bool(const std::string&)>& match,
                                          std::chrono::milliseconds deadline = kDeadline);
  // A line of standard error that contains text.
  bool WaitForErrorText(const std::string& text, std::chrono::milliseconds deadline = kDeadline);

  // Sends a command and waits for the first new output line that starts with
  // prefix.
  std::optional<std::string> Ask(const std::string& command, const std::string& prefix);

  // Waits for the program to end; its exit code (128 + n for signal n), or
  // nothing at the deadline.
  std::optional<int> WaitForExit(std::chrono::milliseconds deadline = kDeadline);

  std::vector<std::string> OutputLines();
  std::vector<std::string> ErrorLines();

 private:
  void ReadOutput(int outFd, int errFd);
  std::optional<std::string> WaitForLine(const std::vector<std::string>& lines,
                                         size_t from,
                                         const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds deadline);

  pid_t FPid = -1;
  int FPidFd = -1;
  int FInput = -1;
  std::optional<int> FExitCode;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<std::string> FOutput;
  std::vector<std::string> FError;
  std::thread FReader;
};

}  // namespace e2e
