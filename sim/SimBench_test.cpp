#include "sim/SimBench.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sim::TSimBench;
using sim::TSimCallKind;
using Clock = std::chrono::steady_clock;

// Generous upper bound for anything that should end "at once" or after a
// short time-out, on a loaded machine.
constexpr auto kLongWait = 30s;

std::string ListName(TSimBench& bench, int32_t index, uint32_t flags, usb::FT_STATUS* status) {
  char name[usb::kD2xxNameSize + 16];
  std::memset(name, '#', sizeof name);
  *status = bench.FT_ListDevices(usb::ListIndexArg(index), name, usb::FT_LIST_BY_INDEX | flags);
  return *status == usb::FT_OK ? std::string(name) : std::string();
}

std::string SerialAt(TSimBench& bench, int32_t index) {
  usb::FT_STATUS status = 0;
  return ListName(bench, index, usb::FT_OPEN_BY_SERIAL_NUMBER, &status);
}

uint32_t Count(TSimBench& bench) {
  uint32_t count = 0xDEAD;
  EXPECT_EQ(usb::FT_OK, bench.FT_ListDevices(&count, nullptr, usb::FT_LIST_NUMBER_ONLY));
  return count;
}

class SimBenchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "A410")));
    ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "B633")));
    ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN2208, "C2208")));
  }

  usb::FT_HANDLE Open(int32_t index) {
    usb::FT_HANDLE handle = 0;
    EXPECT_EQ(usb::FT_OK, FBench.FT_Open(index, &handle));
    return handle;
  }

  usb::FT_STATUS Write(usb::FT_HANDLE handle,
                       const std::vector<uint8_t>& bytes,
                       uint32_t* written) {
    return FBench.FT_Write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), written);
  }

  std::vector<uint8_t> Read(usb::FT_HANDLE handle, uint32_t count, usb::FT_STATUS* status) {
    std::vector<uint8_t> bytes(count);
    uint32_t read = 0xDEAD;
    *status = FBench.FT_Read(handle, bytes.data(), count, &read);
    EXPECT_LE(read, count);
    bytes.resize(std::min(read, count));
    return bytes;
  }

  TSimBench FBench;
};

