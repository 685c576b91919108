#include "app/SimBenchCommands.h"

#include "sim/SimDeviceChange.h"

#include <cctype>

namespace app {

namespace {

constexpr sim::TSimFamily kFamilies[] = {sim::TSimFamily::QN2208, sim::TSimFamily::QN410,
                                         sim::TSimFamily::QN420, sim::TSimFamily::QN445,
                                         sim::TSimFamily::QN633};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsSpace(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// The first word, and the rest after the blanks that follow it.
std::string_view TakeWord(std::string_view& text) {
  text = Trim(text);
  size_t end = 0;
  while (end < text.size() && !IsSpace(text[end])) {
    ++end;
  }
  const std::string_view word = text.substr(0, end);
  text = Trim(text.substr(end));
  return word;
}

bool IsValidSerial(std::string_view serial) {
  if (serial.empty() || serial.size() > 16) {
    return false;
  }
  for (const char c : serial) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
      return false;
    }
  }
  return true;
}

}  // namespace

sim::TSimFamily FamilyOfDescription(std::string_view description) {
  size_t best = std::string_view::npos;
  sim::TSimFamily family = sim::TSimFamily::QN410;
  for (const sim::TSimFamily candidate : kFamilies) {
    const size_t at = description.find(sim::FamilyText(candidate));
    if (at != std::string_view::npos && (best == std::string_view::npos || at < best)) {
      best = at;
      family = candidate;
    }
  }
  return family;
}

TSimBenchCommands::TSimBenchCommands(sim::TSimBench& bench, TSimProgramControl program)
    : FBench(bench), FProgram(std::move(program)) {}

std::vector<std::string> TSimBenchCommands::Execute(std::string_view line) {
  std::string_view rest = line;
  const std::string_view command = TakeWord(rest);
  if (command.empty()) {
    return {};
  }
  if (command == "plug") {
    const std::string_view serial = TakeWord(rest);
    if (!IsValidSerial(serial) || rest.empty()) {
      return {
          "error usage: plug <serial> <description>; serial numbers are 1 to 16 letters, "
          "digits, '-' or '_'"};
    }
    const std::string description = sim::Utf8ToLatin1(rest);
    sim::TSimInstrument instrument{std::string(serial), description,
                                   FamilyOfDescription(description)};
    if (!FBench.Plug(instrument)) {
      return {"error " + std::string(serial) + " is already plugged"};
    }
    return {"plugged " + std::string(serial)};
  }
  if (command == "unplug") {
    const std::string_view serial = TakeWord(rest);
    if (serial.empty() || !rest.empty()) {
      return {"error usage: unplug <serial>"};
    }
    const std::string latin1 = sim::Utf8ToLatin1(serial);
    if (!FBench.Unplug(latin1)) {
      return {"error " + std::string(serial) + " is not plugged"};
    }
    return {"unplugged " + std::string(serial)};
  }
  if (command == "list") {
    const std::vector<sim::TSimInstrument> instruments = FBench.Instruments();
    std::vector<std::string> reply{"instruments " + std::to_string(instruments.size())};
    for (size_t i = 0; i < instruments.size(); ++i) {
      reply.push_back(std::to_string(i) + " " + sim::Latin1ToUtf8(instruments[i].Serial) + " " +
                      sim::Latin1ToUtf8(instruments[i].Description));
    }
    return reply;
  }
  if (command == "window") {
    return {"window " + (FProgram.MainWindowState ? FProgram.MainWindowState() : "closed")};
  }
  if (command == "minimize") {
    if (FProgram.MinimizeMainWindow) {
      FProgram.MinimizeMainWindow();
    }
    return {"minimized"};
  }
  if (command == "quit") {
    // The reply goes out first: closing pauses the program for a while.
    return {"closing"};
  }
  if (command == "help") {
    return {"plug <serial> <description>", "unplug <serial>", "list", "window", "minimize", "quit"};
  }
  return {"error unknown command: " + sim::Latin1ToUtf8(sim::Utf8ToLatin1(command))};
}

void TSimBenchCommands::RunLine(std::string_view line, std::FILE* out) {
  for (const std::string& reply : Execute(line)) {
    std::fprintf(out, "%s\n", reply.c_str());
  }
  std::fflush(out);
  std::string_view rest = line;
  if (TakeWord(rest) == "quit" && FProgram.CloseMainWindow) {
    FProgram.CloseMainWindow();
  }
}

void TSimBenchCommands::Feed(std::string_view bytes, std::FILE* out) {
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!FDiscarding) {
      FPending.append(piece);
    }
    if (FPending.size() > kMaxCommandLine) {
      FPending.clear();
      FDiscarding = true;
    }
    if (end == std::string_view::npos) {
      return;
    }
    bytes.remove_prefix(end + 1);
    if (FDiscarding) {
      FDiscarding = false;
      std::fprintf(out, "error line too long\n");
      std::fflush(out);
      continue;
    }
    const std::string line = std::move(FPending);
    FPending.clear();
    RunLine(line, out);
  }
}

void TSimBenchCommands::Finish(std::FILE* out) {
  if (!FPending.empty() && !FDiscarding) {
    const std::string line = std::move(FPending);
    FPending.clear();
    RunLine(line, out);
  }
  FPending.clear();
  FDiscarding = false;
}

}  // namespace app
