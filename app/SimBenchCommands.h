#pragma once
// Commands on standard input of the simulated-bench program, for scripts and
// tests: plug and unplug virtual instruments while the server runs, look at
// the bench and the main window, and close the program the normal way.
//
//   plug <serial> <description>   plug an instrument; the description names
//                                 its family ("Vardex QN633")
//   unplug <serial>               pull it out again
//   list                          "instruments <n>", then one line per
//                                 instrument: "<index> <serial> <description>"
//   window                        "window <normal|minimized|closed> activations <n>"
//   minimize                      minimise the main window
//   quit                          close the main window as its close button does
//   help                          the commands
//
// Each command answers with one line ("plugged QN1", "error ...") or, for
// list and help, several. Serial numbers are 1 to 16 letters, digits, '-' or
// '_'. Texts are UTF-8; the bench keeps 8-bit (Latin-1) names, and a
// character beyond Latin-1 becomes '?'.
//
// Threads: the main thread (the bench's hot-plug handler then runs there too).

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimBench.h"

namespace app {

// What the commands may do to the program besides the bench.
struct TSimProgramControl {
  std::function<void()> CloseMainWindow;
  std::function<void()> MinimizeMainWindow;
  std::function<std::string()> MainWindowState;  // "normal activations 0", ...
};

// Longest command line taken; a longer one is refused whole.
inline constexpr size_t kMaxCommandLine = 1024;

class TSimBenchCommands {
 public:
  TSimBenchCommands(sim::TSimBench& bench, TSimProgramControl program);

  // Runs one command line (without its line end) and returns the reply lines.
  // For quit it only answers: Feed and Finish close the window once the
  // answer is out.
  std::vector<std::string> Execute(std::string_view line);

  // Input as it arrives: runs every complete line and writes its replies,
  // one per line, to out (flushed after each command).
  void Feed(std::string_view bytes, std::FILE* out);
  // End of input: a last line without its line end is run.
  void Finish(std::FILE* out);

 private:
  void RunLine(std::string_view line, std::FILE* out);

  sim::TSimBench& FBench;
  TSimProgramControl FProgram;
  std::string FPending;
  bool FDiscarding = false;  // inside a line that was too long
};

// The family a description names (the first family name found in it);
// QN410 when it names none.
sim::TSimFamily FamilyOfDescription(std::string_view description);

}  // namespace app