TEST_F(SimBenchTest, ListsInstrumentsByIndex) {
  EXPECT_EQ(3u, Count(FBench));
  struct Case {
    int32_t index;
    uint32_t flags;
    usb::FT_STATUS status;
    const char* name;
  };
  const Case kCases[] = {
      {0, usb::FT_OPEN_BY_SERIAL_NUMBER, usb::FT_OK, "A410"},
      {1, usb::FT_OPEN_BY_DESCRIPTION, usb::FT_OK, "Vardex QN633"},
      {2, usb::FT_OPEN_BY_DESCRIPTION, usb::FT_OK, "Vardex QN2208"},
      {3, usb::FT_OPEN_BY_SERIAL_NUMBER, usb::FT_DEVICE_NOT_FOUND, ""},
      {-1, usb::FT_OPEN_BY_DESCRIPTION, usb::FT_DEVICE_NOT_FOUND, ""},
      {0, usb::FT_OPEN_BY_SERIAL_NUMBER | usb::FT_OPEN_BY_DESCRIPTION, usb::FT_INVALID_PARAMETER,
       ""},
      {0, 0, usb::FT_INVALID_PARAMETER, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.index);
    usb::FT_STATUS status = 0;
    EXPECT_EQ(c.name, ListName(FBench, c.index, c.flags, &status));
    EXPECT_EQ(c.status, status);
  }
  EXPECT_EQ(usb::FT_INVALID_PARAMETER,
            FBench.FT_ListDevices(nullptr, nullptr, usb::FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(usb::FT_INVALID_PARAMETER,
            FBench.FT_ListDevices(usb::ListIndexArg(0), nullptr,
                                  usb::FT_LIST_BY_INDEX | usb::FT_OPEN_BY_SERIAL_NUMBER));
}

TEST_F(SimBenchTest, LongNamesAreCutToTheLibraryLimit) {
  ASSERT_TRUE(FBench.Plug(sim::TSimInstrument{"L", std::string(100, 'n')}));
  char name[200];
  std::memset(name, '#', sizeof name);
  ASSERT_EQ(usb::FT_OK, FBench.FT_ListDevices(usb::ListIndexArg(3), name,
                                              usb::FT_LIST_BY_INDEX | usb::FT_OPEN_BY_DESCRIPTION));
  EXPECT_EQ(std::string(usb::kD2xxNameSize - 1, 'n'), std::string(name));
  EXPECT_EQ('#', name[usb::kD2xxNameSize]);
}

TEST_F(SimBenchTest, DefaultBenchHasThreeFamilies) {
  const auto bench = sim::MakeDefaultSimBench();
  const auto instruments = bench->Instruments();
  ASSERT_EQ(3u, instruments.size());
  for (const auto& instrument : instruments) {
    EXPECT_NE(std::string::npos, instrument.Description.find(sim::FamilyText(instrument.Family)));
  }
  EXPECT_NE(instruments[0].Family, instruments[1].Family);
  EXPECT_NE(instruments[1].Family, instruments[2].Family);
  EXPECT_NE(instruments[0].Family, instruments[2].Family);
}

TEST_F(SimBenchTest, OpenHandsOutDistinctHandles) {
  const usb::FT_HANDLE first = Open(0);
  const usb::FT_HANDLE second = Open(2);
  EXPECT_EQ(TSimBench::kFirstHandle, first);
  EXPECT_EQ(TSimBench::kFirstHandle + 1, second);
  EXPECT_EQ(first, FBench.HandleOf("A410"));
  EXPECT_EQ(0u, FBench.HandleOf("B633"));
  usb::FT_HANDLE handle = 99;
  EXPECT_EQ(usb::FT_DEVICE_NOT_OPENED, FBench.FT_Open(0, &handle));
  EXPECT_EQ(usb::FT_DEVICE_NOT_FOUND, FBench.FT_Open(3, &handle));
  EXPECT_EQ(usb::FT_DEVICE_NOT_FOUND, FBench.FT_Open(-1, &handle));
  EXPECT_EQ(99u, handle);
  // A closed handle is not handed out again.
  EXPECT_EQ(usb::FT_OK, FBench.FT_Close(first));
  EXPECT_EQ(usb::FT_INVALID_HANDLE, FBench.FT_Close(first));
  EXPECT_EQ(TSimBench::kFirstHandle + 2, Open(0));
}

TEST_F(SimBenchTest, AnswersTheProbeAndEchoesData) {
  const usb::FT_HANDLE handle = Open(1);
  const std::vector<std::vector<uint8_t>> kCases = {{0x82},
                                                    {0x00},
                                                    {0x01, 0x02, 0x03},
                                                    {0xFF, 0x82, 0x00, 0x7F},
                                                    std::vector<uint8_t>(5000, 0xA5)};
  for (const auto& bytes : kCases) {
    SCOPED_TRACE(bytes.size());
    uint32_t written = 0;
    ASSERT_EQ(usb::FT_OK, Write(handle, bytes, &written));
    EXPECT_EQ(bytes.size(), written);
    uint32_t queued = 0;
    ASSERT_EQ(usb::FT_OK, FBench.FT_GetQueueStatus(handle, &queued));
    EXPECT_EQ(bytes.size(), queued);
    usb::FT_STATUS status = 0;
    EXPECT_EQ(bytes, Read(handle, static_cast<uint32_t>(bytes.size()), &status));
    EXPECT_EQ(usb::FT_OK, status);
  }
}

TEST_F(SimBenchTest, MuteInstrumentAnswersNothing) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_TRUE(FBench.SetResponse("A410", sim::TSimResponse::Mute));
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 20, 20));
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {0x82}, &written));
  EXPECT_EQ(1u, written);
  usb::FT_STATUS status = 0;
  EXPECT_TRUE(Read(handle, 1, &status).empty());
  EXPECT_EQ(usb::FT_OK, status);
  EXPECT_FALSE(FBench.SetResponse("nobody", sim::TSimResponse::Echo));
}

