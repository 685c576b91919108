#include "usb/FtdiWrapper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/SimBench.h"

namespace {

using sim::TSimCall;
using sim::TSimCallKind;

class FtdiWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ftdi::ResetWrapperState();
    ftdi::SetD2xxBackend(&FBench);
  }
  void TearDown() override {
    ftdi::SetD2xxBackend(nullptr);
    ftdi::ResetWrapperState();
  }

  void Plug(const std::string& serial, const std::string& description) {
    ASSERT_TRUE(FBench.Plug(sim::TSimInstrument{serial, description, sim::TSimFamily::QN410}));
  }

  // Opens the instrument at the index through the wrapper; returns its handle.
  uint32_t Open(int32_t index) {
    ftdi::CurrentDeviceIndex = index;
    EXPECT_EQ(0, ftdi::OpenDevice());
    return ftdi::CurrentHandle;
  }

  // The calls made since the last ClearCalls, kinds only.
  std::vector<TSimCallKind> Kinds() const {
    std::vector<TSimCallKind> kinds;
    for (const TSimCall& call : FBench.Calls()) {
      kinds.push_back(call.Kind);
    }
    return kinds;
  }

  sim::TSimBench FBench;
};

TEST_F(FtdiWrapperTest, CountsAttachedDevices) {
  Plug("A1", "Vardex QN410");
  Plug("B2", "Vardex QN633");
  EXPECT_EQ(0, ftdi::GetFTDeviceCount());
  EXPECT_EQ(2u, ftdi::FT_DeviceCount);
  ASSERT_EQ(1u, FBench.Calls().size());
  EXPECT_EQ(usb::FT_LIST_NUMBER_ONLY, FBench.Calls()[0].Arg2);
}

TEST_F(FtdiWrapperTest, FailedCountKeepsThePreviousCount) {
  Plug("A1", "Vardex QN410");
  ASSERT_EQ(0, ftdi::GetFTDeviceCount());
  Plug("B2", "Vardex QN633");
  FBench.FailNext(TSimCallKind::ListDevices, usb::FT_IO_ERROR);
  EXPECT_EQ(4, ftdi::GetFTDeviceCount());
  EXPECT_EQ(1u, ftdi::FT_DeviceCount);
}

TEST_F(FtdiWrapperTest, NameQueryBeyondTheDeviceCountLeavesInUse) {
  Plug("A1", "Vardex QN410");
  Plug("B2", "Vardex QN633");
  struct Case {
    const char* name;
    int32_t (*query)(int32_t);
    int32_t index;
  };
  const Case kCases[] = {
      {"serial at the count", ftdi::GetFTDeviceSerialNo, 2},
      {"serial far beyond", ftdi::GetFTDeviceSerialNo, 5},
      {"serial of a negative index", ftdi::GetFTDeviceSerialNo, -1},
      {"description at the count", ftdi::GetFTDeviceDescription, 2},
      {"description far beyond", ftdi::GetFTDeviceDescription, 5},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ftdi::FT_DeviceString = "previous";
    EXPECT_NE(0, c.query(c.index));
    EXPECT_EQ("in use", ftdi::FT_DeviceString);
  }
}

TEST_F(FtdiWrapperTest, NameQueriesAskForTheNameByIndex) {
  Plug("A1", "Vardex QN410");
  Plug("B2", "Vardex QN633");
  EXPECT_EQ(0, ftdi::GetFTDeviceSerialNo(1));
  EXPECT_EQ("B2", ftdi::FT_DeviceString);
  EXPECT_EQ(0, ftdi::GetFTDeviceDescription(0));
  EXPECT_EQ("Vardex QN410", ftdi::FT_DeviceString);
  const auto calls = FBench.Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(1u, calls[0].Arg1);
  EXPECT_EQ(0x40000001u, calls[0].Arg2);
  EXPECT_EQ(0u, calls[1].Arg1);
  EXPECT_EQ(0x40000002u, calls[1].Arg2);
}

TEST_F(FtdiWrapperTest, NameTextKeepsAtMost49Characters) {
  const std::string sixty(60, 'x');
  Plug(sixty, sixty);
  Plug("", "");
  Plug("S", std::string(49, 'd'));
  struct Case {
    const char* name;
    int32_t (*query)(int32_t);
    int32_t index;
    std::string expected;
  };
  const Case kCases[] = {
      {"60-character serial", ftdi::GetFTDeviceSerialNo, 0, std::string(49, 'x')},
      {"60-character description", ftdi::GetFTDeviceDescription, 0, std::string(49, 'x')},
      {"empty serial", ftdi::GetFTDeviceSerialNo, 1, ""},
      {"empty description", ftdi::GetFTDeviceDescription, 1, ""},
      {"49-character description", ftdi::GetFTDeviceDescription, 2, std::string(49, 'd')},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ftdi::FT_DeviceString = "previous";
    EXPECT_EQ(0, c.query(c.index));
    EXPECT_EQ(c.expected, ftdi::FT_DeviceString);
  }
}

