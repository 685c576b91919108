// Client requests, served against the simulated bench.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/frmPipeServerTesting.h"

namespace core::testing {
namespace {

using Lines = std::vector<std::string>;
using K = sim::TSimCallKind;
using sim::MakeSimInstrument;
using sim::TSimFamily;

constexpr uint32_t kA = 1001;
constexpr uint32_t kB = 1002;

uint16_t Low(uint32_t value) {
  return static_cast<uint16_t>(value & 0xFFFF);
}
uint16_t High(uint32_t value) {
  return static_cast<uint16_t>(value >> 16);
}

class ProtocolTest : public TBenchFormTest {
 protected:
  void SetUp() override {
    TBenchFormTest::SetUp();
    Bench->Plug(MakeSimInstrument(TSimFamily::QN410, "SN410A"));
    Bench->Plug(MakeSimInstrument(TSimFamily::QN633, "SN633B"));
    Pipes->Connect(kA);
    Pipes->ClearWrites();
    Form->statMemo.Clear();
  }

  // Sends the request from kA and returns the one reply, or an empty block
  // when none came (the test then fails).
  testsupport::TFakeWrite Request(std::initializer_list<uint16_t> words, uint32_t pipe = kA) {
    const size_t before = Pipes->Writes().size();
    Pipes->SendWords(pipe, words);
    const auto& writes = Pipes->Writes();
    EXPECT_EQ(writes.size(), before + 1) << "one reply expected";
    if (writes.size() != before + 1) {
      return {testsupport::TFakeWrite::TKind::Write, pipe, std::vector<uint8_t>(32768, 0)};
    }
    EXPECT_EQ(writes.back().Kind, kWrite);
    EXPECT_EQ(writes.back().Pipe, pipe);
    EXPECT_EQ(writes.back().Block.size(), 32768u);
    return writes.back();
  }

  // Opens entry `index` through a request and returns the handle.
  uint32_t Open(uint16_t index) {
    const auto reply = Request({kOpOpen, index});
    EXPECT_EQ(reply.Word(1), 0);
    return reply.Word(2) + 65536u * reply.Word(3);
  }

  // Words 0 and up of a reply up to `count`, for comparison.
  static std::vector<uint16_t> Words(const testsupport::TFakeWrite& reply, int32_t count) {
    std::vector<uint16_t> words;
    for (int32_t i = 0; i < count; ++i) {
      words.push_back(reply.Word(i));
    }
    return words;
  }

  // True when every word from `from` on is zero.
  static bool ZeroFrom(const testsupport::TFakeWrite& reply, int32_t from) {
    for (int32_t i = from; i < kMessageWords; ++i) {
      if (reply.Word(i) != 0) {
        return false;
      }
    }
    return true;
  }