TEST_F(SimBenchTest, ShortReadWaitsForTheReadTimeout) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 150, 0));
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {1, 2}, &written));
  const auto start = Clock::now();
  usb::FT_STATUS status = 0;
  const auto bytes = Read(handle, 4, &status);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(usb::FT_OK, status);
  EXPECT_EQ((std::vector<uint8_t>{1, 2}), bytes);
  EXPECT_GE(elapsed, 150ms);
  EXPECT_LT(elapsed, kLongWait);
}

TEST_F(SimBenchTest, ZeroReadTimeoutDoesNotWait) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 0, 0));
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {7}, &written));
  usb::FT_STATUS status = 0;
  EXPECT_EQ((std::vector<uint8_t>{7}), Read(handle, 3, &status));
  EXPECT_EQ(usb::FT_OK, status);
  EXPECT_TRUE(Read(handle, 3, &status).empty());
}

TEST_F(SimBenchTest, ReadReturnsAsSoonAsTheBytesArrive) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 60000, 0));
  const std::vector<uint8_t> sent = {4, 5, 6};
  std::thread sender([&] { FBench.InjectReceived("A410", sent); });
  const auto start = Clock::now();
  usb::FT_STATUS status = 0;
  const auto bytes = Read(handle, 3, &status);
  sender.join();
  EXPECT_EQ(usb::FT_OK, status);
  EXPECT_EQ(sent, bytes);
  EXPECT_LT(Clock::now() - start, kLongWait);
}

TEST_F(SimBenchTest, EchoArrivesAfterTheLatencyTimer) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetLatencyTimer(handle, 120));
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 5000, 0));
  const auto start = Clock::now();
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {0x82}, &written));
  uint32_t queued = 99;
  ASSERT_EQ(usb::FT_OK, FBench.FT_GetQueueStatus(handle, &queued));
  if (Clock::now() - start < 120ms) {
    EXPECT_EQ(0u, queued);
  }
  usb::FT_STATUS status = 0;
  EXPECT_EQ((std::vector<uint8_t>{0x82}), Read(handle, 1, &status));
  EXPECT_EQ(usb::FT_OK, status);
  EXPECT_GE(Clock::now() - start, 120ms);
  ASSERT_EQ(usb::FT_OK, FBench.FT_GetQueueStatus(handle, &queued));
  EXPECT_EQ(0u, queued);
}

TEST_F(SimBenchTest, LatencyKeepsTheOrderOfEchoes) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 5000, 0));
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetLatencyTimer(handle, 80));
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {1}, &written));
  // A shorter latency does not let later bytes overtake earlier ones.
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetLatencyTimer(handle, 0));
  ASSERT_EQ(usb::FT_OK, Write(handle, {2}, &written));
  usb::FT_STATUS status = 0;
  EXPECT_EQ((std::vector<uint8_t>{1, 2}), Read(handle, 2, &status));
}

TEST_F(SimBenchTest, StalledWriteWaitsForTheWriteTimeout) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_TRUE(FBench.SetResponse("A410", sim::TSimResponse::Stall));
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 0, 120));
  const auto start = Clock::now();
  uint32_t written = 99;
  EXPECT_EQ(usb::FT_OK, Write(handle, {1, 2, 3}, &written));
  EXPECT_EQ(0u, written);
  EXPECT_GE(Clock::now() - start, 120ms);
  EXPECT_LT(Clock::now() - start, kLongWait);
}