TEST_F(FtdiWrapperTest, NamesAreConvertedFromLatin1) {
  Plug(
      "\xC4"
      "1",
      "Sonde \xE9t\xE9 \xB5");
  EXPECT_EQ(0, ftdi::GetFTDeviceDescription(0));
  EXPECT_EQ("Sonde \u00e9t\u00e9 \u00b5", ftdi::FT_DeviceString);
  Open(0);
  EXPECT_STREQ(
      "\xC4"
      "1",
      ftdi::DeviceSlots[0].SlotSerial);
  EXPECT_STREQ("Sonde \xE9t\xE9 \xB5", ftdi::DeviceSlots[0].SlotDescription);
  EXPECT_EQ(0, ftdi::FindSlotBySerial("\u00c41"));
  EXPECT_EQ(-1, ftdi::FindSlotBySerial("\xC4"
                                       "1"));
}

TEST_F(FtdiWrapperTest, OpenRecordsTheSlot) {
  Plug("A1", "Vardex QN410");
  Plug("B2", "Vardex QN633 with a long description");
  const uint32_t handle = Open(1);
  EXPECT_NE(0u, handle);
  EXPECT_EQ(handle, FBench.HandleOf("B2"));
  EXPECT_STREQ("B2", ftdi::DeviceSlots[1].SlotSerial);
  EXPECT_STREQ("Vardex QN633 wit", ftdi::DeviceSlots[1].SlotDescription);
  EXPECT_EQ(handle, ftdi::DeviceSlots[1].SlotHandle);
  EXPECT_EQ("Vardex QN633 with a long description", ftdi::FT_DeviceString);
  EXPECT_EQ(1, ftdi::FindSlotByHandle(handle));
  EXPECT_EQ(1, ftdi::FindSlotBySerial("B2"));
  const auto calls = FBench.Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(TSimCallKind::Open, calls[2].Kind);
  EXPECT_EQ(1u, calls[2].Arg1);
}

TEST_F(FtdiWrapperTest, SerialOf20CharactersIsStoredAsItsFirst16) {
  const std::string serial = "ABCDEFGHIJKLMNOPQRST";
  Plug(serial, "Vardex QN410");
  Open(0);
  EXPECT_STREQ("ABCDEFGHIJKLMNOP", ftdi::DeviceSlots[0].SlotSerial);
  EXPECT_EQ(-1, ftdi::FindSlotBySerial(serial));
  EXPECT_EQ(0, ftdi::FindSlotBySerial("ABCDEFGHIJKLMNOP"));
}

TEST_F(FtdiWrapperTest, FindSlotBySerialIsExactAndCaseSensitive) {
  Plug("A1", "Vardex QN410");
  Plug("AB12", "Vardex QN633");
  Open(0);
  Open(1);
  struct Case {
    const char* serial;
    int32_t expected;
  };
  const Case kCases[] = {{"A1", 0},     {"AB12", 1}, {"ab12", -1}, {"AB1", -1},
                         {"AB123", -1}, {"", -1},    {"Z9", -1}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.serial);
    EXPECT_EQ(c.expected, ftdi::FindSlotBySerial(c.serial));
  }
}

TEST_F(FtdiWrapperTest, LookupsSkipEntriesNoOpenRecorded) {
  // Entries never opened hold an empty serial number and handle 0; neither may
  // be mistaken for an instrument.
  EXPECT_EQ(-1, ftdi::FindSlotBySerial(""));
  EXPECT_EQ(-1, ftdi::FindSlotByHandle(0));
  Plug("", "Vardex QN410 without serial");
  Plug("B2", "Vardex QN633");
  Open(1);
  EXPECT_EQ(-1, ftdi::FindSlotBySerial(""));
  Open(0);
  EXPECT_EQ(0, ftdi::FindSlotBySerial(""));
}