  static std::u16string Text(const char* text) {
    std::u16string result;
    for (const char* p = text; *p != 0; ++p) {
      result.push_back(static_cast<unsigned char>(*p));
    }
    return result;
  }
};

// Every opcode with a wrapper call, one after another on one open instrument.
// Each step sends words 0 and 3 to 5 with the handle in words 1 and 2, and
// checks the reply's words 0 to 5 (all later words must be zero).
TEST_F(ProtocolTest, EveryOpcodeRepliesAsTheTableSays) {
  const uint32_t handle = Open(0);
  ASSERT_EQ(handle, Bench->HandleOf("SN410A"));
  const uint16_t h1 = Low(handle);
  const uint16_t h2 = High(handle);

  struct Step {
    const char* name;
    std::vector<uint16_t> args;      // words 0, 3, 4, 5, ... (handle inserted)
    std::vector<uint16_t> expected;  // reply words 0 to 5
  };
  const Step kSteps[] = {
      {"device count", {kOpDeviceCount}, {10, 0, 2, 0, 0, 0}},
      {"reset", {kOpReset}, {21, 0, 0, 0, 0, 0}},
      {"time-outs", {kOpTimeouts, 250, 300}, {34, 0, 0, 0, 0, 0}},
      {"write 3 bytes, high bytes ignored",
       {kOpWrite, 3, 0x0141, 0xFF42, 0x43},
       {19, 3, 0, 0, 0, 0}},
      {"queue status", {kOpQueueStatus}, {35, 0, 3, 0, 0, 0}},
      {"read 3", {kOpRead, 3}, {20, 3, 0x41, 0x42, 0x43, 0}},
      {"write byte: low byte only", {kOpWriteByte, 0x1AB}, {41, 1, 0, 0, 0, 0}},
      {"read byte", {kOpReadByte}, {45, 1, 0xAB, 0, 0, 0}},
      {"write word", {kOpWriteWord, 0x1234}, {42, 2, 0, 0, 0, 0}},
      {"read word", {kOpReadWord}, {46, 2, 0x1234, 0, 0, 0}},
      {"write signed word", {kOpWriteInteger, 0xFFFF}, {43, 2, 0, 0, 0, 0}},
      {"read signed word", {kOpReadInteger}, {47, 2, 0xFFFF, 0, 0, 0}},
      {"write signed word again", {kOpWriteInteger, 0xFFFF}, {43, 2, 0, 0, 0, 0}},
      {"read word: same words as signed", {kOpReadWord}, {46, 2, 0xFFFF, 0, 0, 0}},
      {"write 0 bytes", {kOpWrite, 0}, {19, 0, 0, 0, 0, 0}},
      {"purge transmit", {kOpPurgeTX}, {22, 0, 0, 0, 0, 0}},
      {"purge receive", {kOpPurgeRX}, {23, 0, 0, 0, 0, 0}},
      {"echo", {kOpEcho, 7, 9}, {48, 7, 0, 0, 0, 0}},
      {"message counter", {kOpMessageCount}, {10, 1, 0, 0, 0, 0}},
      {"message counter again", {kOpMessageCount}, {10, 2, 0, 0, 0, 0}},
      // Last: echoed bytes come back only after the latency timer.
      {"latency", {kOpLatencyTimer, 3}, {33, 0, 0, 0, 0, 0}},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.name);
    std::vector<uint8_t> block = testsupport::Block({step.args[0], h1, h2});
    for (size_t i = 1; i < step.args.size(); ++i) {
      block[2 * (2 + i)] = static_cast<uint8_t>(step.args[i] & 0xFF);
      block[2 * (2 + i) + 1] = static_cast<uint8_t>(step.args[i] >> 8);
    }
    const size_t before = Pipes->Writes().size();
    Pipes->Send(kA, block);
    ASSERT_EQ(Pipes->Writes().size(), before + 1);
    const auto& reply = Pipes->Writes().back();
    EXPECT_EQ(Words(reply, 6), step.expected);
    EXPECT_TRUE(ZeroFrom(reply, 6));
    EXPECT_EQ(ftdi::CurrentHandle, handle);
  }
  const auto info = Bench->HandleInfo(handle);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->LatencyTimer, 3);
  EXPECT_EQ(info->ReadTimeout, 250u);
  EXPECT_EQ(info->WriteTimeout, 300u);
  EXPECT_EQ(Bench->CountCalls(K::Write, 0), 1u);  // opcode 19 with n = 0 still writes
  EXPECT_TRUE(Log().empty());                     // none of these logs anything
}

TEST_F(ProtocolTest, EveryServedRequestStoresItsHandleFirst) {
  // Words 1 and 2 are 5 and 1: the handle 65 541, also where word 1 is an
  // index or the opcode touches no device.
  for (uint16_t opcode : {kOpDeviceCount, kOpReset, kOpEcho, kOpMessageCount, uint16_t{13}, kOpLock,
                          kOpRelease, kOpDescription, kOpSerialNumber}) {
    SCOPED_TRACE(opcode);
    ftdi::CurrentHandle = 0;
    Pipes->SendWords(kA, {opcode, 5, 1});
    EXPECT_EQ(ftdi::CurrentHandle, 65541u);
  }
  // An unknown handle comes back as the library's status.
  EXPECT_EQ(Request({kOpReset, 5, 1}).Word(1), usb::FT_INVALID_HANDLE);
}