TEST_F(SimBenchTest, FullReceiveQueueLimitsAWrite) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 0, 50));
  const std::vector<uint8_t> block(40000, 1);
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, block, &written));
  EXPECT_EQ(40000u, written);
  const auto start = Clock::now();
  EXPECT_EQ(usb::FT_OK, Write(handle, block, &written));
  EXPECT_EQ(TSimBench::kReceiveCapacity - 40000, written);
  EXPECT_GE(Clock::now() - start, 50ms);
  uint32_t queued = 0;
  ASSERT_EQ(usb::FT_OK, FBench.FT_GetQueueStatus(handle, &queued));
  EXPECT_EQ(TSimBench::kReceiveCapacity, queued);
}

TEST_F(SimBenchTest, PurgeAndResetEmptyTheReceiveQueue) {
  const usb::FT_HANDLE handle = Open(0);
  struct Case {
    const char* name;
    usb::FT_STATUS (*clear)(TSimBench&, usb::FT_HANDLE);
    uint32_t left;
  };
  const Case kCases[] = {
      {"purge rx", [](TSimBench& b, usb::FT_HANDLE h) { return b.FT_Purge(h, usb::FT_PURGE_RX); },
       0},
      {"purge both",
       [](TSimBench& b, usb::FT_HANDLE h) {
         return b.FT_Purge(h, usb::FT_PURGE_RX | usb::FT_PURGE_TX);
       },
       0},
      {"purge tx", [](TSimBench& b, usb::FT_HANDLE h) { return b.FT_Purge(h, usb::FT_PURGE_TX); },
       3},
      {"reset", [](TSimBench& b, usb::FT_HANDLE h) { return b.FT_ResetDevice(h); }, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(usb::FT_OK, FBench.FT_Purge(handle, usb::FT_PURGE_RX));
    uint32_t written = 0;
    ASSERT_EQ(usb::FT_OK, Write(handle, {1, 2, 3}, &written));
    EXPECT_EQ(usb::FT_OK, c.clear(FBench, handle));
    uint32_t queued = 99;
    ASSERT_EQ(usb::FT_OK, FBench.FT_GetQueueStatus(handle, &queued));
    EXPECT_EQ(c.left, queued);
  }
}

TEST_F(SimBenchTest, OpenStartsWithTheBenchDefaults) {
  FBench.SetDefaultTimeouts(250, 260);
  FBench.SetDefaultLatencyTimer(16);
  const usb::FT_HANDLE handle = Open(1);
  const auto info = FBench.HandleInfo(handle);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ("B633", info->Serial);
  EXPECT_FALSE(info->Unplugged);
  EXPECT_EQ(250u, info->ReadTimeout);
  EXPECT_EQ(260u, info->WriteTimeout);
  EXPECT_EQ(16, info->LatencyTimer);
  EXPECT_FALSE(FBench.HandleInfo(handle + 100).has_value());
}

TEST_F(SimBenchTest, UnknownHandleIsInvalid) {
  const usb::FT_HANDLE bogus = 0x12345678;
  uint8_t byte = 0;
  uint32_t count = 0;
  struct Case {
    const char* name;
    usb::FT_STATUS status;
  };
  const Case kCases[] = {
      {"read", FBench.FT_Read(bogus, &byte, 1, &count)},
      {"write", FBench.FT_Write(bogus, &byte, 1, &count)},
      {"purge", FBench.FT_Purge(bogus, usb::FT_PURGE_RX)},
      {"reset", FBench.FT_ResetDevice(bogus)},
      {"latency", FBench.FT_SetLatencyTimer(bogus, 2)},
      {"time-outs", FBench.FT_SetTimeouts(bogus, 1, 1)},
      {"queue", FBench.FT_GetQueueStatus(bogus, &count)},
      {"close", FBench.FT_Close(bogus)},
      {"handle 0", FBench.FT_Close(0)},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(usb::FT_INVALID_HANDLE, c.status);
  }
}

TEST_F(SimBenchTest, FaultInjectionFailsTheChosenCalls) {
  const usb::FT_HANDLE handle = Open(0);
  uint32_t queued = 0;
  // Next call only.
  FBench.FailNext(TSimCallKind::GetQueueStatus, usb::FT_IO_ERROR);
  EXPECT_EQ(usb::FT_IO_ERROR, FBench.FT_GetQueueStatus(handle, &queued));
  EXPECT_EQ(usb::FT_OK, FBench.FT_GetQueueStatus(handle, &queued));
  // Skip one, then fail two.
  FBench.FailNext(TSimCallKind::ResetDevice, usb::FT_INSUFFICIENT_RESOURCES, 2, 1);
  EXPECT_EQ(usb::FT_OK, FBench.FT_ResetDevice(handle));
  EXPECT_EQ(usb::FT_INSUFFICIENT_RESOURCES, FBench.FT_ResetDevice(handle));
  EXPECT_EQ(usb::FT_INSUFFICIENT_RESOURCES, FBench.FT_ResetDevice(handle));
  EXPECT_EQ(usb::FT_OK, FBench.FT_ResetDevice(handle));
  // Every call until cleared; other kinds are not affected.
  FBench.FailEvery(TSimCallKind::Purge, usb::FT_DEVICE_NOT_OPENED);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(usb::FT_DEVICE_NOT_OPENED, FBench.FT_Purge(handle, usb::FT_PURGE_TX));
  }
  EXPECT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 1, 1));
  FBench.ClearFaults();
  EXPECT_EQ(usb::FT_OK, FBench.FT_Purge(handle, usb::FT_PURGE_TX));
}