TEST_F(FtdiWrapperTest, FailingNameQueryDoesNotStopTheOpen) {
  Plug("A1", "Vardex QN410");
  FBench.FailNext(TSimCallKind::ListDevices, usb::FT_IO_ERROR);
  ftdi::CurrentDeviceIndex = 0;
  EXPECT_EQ(0, ftdi::OpenDevice());
  EXPECT_STREQ("in use", ftdi::DeviceSlots[0].SlotSerial);
  EXPECT_STREQ("Vardex QN410", ftdi::DeviceSlots[0].SlotDescription);
  EXPECT_EQ(FBench.HandleOf("A1"), ftdi::DeviceSlots[0].SlotHandle);
}

TEST_F(FtdiWrapperTest, FailedOpenStillRecordsTheCurrentHandle) {
  Plug("A1", "Vardex QN410");
  const uint32_t handle = Open(0);
  // A second open of the same instrument fails; the slot then records what
  // CurrentHandle holds, here the handle of the first open.
  testing::internal::CaptureStderr();
  ftdi::CurrentDeviceIndex = 0;
  EXPECT_EQ(static_cast<int32_t>(usb::FT_DEVICE_NOT_OPENED), ftdi::OpenDevice());
  EXPECT_EQ("FT_Open [0] - Device Not Opened...\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(handle, ftdi::CurrentHandle);
  EXPECT_EQ(handle, ftdi::DeviceSlots[0].SlotHandle);
  EXPECT_EQ("Vardex QN410", ftdi::FT_DeviceString);
}

TEST_F(FtdiWrapperTest, OpenOutsideTheSlotRangeIsRefused) {
  for (int i = 0; i < 34; ++i) {
    Plug("S" + std::to_string(i), "Vardex QN420");
  }
  for (const int32_t index : {-1, 32, 33, 40}) {
    SCOPED_TRACE(index);
    FBench.ClearCalls();
    ftdi::CurrentHandle = 77;
    ftdi::CurrentDeviceIndex = index;
    testing::internal::CaptureStderr();
    EXPECT_EQ(static_cast<int32_t>(usb::FT_INVALID_PARAMETER), ftdi::OpenDevice());
    // Name queries of indexes no instrument has are reported before it.
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(
        report.ends_with("FT_Open [" + std::to_string(index) + "] - Invalid Parameter ...\n"))
        << report;
    EXPECT_EQ(77u, ftdi::CurrentHandle);
    EXPECT_EQ(0u, FBench.CountCalls(TSimCallKind::Open));
    EXPECT_EQ(2u, FBench.CountCalls(TSimCallKind::ListDevices));
  }
  for (const ftdi::TDeviceSlot& slot : ftdi::DeviceSlots) {
    EXPECT_FALSE(slot.SlotUsed);
  }
  EXPECT_EQ(0u, FBench.HandleOf("S32"));
  Open(31);
  EXPECT_NE(0u, FBench.HandleOf("S31"));
}

TEST_F(FtdiWrapperTest, CloseClearsTheEntryNamedByTheCurrentIndex) {
  Plug("A1", "Vardex QN410");
  Plug("B2", "Vardex QN633");
  const uint32_t first = Open(0);
  const uint32_t second = Open(1);
  // The handle lives in entry 0, but entry 1 is the one CurrentDeviceIndex
  // names, so entry 1 is cleared.
  FBench.ClearCalls();
  ftdi::CurrentHandle = first;
  ftdi::CurrentDeviceIndex = 1;
  EXPECT_EQ(0, ftdi::CloseDevice());
  EXPECT_EQ(first, ftdi::DeviceSlots[0].SlotHandle);
  EXPECT_EQ(0u, ftdi::DeviceSlots[1].SlotHandle);
  EXPECT_STREQ("B2", ftdi::DeviceSlots[1].SlotSerial);
  EXPECT_EQ(first, ftdi::CurrentHandle);
  ASSERT_EQ(1u, FBench.Calls().size());
  EXPECT_EQ(first, FBench.Calls()[0].Handle);
  EXPECT_EQ(0u, FBench.HandleOf("A1"));
  EXPECT_EQ(second, FBench.HandleOf("B2"));
}

TEST_F(FtdiWrapperTest, CloseOfAnUnknownHandleClearsNoSlot) {
  Plug("A1", "Vardex QN410");
  const uint32_t handle = Open(0);
  struct Case {
    const char* name;
    uint32_t handle;
    const char* report;
  };
  const Case kCases[] = {
      {"handle no slot holds", 0xABCDEF, "FT_Close [handle:ABCDEF] - Invalid Handle...\n"},
      {"handle 0", 0, "FT_Close [handle:0] - Invalid Handle...\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FBench.ClearCalls();
    ftdi::CurrentHandle = c.handle;
    ftdi::CurrentDeviceIndex = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(static_cast<int32_t>(usb::FT_INVALID_HANDLE), ftdi::CloseDevice());
    EXPECT_EQ(c.report, testing::internal::GetCapturedStderr());
    EXPECT_EQ(handle, ftdi::DeviceSlots[0].SlotHandle);
    ASSERT_EQ(1u, FBench.Calls().size());
    EXPECT_EQ(TSimCallKind::Close, FBench.Calls()[0].Kind);
    EXPECT_EQ(c.handle, FBench.Calls()[0].Handle);
  }
}

TEST_F(FtdiWrapperTest, CloseWithAnIndexOutsideTheSlotsClearsNothing) {
  Plug("A1", "Vardex QN410");
  const uint32_t handle = Open(0);
  ftdi::CurrentDeviceIndex = 32;
  EXPECT_EQ(0, ftdi::CloseDevice());
  EXPECT_EQ(handle, ftdi::DeviceSlots[0].SlotHandle);
  EXPECT_EQ(0u, FBench.HandleOf("A1"));
}

TEST_F(FtdiWrapperTest, WritesSendLittleEndianValues) {
  Plug("A1", "Vardex QN410");
  Open(0);
  struct Case {
    const char* name;
    int32_t (*write)();
    std::vector<uint8_t> sent;
  };
  const Case kCases[] = {
      {"WriteInteger(-1)", [] { return ftdi::WriteInteger(-1); }, {0xFF, 0xFF}},
      {"WriteInteger(65537)", [] { return ftdi::WriteInteger(65537); }, {0x01, 0x00}},
      {"WriteInteger(-32768)", [] { return ftdi::WriteInteger(-32768); }, {0x00, 0x80}},
      {"WriteWord(0x1234)", [] { return ftdi::WriteWord(0x1234); }, {0x34, 0x12}},
      {"WriteByte(0xAB)", [] { return ftdi::WriteByte(0xAB); }, {0xAB}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FBench.ClearCalls();
    EXPECT_EQ(static_cast<int32_t>(c.sent.size()), c.write());
    const auto calls = FBench.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(TSimCallKind::Write, calls[0].Kind);
    ASSERT_EQ(c.sent.size(), calls[0].Arg1);
    EXPECT_EQ(0, std::memcmp(c.sent.data(), calls[0].Data.data(), c.sent.size()));
    // The instrument echoes them.
    EXPECT_EQ(static_cast<int32_t>(c.sent.size()),
              ftdi::ReadBuffer(static_cast<int32_t>(c.sent.size())));
    EXPECT_EQ(0, std::memcmp(c.sent.data(), ftdi::InBuffer, c.sent.size()));
  }
}

TEST_F(FtdiWrapperTest, ReadsAssembleLittleEndianValues) {
  Plug("A1", "Vardex QN410");
  Open(0);
  struct Case {
    uint8_t low;
    uint8_t high;
    uint16_t word;
    int32_t integer;
  };
  const Case kCases[] = {
      {0xFF, 0xFF, 0xFFFF, -1},
      {0x00, 0x80, 0x8000, -32768},
      {0xFF, 0x7F, 0x7FFF, 32767},
      {0x34, 0x12, 0x1234, 0x1234},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.word);
    const uint8_t bytes[] = {c.low, c.high, c.low, c.high};
    ASSERT_EQ(4u, FBench.InjectReceived("A1", bytes));
    uint16_t word = 0;
    EXPECT_EQ(2, ftdi::ReadWord(word));
    EXPECT_EQ(c.word, word);
    int32_t integer = 0;
    EXPECT_EQ(2, ftdi::ReadInteger(integer));
    EXPECT_EQ(c.integer, integer);
  }
}

TEST_F(FtdiWrapperTest, ReadByteWithoutAnswerGivesZero) {
  Plug("A1", "Vardex QN410");
  Open(0);
  ASSERT_EQ(0, ftdi::SetTimeouts(20, 20));
  ftdi::InBuffer[0] = 0x55;
  uint8_t value = 0xAA;
  EXPECT_EQ(0, ftdi::ReadByte(value));
  EXPECT_EQ(0, value);
  uint16_t word = 0xAAAA;
  EXPECT_EQ(0, ftdi::ReadWord(word));
  EXPECT_EQ(0, word);
  int32_t integer = 99;
  EXPECT_EQ(0, ftdi::ReadInteger(integer));
  EXPECT_EQ(0, integer);
}

TEST_F(FtdiWrapperTest, ReadWordOfOneByteKeepsTheOldHighByte) {
  Plug("A1", "Vardex QN410");
  Open(0);
  ASSERT_EQ(0, ftdi::SetTimeouts(20, 20));
  ftdi::InBuffer[1] = 0x7E;
  const uint8_t bytes[] = {0x11};
  ASSERT_EQ(1u, FBench.InjectReceived("A1", bytes));
  uint16_t word = 0;
  EXPECT_EQ(1, ftdi::ReadWord(word));
  EXPECT_EQ(0x7E11, word);
}

TEST_F(FtdiWrapperTest, FailedWritePurgesTheTransmitSideOnce) {
  Plug("A1", "Vardex QN410");
  const uint32_t handle = Open(0);
  FBench.ClearCalls();
  FBench.FailNext(TSimCallKind::Write, usb::FT_IO_ERROR);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-4, ftdi::WriteByte(0x82));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  const auto calls = FBench.Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(TSimCallKind::Write, calls[0].Kind);
  EXPECT_EQ(TSimCallKind::Purge, calls[1].Kind);
  EXPECT_EQ(usb::FT_PURGE_TX, calls[1].Arg1);
  EXPECT_EQ(handle, calls[1].Handle);
}

TEST_F(FtdiWrapperTest, FailedWriteReturnsItsOwnStatusWhenThePurgeFailsToo) {
  Plug("A1", "Vardex QN410");
  Open(0);
  FBench.FailNext(TSimCallKind::Write, usb::FT_IO_ERROR);
  FBench.FailNext(TSimCallKind::Purge, usb::FT_INVALID_HANDLE);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-4, ftdi::WriteWord(7));
  EXPECT_EQ("FT_Purge TX - Invalid Handle...\n", testing::internal::GetCapturedStderr());
}

