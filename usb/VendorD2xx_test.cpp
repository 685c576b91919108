#include "usb/VendorD2xx.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/SimBench.h"
#include "usb/FtdiWrapper.h"

namespace {

using sim::TSimCallKind;

#ifdef QN_SIM_FTD2XX_PATH
const char* const kSubstitute = QN_SIM_FTD2XX_PATH;
#else
const char* const kSubstitute = nullptr;
#endif

using TAttach = void (*)(usb::TD2xx*);

TEST(VendorD2xxLoadTest, MissingLibraryIsNotAvailable) {
  std::string error;
  EXPECT_EQ(nullptr, usb::TVendorD2xx::Load("/nonexistent/libftd2xx.so", &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/libftd2xx.so not available"));
}

TEST(VendorD2xxLoadTest, LibraryWithoutTheEntryPointsIsNotAvailable) {
  std::string error;
  EXPECT_EQ(nullptr, usb::TVendorD2xx::Load("libm.so.6", &error));
  EXPECT_NE(std::string::npos, error.find("not available"));
  EXPECT_NE(std::string::npos, error.find("FT_ListDevices"));
}

TEST(VendorD2xxLoadTest, SelectionTakesTheVendorLibraryOrNothing) {
  std::string note;
  EXPECT_EQ(nullptr, usb::SelectD2xxBackend(&note, "/nonexistent/libftd2xx.so"));
  EXPECT_NE(std::string::npos, note.find("not available"));

  // The installed library, if this machine has one.
  void* installed = dlopen(usb::kVendorD2xxLibrary, RTLD_NOW | RTLD_LOCAL);
  const auto selected = usb::SelectD2xxBackend(&note);
  EXPECT_EQ(installed != nullptr, selected != nullptr) << note;
  if (installed != nullptr) {
    dlclose(installed);
  }

  if (kSubstitute == nullptr) {
    GTEST_SKIP() << "substitute library not built";
  }
  const auto substitute = usb::SelectD2xxBackend(&note, kSubstitute);
  ASSERT_NE(nullptr, substitute) << note;
  EXPECT_NE(nullptr, dynamic_cast<usb::TVendorD2xx*>(substitute.get()));
}

// The vendor backend over the substitute library, which serves the calls from
// a bench of this test.
class VendorD2xxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kSubstitute == nullptr) {
      GTEST_SKIP() << "substitute library not built";
    }
    std::string error;
    FVendor = usb::TVendorD2xx::Load(kSubstitute, &error);
    ASSERT_NE(nullptr, FVendor) << error;
    // The same library, opened again to reach its attach function.
    FLibrary = dlopen(kSubstitute, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, FLibrary);
    FAttach = reinterpret_cast<TAttach>(dlsym(FLibrary, "QnSimD2xxAttach"));
    ASSERT_NE(nullptr, FAttach);
    FAttach(&FBench);
    ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "A410")));
    ASSERT_TRUE(FBench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "B420")));
  }

  void TearDown() override {
    if (FAttach != nullptr) {
      FAttach(nullptr);
    }
    FVendor.reset();
    if (FLibrary != nullptr) {
      dlclose(FLibrary);
    }
  }

  usb::FT_HANDLE Open(int32_t index) {
    usb::FT_HANDLE handle = 0;
    EXPECT_EQ(usb::FT_OK, FVendor->FT_Open(index, &handle));
    return handle;
  }

  sim::TSimBench FBench;
  std::unique_ptr<usb::TVendorD2xx> FVendor;
  void* FLibrary = nullptr;
  TAttach FAttach = nullptr;
};

TEST_F(VendorD2xxTest, ListsThroughTheLibrary) {
  uint32_t count = 0;
  ASSERT_EQ(usb::FT_OK, FVendor->FT_ListDevices(&count, nullptr, usb::FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(2u, count);
  char name[usb::kD2xxNameSize];
  ASSERT_EQ(usb::FT_OK,
            FVendor->FT_ListDevices(usb::ListIndexArg(1), name,
                                    usb::FT_LIST_BY_INDEX | usb::FT_OPEN_BY_SERIAL_NUMBER));
  EXPECT_STREQ("B420", name);
  ASSERT_EQ(usb::FT_OK,
            FVendor->FT_ListDevices(usb::ListIndexArg(0), name,
                                    usb::FT_LIST_BY_INDEX | usb::FT_OPEN_BY_DESCRIPTION));
  EXPECT_STREQ("Vardex QN410", name);
  EXPECT_EQ(usb::FT_DEVICE_NOT_FOUND,
            FVendor->FT_ListDevices(usb::ListIndexArg(2), name,
                                    usb::FT_LIST_BY_INDEX | usb::FT_OPEN_BY_DESCRIPTION));
}

TEST_F(VendorD2xxTest, LibraryHandlesBecome32BitIds) {
  const usb::FT_HANDLE first = Open(0);
  const usb::FT_HANDLE second = Open(1);
  EXPECT_EQ(1u, first);
  EXPECT_EQ(2u, second);
  EXPECT_EQ(2u, FVendor->OpenHandleCount());
  // Calls on an id reach the library with the library's handle for it.
  FBench.ClearCalls();
  ASSERT_EQ(usb::FT_OK, FVendor->FT_SetTimeouts(second, 300, 400));
  ASSERT_EQ(1u, FBench.Calls().size());
  EXPECT_EQ(FBench.HandleOf("B420"), FBench.Calls()[0].Handle);
  EXPECT_EQ(300u, FBench.Calls()[0].Arg1);
  EXPECT_EQ(400u, FBench.Calls()[0].Arg2);

  ASSERT_EQ(usb::FT_OK, FVendor->FT_Close(first));
  EXPECT_EQ(1u, FVendor->OpenHandleCount());
  EXPECT_EQ(0u, FBench.HandleOf("A410"));
  EXPECT_EQ(3u, Open(0));
}

TEST_F(VendorD2xxTest, IdsNotHandedOutNeverReachTheLibrary) {
  const usb::FT_HANDLE handle = Open(0);
  ASSERT_EQ(usb::FT_OK, FVendor->FT_Close(handle));
  FBench.ClearCalls();
  uint8_t byte = 0;
  uint32_t count = 0;
  for (const usb::FT_HANDLE id : {handle, 0u, 2u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_Read(id, &byte, 1, &count));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_Write(id, &byte, 1, &count));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_Purge(id, usb::FT_PURGE_RX));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_ResetDevice(id));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_SetLatencyTimer(id, 2));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_SetTimeouts(id, 1, 1));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_GetQueueStatus(id, &count));
    EXPECT_EQ(usb::FT_INVALID_HANDLE, FVendor->FT_Close(id));
  }
  EXPECT_TRUE(FBench.Calls().empty());
}