TEST_F(SimBenchTest, FailedCallsHaveNoEffect) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 0, 0));
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {1, 2}, &written));

  FBench.FailNext(TSimCallKind::Read, usb::FT_IO_ERROR);
  usb::FT_STATUS status = 0;
  EXPECT_TRUE(Read(handle, 2, &status).empty());
  EXPECT_EQ(usb::FT_IO_ERROR, status);

  FBench.FailNext(TSimCallKind::Write, usb::FT_IO_ERROR);
  written = 99;
  EXPECT_EQ(usb::FT_IO_ERROR, Write(handle, {3}, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ((std::vector<uint8_t>{1, 2}), Read(handle, 5, &status));

  FBench.FailNext(TSimCallKind::Open, usb::FT_DEVICE_NOT_FOUND);
  usb::FT_HANDLE other = 5;
  EXPECT_EQ(usb::FT_DEVICE_NOT_FOUND, FBench.FT_Open(1, &other));
  EXPECT_EQ(5u, other);
  EXPECT_EQ(0u, FBench.HandleOf("B633"));

  FBench.FailNext(TSimCallKind::ListDevices, usb::FT_IO_ERROR);
  uint32_t count = 77;
  EXPECT_EQ(usb::FT_IO_ERROR, FBench.FT_ListDevices(&count, nullptr, usb::FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(77u, count);
}

TEST_F(SimBenchTest, CallLogRecordsCallsAndArguments) {
  const usb::FT_HANDLE handle = Open(2);
  uint32_t written = 0;
  ASSERT_EQ(usb::FT_OK, Write(handle, {0xA1, 0xA2, 0xA3}, &written));
  ASSERT_EQ(usb::FT_OK, FBench.FT_Purge(handle, usb::FT_PURGE_TX));
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 11, 22));
  const auto calls = FBench.Calls();
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ(TSimCallKind::Open, calls[0].Kind);
  EXPECT_EQ(2u, calls[0].Arg1);
  EXPECT_EQ(handle, calls[0].Handle);
  EXPECT_EQ(TSimCallKind::Write, calls[1].Kind);
  EXPECT_EQ(3u, calls[1].Arg1);
  EXPECT_EQ(3u, calls[1].Count);
  EXPECT_EQ(0xA2, calls[1].Data[1]);
  EXPECT_EQ(usb::FT_PURGE_TX, calls[2].Arg1);
  EXPECT_EQ(11u, calls[3].Arg1);
  EXPECT_EQ(22u, calls[3].Arg2);
  EXPECT_EQ(1u, FBench.CountCalls(TSimCallKind::Purge, usb::FT_PURGE_TX));
  EXPECT_EQ(0u, FBench.CountCalls(TSimCallKind::Purge, usb::FT_PURGE_RX));
  EXPECT_STREQ("FT_Purge", sim::CallKindName(calls[2].Kind));
  FBench.ClearCalls();
  EXPECT_TRUE(FBench.Calls().empty());
}

TEST_F(SimBenchTest, CallLogKeepsTheLatestCalls) {
  const usb::FT_HANDLE handle = Open(0);
  const size_t total = TSimBench::kCallLogCapacity + 10;
  for (size_t i = 0; i < total; ++i) {
    ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, static_cast<uint32_t>(i), 0));
  }
  const auto calls = FBench.Calls();
  ASSERT_EQ(TSimBench::kCallLogCapacity, calls.size());
  EXPECT_EQ(10u, calls.front().Arg1);  // the open and the first ten are gone
  EXPECT_EQ(total - 1, calls.back().Arg1);
}