TEST_F(FtdiWrapperTest, FailedReadDrainsAndPurges) {
  Plug("A1", "Vardex QN410");
  const uint32_t handle = Open(0);
  const uint8_t bytes[] = {1, 2, 3};
  ASSERT_EQ(3u, FBench.InjectReceived("A1", bytes));
  FBench.ClearCalls();
  FBench.FailNext(TSimCallKind::Read, usb::FT_IO_ERROR);
  EXPECT_EQ(-4, ftdi::ReadBuffer(2));
  const auto calls = FBench.Calls();
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ(TSimCallKind::Read, calls[0].Kind);
  EXPECT_EQ(TSimCallKind::GetQueueStatus, calls[1].Kind);
  EXPECT_EQ(3u, calls[1].Count);
  EXPECT_EQ(TSimCallKind::Read, calls[2].Kind);
  EXPECT_EQ(3u, calls[2].Arg1);
  EXPECT_EQ(3u, calls[2].Count);
  EXPECT_EQ(TSimCallKind::Purge, calls[3].Kind);
  EXPECT_EQ(usb::FT_PURGE_RX, calls[3].Arg1);
  EXPECT_EQ(handle, calls[3].Handle);
  EXPECT_EQ(3u, ftdi::QueueBytes);
  EXPECT_EQ(0, std::memcmp(bytes, ftdi::InBuffer, 3));
}