TEST_F(ProtocolTest, AFailedWriteRepliesTheNegatedStatusAndPurgesTransmit) {
  const uint32_t handle = Open(0);
  struct Case {
    const char* name;
    std::vector<uint16_t> request;
  };
  const Case kCases[] = {
      {"write bytes", {kOpWrite, Low(handle), High(handle), 2, 1, 2}},
      {"write byte", {kOpWriteByte, Low(handle), High(handle), 5}},
      {"write word", {kOpWriteWord, Low(handle), High(handle), 5}},
      {"write signed word", {kOpWriteInteger, Low(handle), High(handle), 5}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Bench->ClearCalls();
    Bench->FailNext(K::Write, usb::FT_IO_ERROR);
    std::vector<uint8_t> block(32768, 0);
    for (size_t i = 0; i < c.request.size(); ++i) {
      block[2 * i] = static_cast<uint8_t>(c.request[i] & 0xFF);
      block[2 * i + 1] = static_cast<uint8_t>(c.request[i] >> 8);
    }
    Pipes->Send(kA, block);
    const auto& reply = Pipes->Writes().back();
    EXPECT_EQ(Words(reply, 3), (std::vector<uint16_t>{c.request[0], 0xFFFC, 0}));
    EXPECT_EQ(Bench->CountCalls(K::Purge), 1u);
    EXPECT_EQ(Bench->CountCalls(K::Purge, usb::FT_PURGE_TX), 1u);
  }
}

TEST_F(ProtocolTest, AFailedReadDrainsAndPurgesReceive) {
  const uint32_t handle = Open(0);
  for (uint16_t opcode : {kOpRead, kOpReadByte, kOpReadWord, kOpReadInteger}) {
    SCOPED_TRACE(opcode);
    const uint8_t pending[] = {9, 8, 7};
    ASSERT_EQ(Bench->InjectReceived("SN410A", pending), 3u);
    Bench->ClearCalls();
    Bench->FailNext(K::Read, usb::FT_IO_ERROR);
    const auto reply = Request({opcode, Low(handle), High(handle), 2});
    EXPECT_EQ(reply.Word(0), opcode);
    EXPECT_EQ(reply.Word(1), 0xFFFC);
    std::vector<std::pair<K, uint32_t>> calls;
    for (const auto& call : Bench->Calls()) {
      calls.emplace_back(call.Kind, call.Arg1);
    }
    EXPECT_EQ(calls,
              (std::vector<std::pair<K, uint32_t>>{{K::Read, opcode == kOpReadByte ? 1u : 2u},
                                                   {K::GetQueueStatus, 0},
                                                   {K::Read, 3},
                                                   {K::Purge, usb::FT_PURGE_RX}}));
  }
}

TEST_F(ProtocolTest, AFailedControlOperationRepliesItsStatus) {
  const uint32_t handle = Open(0);
  struct Case {
    uint16_t opcode;
    K kind;
    usb::FT_STATUS status;
  };
  const Case kCases[] = {
      {kOpReset, K::ResetDevice, usb::FT_DEVICE_NOT_FOUND},
      {kOpPurgeTX, K::Purge, usb::FT_IO_ERROR},
      {kOpPurgeRX, K::Purge, usb::FT_INSUFFICIENT_RESOURCES},
      {kOpLatencyTimer, K::SetLatencyTimer, usb::FT_INVALID_PARAMETER},
      {kOpTimeouts, K::SetTimeouts, usb::FT_DEVICE_NOT_OPENED},
      {kOpQueueStatus, K::GetQueueStatus, usb::FT_INVALID_HANDLE},
      {kOpDeviceCount, K::ListDevices, usb::FT_IO_ERROR},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.opcode);
    Bench->FailNext(c.kind, c.status);
    const auto reply = Request({c.opcode, Low(handle), High(handle), 1, 1});
    EXPECT_EQ(reply.Word(0), c.opcode);
    EXPECT_EQ(reply.Word(1), c.status);
    Bench->ClearFaults();
  }
}