TEST_F(SimBenchTest, UnplugShiftsIndexesAndFailsTheOpenHandle) {
  const usb::FT_HANDLE first = Open(0);
  const usb::FT_HANDLE last = Open(2);
  ASSERT_TRUE(FBench.Unplug("B633"));
  EXPECT_EQ(2u, Count(FBench));
  EXPECT_EQ("A410", SerialAt(FBench, 0));
  EXPECT_EQ("C2208", SerialAt(FBench, 1));
  // The handle of the instrument that moved keeps working.
  uint32_t written = 0;
  EXPECT_EQ(usb::FT_OK, Write(last, {0x82}, &written));

  ASSERT_TRUE(FBench.Unplug("A410"));
  EXPECT_EQ("C2208", SerialAt(FBench, 0));
  uint8_t byte = 0;
  uint32_t count = 0;
  EXPECT_EQ(usb::FT_IO_ERROR, FBench.FT_Write(first, &byte, 1, &count));
  EXPECT_EQ(usb::FT_IO_ERROR, FBench.FT_Read(first, &byte, 1, &count));
  EXPECT_EQ(usb::FT_IO_ERROR, FBench.FT_Purge(first, usb::FT_PURGE_RX));
  EXPECT_EQ(usb::FT_IO_ERROR, FBench.FT_GetQueueStatus(first, &count));
  ASSERT_TRUE(FBench.HandleInfo(first).has_value());
  EXPECT_TRUE(FBench.HandleInfo(first)->Unplugged);
  EXPECT_EQ(usb::FT_OK, FBench.FT_Close(first));
  EXPECT_FALSE(FBench.HandleInfo(first).has_value());

  // Plugged in again, it is a new instrument at the end, closed.
  ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "A410")));
  EXPECT_EQ("A410", SerialAt(FBench, 1));
  EXPECT_EQ(0u, FBench.HandleOf("A410"));
  EXPECT_NE(first, Open(1));
}

TEST_F(SimBenchTest, PlugAtAnIndexAndRefusedChanges) {
  ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN445, "D445"), 1));
  EXPECT_EQ("A410", SerialAt(FBench, 0));
  EXPECT_EQ("D445", SerialAt(FBench, 1));
  EXPECT_EQ("B633", SerialAt(FBench, 2));
  EXPECT_FALSE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "D445")));
  EXPECT_FALSE(FBench.Unplug("nobody"));
  EXPECT_EQ(4u, FBench.InstrumentCount());
}