TEST_F(FtdiWrapperTest, PurgeRxWithAnEmptyQueueDoesNotRead) {
  Plug("A1", "Vardex QN410");
  Open(0);
  FBench.ClearCalls();
  EXPECT_EQ(0, ftdi::PurgeRX());
  const std::vector<TSimCallKind> expected = {TSimCallKind::GetQueueStatus, TSimCallKind::Purge};
  EXPECT_EQ(expected, Kinds());
}

TEST_F(FtdiWrapperTest, PurgeRxGoesOnWhenTheQueueStatusFails) {
  Plug("A1", "Vardex QN410");
  Open(0);
  ftdi::QueueBytes = 5;
  FBench.ClearCalls();
  FBench.FailNext(TSimCallKind::GetQueueStatus, usb::FT_IO_ERROR);
  FBench.FailNext(TSimCallKind::Read, usb::FT_IO_ERROR);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ftdi::PurgeRX());
  EXPECT_EQ("FT_GetQueueStatus - General IO Error...\n", testing::internal::GetCapturedStderr());
  // The drain uses what QueueBytes still holds; its failure is not reported.
  const auto calls = FBench.Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(TSimCallKind::Read, calls[1].Kind);
  EXPECT_EQ(5u, calls[1].Arg1);
  EXPECT_EQ(TSimCallKind::Purge, calls[2].Kind);
  EXPECT_EQ(5u, ftdi::QueueBytes);
}

