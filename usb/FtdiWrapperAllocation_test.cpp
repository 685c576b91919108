// Transfers through the wrapper allocate nothing: every byte passes through
// the fixed module buffers. The global allocation functions are replaced in
// this test program (tests/support/AllocationCounter) to count the allocations
// made while the loop runs.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "sim/SimBench.h"
#include "tests/support/AllocationCounter.h"
#include "usb/FtdiWrapper.h"

namespace {

std::atomic<bool>& gCounting = testsupport::AllocationCounting();
std::atomic<int64_t>& gAllocations = testsupport::AllocationCount();

TEST(FtdiWrapperAllocationTest, TransfersAllocateNothing) {
  sim::TSimBench bench;
  ASSERT_TRUE(bench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "QN41000A")));
  ASSERT_TRUE(bench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "QN63300B")));
  ftdi::ResetWrapperState();
  ftdi::SetD2xxBackend(&bench);
  ftdi::CurrentDeviceIndex = 0;
  ASSERT_EQ(0, ftdi::OpenDevice());
  const uint32_t handle = ftdi::CurrentHandle;
  ASSERT_EQ(0, ftdi::SetTimeouts(0, 0));

  // Mismatches are counted rather than asserted inside the loop, so that the
  // test framework does no work of its own while allocations are counted.
  long mismatches = 0;
  testing::internal::CaptureStderr();
  // The replaced allocation functions are the ones in use.
  gAllocations = 0;
  gCounting = true;
  int* volatile probe = new int(1);
  delete probe;
  gCounting = false;
  ASSERT_EQ(1, gAllocations);

  gAllocations = 0;
  gCounting = true;
  for (int i = 0; i < 3000; ++i) {
    ftdi::CurrentHandle = handle;
    const int32_t count = 1 + (i % 512);
    for (int32_t k = 0; k < count; ++k) {
      ftdi::OutBuffer[k] = static_cast<uint8_t>(i + k);
    }
    mismatches += ftdi::WriteBuffer(count) != count;
    mismatches += ftdi::GetQueueStatus() != 0 || ftdi::QueueBytes != static_cast<uint32_t>(count);
    mismatches += ftdi::ReadBuffer(count) != count;
    mismatches += ftdi::InBuffer[count - 1] != static_cast<uint8_t>(i + count - 1);
    uint8_t byte = 0;
    mismatches += ftdi::WriteByte(0x82) != 1 || ftdi::ReadByte(byte) != 1 || byte != 0x82;
    int32_t value = 0;
    mismatches += ftdi::WriteInteger(-2) != 2 || ftdi::ReadInteger(value) != 2 || value != -2;
    mismatches += ftdi::ReadBuffer(4) != 0;  // nothing arrives: time-out 0
    mismatches += ftdi::PurgeTX() != 0 || ftdi::PurgeRX() != 0;
    mismatches += ftdi::SetLatencyTimer(0) != 0 || ftdi::SetTimeouts(0, 0) != 0;
    mismatches += ftdi::GetFTDeviceDescription(1) != 0;
    mismatches += ftdi::GetFTDeviceSerialNo(9) == 0;  // reported on standard error
    if (i % 100 == 0) {
      // Failure paths: purge after a failed write, drain and purge after a
      // failed read, and the diagnostic line.
      bench.FailNext(sim::TSimCallKind::Write, usb::FT_IO_ERROR);
      mismatches += ftdi::WriteByte(1) != -4;
      mismatches += ftdi::WriteByte(2) != 1;
      bench.FailNext(sim::TSimCallKind::Read, usb::FT_IO_ERROR);
      mismatches += ftdi::ReadBuffer(1) != -4;
      mismatches += ftdi::ResetDevice() != 0;
    }
  }
  gCounting = false;
  const long allocations = gAllocations;
  const std::string report = testing::internal::GetCapturedStderr();

  EXPECT_EQ(0, mismatches);
  EXPECT_EQ(0, allocations);
  EXPECT_NE(std::string::npos, report.find("GetFTDeviceSerialNo[9] - Device Not Found...."));
  ftdi::SetD2xxBackend(nullptr);
  ftdi::ResetWrapperState();
}

}  // namespace