TEST_F(VendorD2xxTest, StatusesAndCountsPassThrough) {
  const usb::FT_HANDLE handle = Open(0);
  usb::FT_HANDLE other = 0;
  EXPECT_EQ(usb::FT_DEVICE_NOT_OPENED, FVendor->FT_Open(0, &other));
  EXPECT_EQ(usb::FT_DEVICE_NOT_FOUND, FVendor->FT_Open(7, &other));
  EXPECT_EQ(0u, other);

  FBench.FailNext(TSimCallKind::Write, usb::FT_IO_ERROR);
  const uint8_t sent[] = {0x82, 0x10, 0x20};
  uint32_t count = 99;
  EXPECT_EQ(usb::FT_IO_ERROR, FVendor->FT_Write(handle, sent, 3, &count));
  ASSERT_EQ(usb::FT_OK, FVendor->FT_Write(handle, sent, 3, &count));
  EXPECT_EQ(3u, count);
  ASSERT_EQ(usb::FT_OK, FVendor->FT_GetQueueStatus(handle, &count));
  EXPECT_EQ(3u, count);
  uint8_t received[3] = {};
  ASSERT_EQ(usb::FT_OK, FVendor->FT_Read(handle, received, 3, &count));
  EXPECT_EQ(3u, count);
  EXPECT_EQ(0, std::memcmp(sent, received, 3));

  ASSERT_EQ(usb::FT_OK, FVendor->FT_SetLatencyTimer(handle, 200));
  ASSERT_EQ(usb::FT_OK, FVendor->FT_Purge(handle, usb::FT_PURGE_RX | usb::FT_PURGE_TX));
  ASSERT_EQ(usb::FT_OK, FVendor->FT_ResetDevice(handle));
  EXPECT_EQ(200, FBench.HandleInfo(FBench.HandleOf("A410"))->LatencyTimer);
  EXPECT_EQ(1u, FBench.CountCalls(TSimCallKind::Purge, usb::FT_PURGE_RX | usb::FT_PURGE_TX));

  ASSERT_TRUE(FBench.Unplug("A410"));
  EXPECT_EQ(usb::FT_IO_ERROR, FVendor->FT_Read(handle, received, 1, &count));
  EXPECT_EQ(usb::FT_OK, FVendor->FT_Close(handle));
  EXPECT_EQ(0u, FVendor->OpenHandleCount());
}

TEST_F(VendorD2xxTest, WrapperWorksOverTheLibrary) {
  ftdi::ResetWrapperState();
  ftdi::SetD2xxBackend(FVendor.get());
  ASSERT_EQ(0, ftdi::GetFTDeviceCount());
  EXPECT_EQ(2u, ftdi::FT_DeviceCount);
  ftdi::CurrentDeviceIndex = 1;
  ASSERT_EQ(0, ftdi::OpenDevice());
  EXPECT_EQ(1u, ftdi::CurrentHandle);
  EXPECT_STREQ("B420", ftdi::DeviceSlots[1].SlotSerial);
  EXPECT_EQ("Vardex QN420", ftdi::FT_DeviceString);
  uint8_t byte = 0;
  EXPECT_EQ(1, ftdi::WriteByte(0x82));
  EXPECT_EQ(1, ftdi::ReadByte(byte));
  EXPECT_EQ(0x82, byte);
  FBench.ClearCalls();
  FBench.FailNext(TSimCallKind::Write, usb::FT_IO_ERROR);
  EXPECT_EQ(-4, ftdi::WriteByte(0x82));
  EXPECT_EQ(1u, FBench.CountCalls(TSimCallKind::Purge, usb::FT_PURGE_TX));
  EXPECT_EQ(0, ftdi::CloseDevice());
  EXPECT_EQ(0u, ftdi::DeviceSlots[1].SlotHandle);
  ftdi::SetD2xxBackend(nullptr);
  ftdi::ResetWrapperState();
}

TEST_F(VendorD2xxTest, LibraryServesItsOwnBenchWhenNothingIsAttached) {
  FAttach(nullptr);
  uint32_t count = 0;
  ASSERT_EQ(usb::FT_OK, FVendor->FT_ListDevices(&count, nullptr, usb::FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(3u, count);
  const usb::FT_HANDLE handle = Open(2);
  uint8_t byte = 0x82;
  uint32_t moved = 0;
  ASSERT_EQ(usb::FT_OK, FVendor->FT_Write(handle, &byte, 1, &moved));
  byte = 0;
  ASSERT_EQ(usb::FT_OK, FVendor->FT_Read(handle, &byte, 1, &moved));
  EXPECT_EQ(0x82, byte);
  EXPECT_EQ(usb::FT_OK, FVendor->FT_Close(handle));
}

}  // namespace