TEST_F(FtdiWrapperTest, DrainLargerThanInBufferIsCutToItsSize) {
  Plug("A1", "Vardex QN410");
  Open(0);
  const std::vector<uint8_t> bytes(40000, 0x5A);
  ASSERT_EQ(40000u, FBench.InjectReceived("A1", bytes));
  ftdi::InBuffer[ftdi::kTransferBufferSize - 1] = 0;
  FBench.ClearCalls();
  EXPECT_EQ(0, ftdi::PurgeRX());
  EXPECT_EQ(40000u, ftdi::QueueBytes);
  const auto calls = FBench.Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(TSimCallKind::Read, calls[1].Kind);
  EXPECT_EQ(32768u, calls[1].Arg1);
  EXPECT_EQ(0x5A, ftdi::InBuffer[ftdi::kTransferBufferSize - 1]);
  ASSERT_EQ(0, ftdi::GetQueueStatus());
  EXPECT_EQ(0u, ftdi::QueueBytes);
}

TEST_F(FtdiWrapperTest, TransferCountsTheBuffersCannotHoldAreRefused) {
  Plug("A1", "Vardex QN410");
  Open(0);
  struct Case {
    const char* name;
    int32_t (*transfer)(int32_t);
    int32_t count;
  };
  const Case kCases[] = {
      {"write 32769", ftdi::WriteBuffer, 32769}, {"write 65535", ftdi::WriteBuffer, 65535},
      {"write -1", ftdi::WriteBuffer, -1},       {"read 32769", ftdi::ReadBuffer, 32769},
      {"read -5", ftdi::ReadBuffer, -5},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FBench.ClearCalls();
    EXPECT_EQ(-static_cast<int32_t>(usb::FT_INVALID_PARAMETER), c.transfer(c.count));
    EXPECT_TRUE(FBench.Calls().empty());
  }
}

TEST_F(FtdiWrapperTest, FullBufferTransfersWork) {
  Plug("A1", "Vardex QN410");
  Open(0);
  for (int32_t i = 0; i < ftdi::kTransferBufferSize; ++i) {
    ftdi::OutBuffer[i] = static_cast<uint8_t>(i * 7);
  }
  EXPECT_EQ(32768, ftdi::WriteBuffer(32768));
  EXPECT_EQ(32768, ftdi::ReadBuffer(32768));
  EXPECT_EQ(0, std::memcmp(ftdi::OutBuffer, ftdi::InBuffer, sizeof ftdi::InBuffer));
  EXPECT_EQ(0, ftdi::WriteBuffer(0));
  EXPECT_EQ(0, ftdi::ReadBuffer(0));
}

TEST_F(FtdiWrapperTest, ShortReadReturnsWhatArrived) {
  Plug("A1", "Vardex QN410");
  Open(0);
  ASSERT_EQ(0, ftdi::SetTimeouts(20, 20));
  ftdi::InBuffer[2] = 0xC3;
  ftdi::OutBuffer[0] = 9;
  ftdi::OutBuffer[1] = 8;
  ASSERT_EQ(2, ftdi::WriteBuffer(2));
  EXPECT_EQ(2, ftdi::ReadBuffer(4));
  EXPECT_EQ(9, ftdi::InBuffer[0]);
  EXPECT_EQ(8, ftdi::InBuffer[1]);
  EXPECT_EQ(0xC3, ftdi::InBuffer[2]);
}

TEST_F(FtdiWrapperTest, ControlOperationsPassTheirArguments) {
  Plug("A1", "Vardex QN410");
  const uint32_t handle = Open(0);
  FBench.ClearCalls();
  EXPECT_EQ(0, ftdi::SetTimeouts(250, 300));
  EXPECT_EQ(0, ftdi::SetLatencyTimer(16));
  EXPECT_EQ(0, ftdi::SetLatencyTimer(300));  // the library takes 8 bits
  EXPECT_EQ(0, ftdi::ResetDevice());
  EXPECT_EQ(0, ftdi::PurgeTX());
  const auto calls = FBench.Calls();
  ASSERT_EQ(5u, calls.size());
  EXPECT_EQ(250u, calls[0].Arg1);
  EXPECT_EQ(300u, calls[0].Arg2);
  EXPECT_EQ(16u, calls[1].Arg1);
  EXPECT_EQ(44u, calls[2].Arg1);
  EXPECT_EQ(TSimCallKind::ResetDevice, calls[3].Kind);
  EXPECT_EQ(usb::FT_PURGE_TX, calls[4].Arg1);
  for (const TSimCall& call : calls) {
    EXPECT_EQ(handle, call.Handle);
  }
  const auto info = FBench.HandleInfo(handle);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(250u, info->ReadTimeout);
  EXPECT_EQ(300u, info->WriteTimeout);
  EXPECT_EQ(44, info->LatencyTimer);
}

