// Commands on the simulated-bench program's standard input.

#include "app/SimBenchCommands.h"
#include "sim/SimDeviceChange.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace app {
namespace {

using Lines = std::vector<std::string>;

class SimBenchCommandsTest : public ::testing::Test {
 protected:
  SimBenchCommandsTest()
      : Commands(Bench,
                 TSimProgramControl{[this] { Events.push_back("close"); },
                                    [this] { Events.push_back("minimize"); },
                                    [] { return std::string("normal activations 2"); }}) {
    Bench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "QN41000A"));
  }

  // What Feed writes, chunk by chunk, and the program events in between.
  std::string FeedChunks(const std::vector<std::string>& chunks, bool finish = false) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = ::open_memstream(&buffer, &size);
    for (const std::string& chunk : chunks) {
      Commands.Feed(chunk, out);
    }
    if (finish) {
      Commands.Finish(out);
    }
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
  }

  sim::TSimBench Bench;
  Lines Events;
  TSimBenchCommands Commands;
};

TEST_F(SimBenchCommandsTest, EachCommandAnswers) {
  struct Case {
    const char* line;
    Lines reply;
  };
  const Case kCases[] = {
      {"plug QN63300B Vardex QN633", {"plugged QN63300B"}},
      {"  plug\tQN42000C   Vardex QN420 rev. 2  ", {"plugged QN42000C"}},
      {"plug QN63300B Vardex QN633", {"error QN63300B is already plugged"}},
      {"list",
       {"instruments 3", "0 QN41000A Vardex QN410", "1 QN63300B Vardex QN633",
        "2 QN42000C Vardex QN420 rev. 2"}},
      {"unplug QN63300B", {"unplugged QN63300B"}},
      {"unplug QN63300B", {"error QN63300B is not plugged"}},
      {"window", {"window normal activations 2"}},
      {"minimize", {"minimized"}},
      {"", {}},
      {"   ", {}},
      {"fly away", {"error unknown command: fly"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Commands.Execute(c.line), c.reply);
  }
  EXPECT_EQ(Events, Lines{"minimize"});
}

TEST_F(SimBenchCommandsTest, BadArgumentsChangeNothing) {
  const char* kLines[] = {
      "plug",
      "plug QN1",                              // no description
      "plug QN1234567890123456 Vardex QN410",  // 17 characters
      "plug QN1/2 Vardex QN410",               // not a serial number
      "unplug",
      "unplug QN41000A QN41000A",
  };
  for (const char* line : kLines) {
    SCOPED_TRACE(line);
    const Lines reply = Commands.Execute(line);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].rfind("error usage: ", 0), 0u) << reply[0];
  }
  EXPECT_EQ(Bench.InstrumentCount(), 1u);
}

TEST_F(SimBenchCommandsTest, TheDescriptionNamesTheFamilyAndIsKeptInLatin1) {
  EXPECT_EQ(Commands.Execute("plug QN2208X Messger\xC3\xA4t QN2208"), Lines{"plugged QN2208X"});
  const std::vector<sim::TSimInstrument> instruments = Bench.Instruments();
  ASSERT_EQ(instruments.size(), 2u);
  EXPECT_EQ(instruments[1].Description, "Messger\xE4t QN2208");
  EXPECT_EQ(instruments[1].Family, sim::TSimFamily::QN2208);
  EXPECT_EQ(Commands.Execute("list").back(), "1 QN2208X Messger\xC3\xA4t QN2208");

  struct Case {
    const char* description;
    sim::TSimFamily family;
  };
  const Case kCases[] = {
      {"Vardex QN633", sim::TSimFamily::QN633},
      {"QN445 beside QN420", sim::TSimFamily::QN445},
      {"no family at all", sim::TSimFamily::QN410},
      {"QN22080", sim::TSimFamily::QN2208},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(FamilyOfDescription(c.description), c.family);
  }
}

TEST(TextConversion, Utf8BeyondLatin1AndBrokenSequencesBecomeQuestionMarks) {
  struct Case {
    const char* utf8;
    const char* latin1;
  };
  const Case kCases[] = {
      {"plain", "plain"},
      {"\xC3\xA9t\xC3\xA9", "\xE9t\xE9"},
      {"\xE2\x82\xAC 5", "? 5"},    // euro sign
      {"\xF0\x9F\x98\x80!", "?!"},  // beyond the basic plane
      {"\xC3", "?"},                // cut short
      {"\xFF\xFEok", "??ok"},       // not UTF-8 at all
      {"\xC3(x", "?(x"},            // bad continuation
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(sim::Utf8ToLatin1(c.utf8), c.latin1);
  }
  EXPECT_EQ(sim::Latin1ToUtf8("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
}

TEST_F(SimBenchCommandsTest, LinesMayArriveInPieces) {
  EXPECT_EQ(FeedChunks({"pl", "ug QN9 Vardex QN420\nli", "st\n"}),
            "plugged QN9\ninstruments 2\n0 QN41000A Vardex QN410\n1 QN9 Vardex QN420\n");
  // A last line without its end runs when the input ends.
  EXPECT_EQ(FeedChunks({"unplug QN9"}, true), "unplugged QN9\n");
}

TEST_F(SimBenchCommandsTest, QuitAnswersBeforeTheWindowCloses) {
  EXPECT_EQ(FeedChunks({"quit\n"}), "closing\n");
  EXPECT_EQ(Events, Lines{"close"});
  EXPECT_TRUE(Commands.Execute("quit") == Lines{"closing"});
  EXPECT_EQ(Events, Lines{"close"});  // Execute alone closes nothing
}

TEST_F(SimBenchCommandsTest, AnOverlongLineIsRefusedWhole) {
  const std::string longLine = "plug QN1 " + std::string(kMaxCommandLine, 'x');
  EXPECT_EQ(FeedChunks({longLine.substr(0, 500), longLine.substr(500) + "\nlist\n"}),
            "error line too long\ninstruments 1\n0 QN41000A Vardex QN410\n");
  EXPECT_EQ(Bench.InstrumentCount(), 1u);
}

}  // namespace
}  // namespace app