TEST_F(ProtocolTest, AShortReadRepliesStaleBytesBeyondWhatArrived) {
  const uint32_t handle = Open(0);
  const uint16_t h1 = Low(handle);
  const uint16_t h2 = High(handle);
  // InBuffer bytes 0 to 3 := 1 2 3 4.
  Request({kOpWrite, h1, h2, 4, 1, 2, 3, 4});
  EXPECT_EQ(Words(Request({kOpRead, h1, h2, 4}), 6), (std::vector<uint16_t>{20, 4, 1, 2, 3, 4}));
  // Only two bytes arrive; the read waits out a short time-out.
  Request({kOpTimeouts, h1, h2, 20, 100});
  Request({kOpWrite, h1, h2, 2, 0x11, 0x12});
  const auto reply = Request({kOpRead, h1, h2, 4});
  EXPECT_EQ(Words(reply, 7), (std::vector<uint16_t>{20, 2, 0x11, 0x12, 3, 4, 0}));
  EXPECT_TRUE(ZeroFrom(reply, 6));

  // A failed read: word 1 the status, the words still what InBuffer holds.
  Bench->FailNext(K::Read, usb::FT_IO_ERROR);
  EXPECT_EQ(Words(Request({kOpRead, h1, h2, 3}), 5),
            (std::vector<uint16_t>{20, 0xFFFC, 0x11, 0x12, 3}));
}

TEST_F(ProtocolTest, AShortMessageKeepsTheRestOfThePreviousRequest) {
  Request({kOpEcho, 0, 0, 7, 9});
  // Three words only: words 3 and 4 are still 7 and 9.
  const uint8_t shortMessage[] = {kOpEcho, 0, 0, 0, 0, 0};
  Pipes->Send(kA, shortMessage);
  EXPECT_EQ(Pipes->Writes().back().Word(1), 7);

  // A longer message is read up to one block; the rest is ignored.
  std::vector<uint8_t> longMessage = testsupport::Block({kOpEcho, 0, 0, 5});
  longMessage.resize(40000, 0xEE);
  Pipes->Send(kA, longMessage);
  EXPECT_EQ(Pipes->Writes().back().Word(1), 5);
  EXPECT_EQ(GetWord(Form->SERVERIN_Buffer[0], kMessageWords), 0);
}