TEST_F(FtdiWrapperTest, QueueStatusIsKeptOnlyOnSuccess) {
  Plug("A1", "Vardex QN410");
  Open(0);
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(5u, FBench.InjectReceived("A1", bytes));
  EXPECT_EQ(0, ftdi::GetQueueStatus());
  EXPECT_EQ(5u, ftdi::QueueBytes);
  ASSERT_EQ(2, ftdi::ReadBuffer(2));
  FBench.FailNext(TSimCallKind::GetQueueStatus, usb::FT_IO_ERROR);
  EXPECT_EQ(4, ftdi::GetQueueStatus());
  EXPECT_EQ(5u, ftdi::QueueBytes);
  EXPECT_EQ(0, ftdi::GetQueueStatus());
  EXPECT_EQ(3u, ftdi::QueueBytes);
}

TEST_F(FtdiWrapperTest, EchoParameterTouchesNoDevice) {
  EXPECT_EQ(7, ftdi::EchoParameter(7, 9));
  EXPECT_EQ(-3, ftdi::EchoParameter(-3, 0));
  EXPECT_TRUE(FBench.Calls().empty());
}

TEST_F(FtdiWrapperTest, FailingOperationsAreReportedUnderTheirLabels) {
  Plug("A1", "Vardex QN410");
  Plug("B2", "Vardex QN633");
  const uint32_t handle = Open(0);
  ASSERT_EQ(handle, 0x10001u);
  struct Case {
    const char* name;
    TSimCallKind kind;
    usb::FT_STATUS status;
    int32_t (*operation)();
    int32_t result;
    const char* report;
  };
  const Case kCases[] = {
      {"count", TSimCallKind::ListDevices, 2, [] { return ftdi::GetFTDeviceCount(); }, 2,
       "GetFTDeviceCount - Device Not Found....\n"},
      {"serial", TSimCallKind::ListDevices, 5, [] { return ftdi::GetFTDeviceSerialNo(1); }, 5,
       "GetFTDeviceSerialNo[1] - Insufficient Resources...\n"},
      {"description", TSimCallKind::ListDevices, 3, [] { return ftdi::GetFTDeviceDescription(1); },
       3, "GetFTDeviceDescription - Device Not Opened...\n"},
      {"open", TSimCallKind::Open, 4,
       [] {
         ftdi::CurrentDeviceIndex = 1;
         return ftdi::OpenDevice();
       },
       4, "FT_Open [1] - General IO Error...\n"},
      {"reset", TSimCallKind::ResetDevice, 2, [] { return ftdi::ResetDevice(); }, 2,
       "FT_ResetDevice - Device Not Found....\n"},
      {"purge tx", TSimCallKind::Purge, 6, [] { return ftdi::PurgeTX(); }, 6,
       "FT_Purge TX - Invalid Parameter ...\n"},
      {"purge rx", TSimCallKind::Purge, 1, [] { return ftdi::PurgeRX(); }, 1,
       "FT_Purge RX - Invalid Handle...\n"},
      {"latency", TSimCallKind::SetLatencyTimer, 4, [] { return ftdi::SetLatencyTimer(2); }, 4,
       "Set_USB_LatencyTimer - General IO Error...\n"},
      {"time-outs", TSimCallKind::SetTimeouts, 4, [] { return ftdi::SetTimeouts(1, 2); }, 4,
       "FT_SetTimeouts - General IO Error...\n"},
      {"queue status", TSimCallKind::GetQueueStatus, 4, [] { return ftdi::GetQueueStatus(); }, 4,
       "FT_GetQueueStatus - General IO Error...\n"},
      {"close", TSimCallKind::Close, 4, [] { return ftdi::CloseDevice(); }, 4,
       "FT_Close [handle:10001] - General IO Error...\n"},
      {"status above 6", TSimCallKind::ResetDevice, 17, [] { return ftdi::ResetDevice(); }, 17, ""},
      {"read (no label)", TSimCallKind::Read, 4, [] { return ftdi::ReadBuffer(1); }, -4, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ftdi::CurrentHandle = handle;
    FBench.FailNext(c.kind, c.status);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.result, c.operation());
    EXPECT_EQ(c.report, testing::internal::GetCapturedStderr());
  }
}