TEST_F(SimBenchTest, DeviceChangeListenerHearsPlugAndUnplug) {
  struct TChange {
    sim::TSimChange change;
    std::string serial;
    uint32_t countSeen;
  };
  std::vector<TChange> changes;
  FBench.SetOnDeviceChange(
      [&](TSimBench& sender, sim::TSimChange change, const std::string& serial) {
        EXPECT_EQ(&FBench, &sender);
        // Called after the change, with no lock held: the bench can be asked.
        changes.push_back({change, serial, sender.InstrumentCount()});
      });
  ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "E420")));
  ASSERT_TRUE(FBench.Unplug("A410"));
  EXPECT_FALSE(FBench.Unplug("A410"));
  EXPECT_FALSE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "E420")));
  ASSERT_EQ(2u, changes.size());
  EXPECT_EQ(sim::TSimChange::Arrival, changes[0].change);
  EXPECT_EQ("E420", changes[0].serial);
  EXPECT_EQ(4u, changes[0].countSeen);
  EXPECT_EQ(sim::TSimChange::Removal, changes[1].change);
  EXPECT_EQ("A410", changes[1].serial);
  EXPECT_EQ(3u, changes[1].countSeen);
  FBench.SetOnDeviceChange(nullptr);
  ASSERT_TRUE(FBench.Unplug("E420"));
  EXPECT_EQ(2u, changes.size());
}

TEST_F(SimBenchTest, UnplugEndsAWaitingRead) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 60000, 0));
  std::thread remover([&] { FBench.Unplug("A410"); });
  const auto start = Clock::now();
  usb::FT_STATUS status = 0;
  EXPECT_TRUE(Read(handle, 1, &status).empty());
  remover.join();
  EXPECT_EQ(usb::FT_IO_ERROR, status);
  EXPECT_LT(Clock::now() - start, kLongWait);
}

TEST_F(SimBenchTest, UnplugEndsAWaitingWrite) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_TRUE(FBench.SetResponse("A410", sim::TSimResponse::Stall));
  ASSERT_EQ(usb::FT_OK, FBench.FT_SetTimeouts(handle, 0, 60000));
  std::thread remover([&] { FBench.Unplug("A410"); });
  const auto start = Clock::now();
  uint32_t written = 0;
  EXPECT_EQ(usb::FT_IO_ERROR, Write(handle, {1}, &written));
  remover.join();
  EXPECT_LT(Clock::now() - start, kLongWait);
}

TEST_F(SimBenchTest, PlugAndUnplugWhileTheLibraryIsInUse) {
  // Another thread changes the bench while this one lists, opens, transfers
  // and closes, as hot-plug does while the server works.
  std::atomic<bool> stop{false};
  std::thread plugger([&] {
    for (int i = 0; !stop; ++i) {
      const std::string serial = "H" + std::to_string(i % 4);
      if (!FBench.Unplug(serial)) {
        FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN445, serial), i % 3);
      }
    }
  });
  for (int round = 0; round < 300; ++round) {
    const uint32_t count = Count(FBench);
    for (uint32_t index = 0; index < count; ++index) {
      usb::FT_HANDLE handle = 0;
      if (FBench.FT_Open(static_cast<int32_t>(index), &handle) != usb::FT_OK) {
        continue;
      }
      FBench.FT_SetTimeouts(handle, 0, 0);
      uint8_t byte = 0x82;
      uint32_t moved = 0;
      const usb::FT_STATUS wrote = FBench.FT_Write(handle, &byte, 1, &moved);
      EXPECT_TRUE(wrote == usb::FT_OK || wrote == usb::FT_IO_ERROR);
      byte = 0;
      const usb::FT_STATUS read = FBench.FT_Read(handle, &byte, 1, &moved);
      EXPECT_TRUE(read == usb::FT_OK || read == usb::FT_IO_ERROR);
      if (read == usb::FT_OK && moved == 1) {
        EXPECT_EQ(0x82, byte);
      }
      EXPECT_EQ(usb::FT_OK, FBench.FT_Close(handle));
    }
  }
  stop = true;
  plugger.join();
}

}  // namespace