TEST_F(ProtocolTest, CountsBeyondABlockAreRefusedWithInvalidParameter) {
  const uint32_t handle = Open(0);
  const uint16_t h1 = Low(handle);
  const uint16_t h2 = High(handle);
  struct Case {
    const char* name;
    uint16_t opcode;
    uint16_t count;
    uint16_t word1;  // reply
    size_t libraryCalls;
  };
  const Case kCases[] = {
      {"write 16380", kOpWrite, 16380, 16380, 1},
      {"write 16381", kOpWrite, 16381, 0xFFFA, 0},
      {"write 65535", kOpWrite, 65535, 0xFFFA, 0},
      {"read 16382", kOpRead, 16382, 16380, 1},  // what the write above sent back
      {"read 16383", kOpRead, 16383, 0xFFFA, 0},
      {"read 65535", kOpRead, 65535, 0xFFFA, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Bench->ClearCalls();
    Form->statMemo.Clear();
    const auto reply = Request({c.opcode, h1, h2, c.count});
    EXPECT_EQ(reply.Word(0), c.opcode);
    EXPECT_EQ(reply.Word(1), c.word1);
    EXPECT_EQ(Bench->Calls().size(), c.libraryCalls);
    if (c.libraryCalls == 0) {
      EXPECT_TRUE(ZeroFrom(reply, 2));
      char line[80];
      std::snprintf(line, sizeof line, "# Refused Client 1001, opcode:%d, count:%d", c.opcode,
                    c.count);
      EXPECT_EQ(Log(), (Lines{line}));
    }
  }
}

TEST_F(ProtocolTest, AnUnknownOpcodeIsLoggedAndNotAnswered) {
  Pipes->Connect(kB);
  Pipes->ClearWrites();
  Form->statMemo.Clear();
  Pipes->SendWords(kB, {13});
  Pipes->SendWords(kA, {0});
  EXPECT_TRUE(Pipes->Writes().empty());
  EXPECT_EQ(Log(), (Lines{"# Ignored Client 1002, index:1, lockID:0, pipe: 1002",
                          "# Ignored Client 1001, index:0, lockID:0, pipe: 1001"}));
}

TEST_F(ProtocolTest, TheMessageCounterCountsEveryClient) {
  Pipes->Connect(kB);
  EXPECT_EQ(Words(Request({kOpMessageCount}, kA), 3), (std::vector<uint16_t>{10, 1, 0}));
  EXPECT_EQ(Words(Request({kOpMessageCount}, kB), 3), (std::vector<uint16_t>{10, 2, 0}));
  EXPECT_EQ(Form->msgCount, 2);

  // It wraps instead of overflowing.
  Form->msgCount = 0x7FFFFFFF;
  EXPECT_EQ(Request({kOpMessageCount}).Word(1), 0);
  EXPECT_EQ(Form->msgCount, static_cast<int32_t>(0x80000000u));
}

// ---- Names (opcodes 11 and 12) ----

TEST_F(ProtocolTest, NameOfAnOpenEntryComesFromTheTable) {
  Open(1);
  Form->USB_Devices[1].deviceDesc = "Stored QN633";  // proves no library call
  Bench->ClearCalls();
  Form->statMemo.Clear();

  const auto reply = Request({kOpDescription, 1});
  EXPECT_EQ(reply.Word(0), 11);
  std::u16string name;
  for (int32_t i = 1; reply.Word(i) != 0; ++i) {
    name.push_back(static_cast<char16_t>(reply.Word(i)));
  }
  EXPECT_EQ(name, Text("Stored QN633"));
  EXPECT_TRUE(ZeroFrom(reply, 13));
  EXPECT_TRUE(Bench->Calls().empty());
  EXPECT_EQ(Form->SERVEROUT_BufferStr[0], u"\u000B" + Text("Stored QN633"));
  EXPECT_EQ(Log(), (Lines{"1001: \x0B", "1001: \x0BStored QN633",
                          "Client 1001 FT_DeviceString = Stored QN633"}));

  const auto serial = Request({kOpSerialNumber, 1});
  EXPECT_EQ(Words(serial, 8), (std::vector<uint16_t>{12, 'S', 'N', '6', '3', '3', 'B', 0}));
}

TEST_F(ProtocolTest, NameOfAClosedEntryComesFromTheLibrary) {
  const auto reply = Request({kOpSerialNumber, 1});
  EXPECT_EQ(Words(reply, 8), (std::vector<uint16_t>{12, 'S', 'N', '6', '3', '3', 'B', 0}));
  EXPECT_EQ(Bench->CountCalls(K::ListDevices, 1), 1u);
  EXPECT_FALSE(Form->USB_Devices[1].deviceOpened);
  EXPECT_EQ(Log(),
            (Lines{"1001: \x0C", "1001: \x0CSN633B", "Client 1001 FT_DeviceString = SN633B"}));
}

TEST_F(ProtocolTest, NameOfAMissingInstrumentIsInUseAfterTheStatus) {
  // Index 5 with two instruments attached; and 16, beyond the table, which
  // is asked of the library just the same.
  for (uint16_t index : {uint16_t{5}, uint16_t{16}, uint16_t{65535}}) {
    SCOPED_TRACE(index);
    Form->statMemo.Clear();
    const auto reply = Request({kOpSerialNumber, index});
    EXPECT_EQ(Words(reply, 9), (std::vector<uint16_t>{12, usb::FT_DEVICE_NOT_FOUND, 'i', 'n', ' ',
                                                      'u', 's', 'e', 0}));
    EXPECT_TRUE(ZeroFrom(reply, 8));
    EXPECT_EQ(Form->SERVEROUT_BufferStr[0], u"\u000C\u0002in use");
    EXPECT_EQ(Log(), (Lines{"1001: \x0C\x02", "1001: \x0C\x02in use",
                            "Client 1001 FT_DeviceString = in use"}));
  }
  EXPECT_EQ(Words(Request({kOpDescription, 7}), 3),
            (std::vector<uint16_t>{11, usb::FT_DEVICE_NOT_FOUND, 'i'}));
}

TEST_F(ProtocolTest, AnEmptyNameLeavesWordOneZero) {
  Bench->Plug(sim::TSimInstrument{"", "", TSimFamily::QN410});
  const auto reply = Request({kOpSerialNumber, 2});
  EXPECT_EQ(reply.Word(0), 12);
  EXPECT_TRUE(ZeroFrom(reply, 1));
}

TEST_F(ProtocolTest, NamesBeyondLatinOneArriveAsSingleWords) {
  Bench->Plug(sim::TSimInstrument{"S\xE9rie", "Vardex QN420", TSimFamily::QN420});
  const auto reply = Request({kOpSerialNumber, 2});
  EXPECT_EQ(Words(reply, 7), (std::vector<uint16_t>{12, 'S', 0xE9, 'r', 'i', 'e', 0}));
  EXPECT_EQ(Log().back(), "Client 1001 FT_DeviceString = S\xC3\xA9rie");
}

// ---- Opening (opcode 17) ----

TEST_F(ProtocolTest, OpeningRecordsTheInstrumentAndProbesIt) {
  Pipes->Connect(kB);
  Bench->ClearCalls();
  Form->statMemo.Clear();
  const auto reply = Request({kOpOpen, 1}, kB);
  const uint32_t handle = Bench->HandleOf("SN633B");
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(Words(reply, 4), (std::vector<uint16_t>{17, 0, Low(handle), High(handle)}));
  EXPECT_TRUE(ZeroFrom(reply, 4));

  const TUSB_DeviceRecord& entry = Form->USB_Devices[1];
  EXPECT_TRUE(entry.deviceOpened);
  EXPECT_EQ(entry.USBHandle, handle);
  EXPECT_EQ(entry.serialNumberUSB, "SN633B");
  EXPECT_EQ(entry.deviceDesc, "Vardex QN633");
  EXPECT_EQ(entry.Pipes, (TPipes{0, int32_t{kB}, 0, 0}));
  EXPECT_EQ(entry.deviceIndex, 0);  // only an arrival writes it
  EXPECT_EQ(ftdi::CurrentDeviceIndex, 1);

  // The probe byte goes out and its answer is read, after the open.
  const auto calls = Bench->Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[calls.size() - 3].Kind, K::Open);
  EXPECT_EQ(calls[calls.size() - 2].Kind, K::Write);
  EXPECT_EQ(calls[calls.size() - 2].Data[0], 0x82);
  EXPECT_EQ(calls[calls.size() - 1].Kind, K::Read);
  EXPECT_EQ(calls[calls.size() - 1].Count, 1u);
  EXPECT_TRUE(Log().empty());
}