TEST_F(FtdiWrapperTest, ReportComposesLabelAndStatusText) {
  struct Case {
    uint32_t status;
    bool enabled;
    const char* report;
  };
  const Case kCases[] = {
      {0, true, ""},
      {1, true, "FT_ResetDevice - Invalid Handle...\n"},
      {2, true, "FT_ResetDevice - Device Not Found....\n"},
      {3, true, "FT_ResetDevice - Device Not Opened...\n"},
      {4, true, "FT_ResetDevice - General IO Error...\n"},
      {5, true, "FT_ResetDevice - Insufficient Resources...\n"},
      {6, true, "FT_ResetDevice - Invalid Parameter ...\n"},
      {7, true, ""},
      {0xFFFFFFFF, true, ""},
      {2, false, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.status);
    ftdi::ErrorReportEnabled = c.enabled;
    testing::internal::CaptureStderr();
    ftdi::ReportFTError(std::string("FT_ResetDevice"), c.status);
    EXPECT_EQ(c.report, testing::internal::GetCapturedStderr());
  }
}

TEST_F(FtdiWrapperTest, UnpluggedInstrumentFailsWithAStatus) {
  Plug("A1", "Vardex QN410");
  Open(0);
  ASSERT_TRUE(FBench.Unplug("A1"));
  EXPECT_EQ(-4, ftdi::WriteByte(0x82));
  uint8_t value = 1;
  EXPECT_EQ(-4, ftdi::ReadByte(value));
  EXPECT_EQ(0, value);
  EXPECT_EQ(4, ftdi::ResetDevice());
  EXPECT_EQ(0, ftdi::CloseDevice());
}

TEST_F(FtdiWrapperTest, WithoutBackendNoDeviceIsFound) {
  ftdi::SetD2xxBackend(nullptr);
  EXPECT_EQ(nullptr, ftdi::D2xxBackend());
  testing::internal::CaptureStderr();
  EXPECT_EQ(2, ftdi::GetFTDeviceCount());
  EXPECT_EQ(0u, ftdi::FT_DeviceCount);
  EXPECT_EQ(2, ftdi::GetFTDeviceSerialNo(0));
  EXPECT_EQ("in use", ftdi::FT_DeviceString);
  EXPECT_EQ(-2, ftdi::WriteByte(1));
  EXPECT_EQ(-2, ftdi::ReadBuffer(1));
  ftdi::CurrentDeviceIndex = 0;
  EXPECT_EQ(2, ftdi::OpenDevice());
  EXPECT_NE("", testing::internal::GetCapturedStderr());
}

TEST_F(FtdiWrapperTest, ResetRestoresTheStartState) {
  Plug("A1", "Vardex QN410");
  Open(0);
  ftdi::ErrorReportEnabled = false;
  ftdi::QueueBytes = 3;
  ftdi::InBuffer[10] = 1;
  ftdi::OutBuffer[10] = 1;
  ftdi::ResetWrapperState();
  EXPECT_EQ(0u, ftdi::CurrentHandle);
  EXPECT_EQ(0, ftdi::CurrentDeviceIndex);
  EXPECT_EQ(0u, ftdi::QueueBytes);
  EXPECT_EQ("", ftdi::FT_DeviceString);
  EXPECT_TRUE(ftdi::ErrorReportEnabled);
  EXPECT_EQ(0, ftdi::InBuffer[10]);
  EXPECT_EQ(0, ftdi::OutBuffer[10]);
  EXPECT_EQ(0u, ftdi::DeviceSlots[0].SlotHandle);
  EXPECT_STREQ("", ftdi::DeviceSlots[0].SlotSerial);
  EXPECT_EQ(&FBench, ftdi::D2xxBackend());
}

TEST(D2xxStatusTest, NamesAsPublished) {
  struct Case {
    uint32_t status;
    const char* name;
  };
  const Case kCases[] = {
      {0, "FT_OK"},
      {1, "FT_INVALID_HANDLE"},
      {2, "FT_DEVICE_NOT_FOUND"},
      {3, "FT_DEVICE_NOT_OPENED"},
      {4, "FT_IO_ERROR"},
      {5, "FT_INSUFFICIENT_RESOURCES"},
      {6, "FT_INVALID_PARAMETER"},
      {7, "FT_OTHER_ERROR"},
  };
  for (const Case& c : kCases) {
    EXPECT_STREQ(c.name, usb::StatusName(c.status));
  }
}

}  // namespace
