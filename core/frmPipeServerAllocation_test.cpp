// Serving data requests allocates nothing, in the window's code and in the
// driver wrapper: the blocks are the slots' own, transfers go through the
// wrapper's fixed buffers, and the pipe server copies the reply.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/frmPipeServerTesting.h"
#include "tests/support/AllocationCounter.h"

namespace {

std::atomic<bool>& gCounting = testsupport::AllocationCounting();
std::atomic<int64_t>& gAllocations = testsupport::AllocationCount();

}  // namespace

namespace core::testing {
namespace {

// One instrument that echoes what is written, answering at once. Unlike the
// simulated bench it keeps no call log, so only the window's and the
// wrapper's allocations are counted.
class TEchoD2xx : public usb::TD2xx {
 public:
  static constexpr usb::FT_HANDLE kHandle = 0x00020003;

  usb::FT_STATUS FT_ListDevices(void* arg1, void* /*arg2*/, uint32_t flags) override {
    if (flags == usb::FT_LIST_NUMBER_ONLY) {
      *static_cast<uint32_t*>(arg1) = 1;
      return usb::FT_OK;
    }
    return usb::FT_DEVICE_NOT_FOUND;
  }
  usb::FT_STATUS FT_Open(int32_t, usb::FT_HANDLE* handle) override {
    *handle = kHandle;
    return usb::FT_OK;
  }
  usb::FT_STATUS FT_Close(usb::FT_HANDLE) override { return usb::FT_OK; }
  usb::FT_STATUS FT_Read(usb::FT_HANDLE, void* buffer, uint32_t count, uint32_t* read) override {
    const uint32_t n = std::min<uint32_t>(count, FQueued);
    std::memcpy(buffer, FQueue, n);
    std::memmove(FQueue, FQueue + n, FQueued - n);
    FQueued -= n;
    *read = n;
    return usb::FT_OK;
  }
  usb::FT_STATUS FT_Write(usb::FT_HANDLE,
                          const void* buffer,
                          uint32_t count,
                          uint32_t* written) override {
    const uint32_t n = std::min<uint32_t>(count, sizeof FQueue - FQueued);
    std::memcpy(FQueue + FQueued, buffer, n);
    FQueued += n;
    *written = n;
    return usb::FT_OK;
  }
  usb::FT_STATUS FT_Purge(usb::FT_HANDLE, uint32_t mask) override {
    if (mask & usb::FT_PURGE_RX) {
      FQueued = 0;
    }
    return usb::FT_OK;
  }
  usb::FT_STATUS FT_ResetDevice(usb::FT_HANDLE) override { return usb::FT_OK; }
  usb::FT_STATUS FT_SetLatencyTimer(usb::FT_HANDLE, uint8_t) override { return usb::FT_OK; }
  usb::FT_STATUS FT_SetTimeouts(usb::FT_HANDLE, uint32_t, uint32_t) override { return usb::FT_OK; }
  usb::FT_STATUS FT_GetQueueStatus(usb::FT_HANDLE, uint32_t* rxBytes) override {
    *rxBytes = FQueued;
    return usb::FT_OK;
  }

 private:
  uint8_t FQueue[65536] = {};
  uint32_t FQueued = 0;
};

class AllocationTest : public TFormTest {
 protected:
  void SetUp() override {
    ftdi::SetD2xxBackend(&FBackend);
    TFormTest::SetUp();
  }

  TEchoD2xx FBackend;
};

TEST(AllocationCounterTest, SeesAllocations) {
  gAllocations = 0;
  gCounting = true;
  auto* probe = new std::vector<int>(3);
  gCounting = false;
  delete probe;
  EXPECT_EQ(gAllocations.load(), 2);  // the vector and its elements
}

TEST_F(AllocationTest, DataRequestsAllocateNothing) {
  constexpr uint32_t kPipe = 4711;
  Pipes->Connect(kPipe);
  Form->statMemo.Clear();
  const uint16_t h1 = TEchoD2xx::kHandle & 0xFFFF;
  const uint16_t h2 = TEchoD2xx::kHandle >> 16;

  std::vector<uint8_t> write16 = testsupport::Block({kOpWrite, h1, h2, 16});
  for (int32_t i = 0; i < 16; ++i) {
    write16[2 * (4 + i)] = static_cast<uint8_t>(i * 7);
  }
  const std::vector<std::vector<uint8_t>> requests = {
      write16,
      testsupport::Block({kOpRead, h1, h2, 16}),
      testsupport::Block({kOpReset, h1, h2}),
      testsupport::Block({kOpPurgeTX, h1, h2}),
      testsupport::Block({kOpPurgeRX, h1, h2}),
      testsupport::Block({kOpLatencyTimer, h1, h2, 2}),
      testsupport::Block({kOpTimeouts, h1, h2, 100, 100}),
      testsupport::Block({kOpWriteByte, h1, h2, 0x82}),
      testsupport::Block({kOpQueueStatus, h1, h2}),
      testsupport::Block({kOpReadByte, h1, h2}),
      testsupport::Block({kOpWriteWord, h1, h2, 0x1234}),
      testsupport::Block({kOpReadWord, h1, h2}),
      testsupport::Block({kOpWriteInteger, h1, h2, 0xFFFF}),
      testsupport::Block({kOpReadInteger, h1, h2}),
      testsupport::Block({kOpEcho, h1, h2, 7, 9}),
      testsupport::Block({kOpMessageCount, h1, h2}),
  };
  constexpr int32_t kRounds = 250;  // 4 000 requests

  Pipes->SetRecording(false);
  for (const auto& request : requests) {  // a first round outside the count
    Pipes->Send(kPipe, request);
  }
  const int64_t repliesBefore = Pipes->WriteCount();

  gAllocations = 0;
  gCounting = true;
  for (int32_t round = 0; round < kRounds; ++round) {
    for (const auto& request : requests) {
      Pipes->Send(kPipe, request);
    }
  }
  gCounting = false;

  EXPECT_EQ(gAllocations.load(), 0);
  EXPECT_EQ(Pipes->WriteCount() - repliesBefore, static_cast<int64_t>(kRounds * requests.size()));
  // The last reply is the counter's: every request was served.
  EXPECT_EQ(testsupport::WordOf(Pipes->LastBlock(), 0), kMessageCountReply);
  EXPECT_EQ(Form->msgCount, kRounds + 1);
  EXPECT_TRUE(Log().empty());
}

TEST_F(AllocationTest, RequestsRefusedByTheLockAllocateNothing) {
  Pipes->Connect(1);
  Pipes->Connect(2);
  Pipes->SendWords(1, {kOpLock});
  const std::vector<uint8_t> request = testsupport::Block({kOpEcho, 0, 0, 7});
  Pipes->SetRecording(false);
  const int64_t writesBefore = Pipes->WriteCount();

  gAllocations = 0;
  gCounting = true;
  for (int32_t i = 0; i < 1000; ++i) {
    Pipes->Send(2, request);
    Pipes->Send(1, request);
  }
  gCounting = false;

  EXPECT_EQ(gAllocations.load(), 0);
  EXPECT_EQ(Pipes->WriteCount() - writesBefore, 1000);  // the owner's replies only
}

}  // namespace
}  // namespace core::testing