TEST_F(ProtocolTest, OpeningShowsTheOffPictureOfTheFamilies) {
  struct Case {
    const char* description;
    bool off410, off633, off420;  // which pairs switch to their Off picture
  };
  const Case kCases[] = {
      {"Vardex QN410", true, false, false},  {"Vardex QN633", false, true, false},
      {"Vardex QN420", false, false, true},  {"Vardex QN2208", false, false, false},
      {"Vardex QN445", false, false, false}, {"QN41 and QN42", true, false, true},
      {"qn410", false, false, false},
  };
  uint16_t index = 2;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.description);
    Bench->Plug(
        sim::TSimInstrument{"SN" + std::to_string(index), c.description, TSimFamily::QN410});
    for (TImage* on : {&Form->imgQN410On, &Form->imgQN633On, &Form->imgQN420On}) {
      on->SetVisible(true);
    }
    for (TImage* off : {&Form->imgQN410Off, &Form->imgQN633Off, &Form->imgQN420Off}) {
      off->SetVisible(false);
    }
    Open(index++);
    EXPECT_EQ(Form->imgQN410On.Visible(), !c.off410);
    EXPECT_EQ(Form->imgQN410Off.Visible(), c.off410);
    EXPECT_EQ(Form->imgQN633On.Visible(), !c.off633);
    EXPECT_EQ(Form->imgQN633Off.Visible(), c.off633);
    EXPECT_EQ(Form->imgQN420On.Visible(), !c.off420);
    EXPECT_EQ(Form->imgQN420Off.Visible(), c.off420);
  }
}

TEST_F(ProtocolTest, OpeningAnOpenEntryRepliesTheStoredHandle) {
  const uint32_t handle = Open(0);
  Form->imgQN410On.SetVisible(true);
  Form->imgQN410Off.SetVisible(false);
  Bench->ClearCalls();
  const auto reply = Request({kOpOpen, 0});
  EXPECT_EQ(Words(reply, 4), (std::vector<uint16_t>{17, 0, Low(handle), High(handle)}));
  EXPECT_TRUE(Bench->Calls().empty());
  EXPECT_TRUE(Form->imgQN410On.Visible());  // no picture changes
  EXPECT_FALSE(Form->imgQN410Off.Visible());
}

TEST_F(ProtocolTest, AFailedOpenRecordsNoHandle) {
  Form->USB_Devices[0].USBHandle = 77;  // from some earlier open
  Bench->FailNext(K::Open, usb::FT_DEVICE_NOT_OPENED);
  // Word 2 is 3: the handle words carry what the request stored, as the
  // library wrote nothing.
  const auto reply = Request({kOpOpen, 0, 3});
  EXPECT_EQ(Words(reply, 4), (std::vector<uint16_t>{17, usb::FT_DEVICE_NOT_OPENED, 0, 3}));
  EXPECT_FALSE(Form->USB_Devices[0].deviceOpened);
  EXPECT_EQ(Form->USB_Devices[0].USBHandle, 0u);
  EXPECT_EQ(Form->USB_Devices[0].serialNumberUSB, "SN410A");
  EXPECT_EQ(Form->USB_Devices[0].Pipes, (TPipes{}));
  EXPECT_FALSE(Form->imgQN410On.Visible());  // as at load: no picture changes
  // The probe still goes out, on whatever handle is current, and fails.
  std::vector<K> kinds;
  for (const auto& call : Bench->Calls()) {
    kinds.push_back(call.Kind);
  }
  const auto write = std::find(kinds.begin(), kinds.end(), K::Write);
  ASSERT_NE(write, kinds.end());
  EXPECT_NE(std::find(write, kinds.end(), K::Read), kinds.end());
}

TEST_F(ProtocolTest, OpeningBeyondTheTableIsRefused) {
  Bench->ClearCalls();
  const TUSB_Devices before = Form->USB_Devices;
  for (uint16_t index : {uint16_t{16}, uint16_t{65535}}) {
    SCOPED_TRACE(index);
    Form->statMemo.Clear();
    const auto reply = Request({kOpOpen, index});
    EXPECT_EQ(Words(reply, 4), (std::vector<uint16_t>{17, usb::FT_INVALID_PARAMETER, 0, 0}));
    EXPECT_TRUE(ZeroFrom(reply, 2));
    EXPECT_EQ(Log(), (Lines{"# Refused Client 1001, opcode:17, index:" + std::to_string(index)}));
  }
  EXPECT_TRUE(Bench->Calls().empty());
  EXPECT_TRUE(before == Form->USB_Devices);
}

}  // namespace
}  // namespace core::testing
