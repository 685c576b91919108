// The instrument table against the simulated bench: USB Test, Poll USB,
// arrival and removal.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/frmPipeServerTesting.h"
#include "sim/SimDeviceChange.h"

namespace core::testing {
namespace {

using Lines = std::vector<std::string>;
using K = sim::TSimCallKind;
using sim::MakeSimInstrument;
using sim::TSimFamily;

constexpr char kHardwareId[] = "Vid_0403&Pid_e758";
const std::string kOpenRule = "-USB Open " + std::string(46, '-');
const std::string kCloseRule = "-USB Close  " + std::string(40, '-');

std::string Format(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// The four USB Test lines of one instrument.
Lines OpenLines(int32_t index,
                uint32_t handle,
                const std::string& serial,
                const std::string& desc) {
  return {Format("Open USB Device, index:%d, Handle = %x", index, handle),
          "serialNumberUSB = " + serial, "Open USB Device deviceDesc " + desc, "ReadByte:  0"};
}

Lines Tail(const Lines& lines, size_t count) {
  return Lines(lines.end() - static_cast<std::ptrdiff_t>(std::min(count, lines.size())),
               lines.end());
}

class InstrumentsTest : public TBenchFormTest {
 protected:
  void SetUp() override {
    TBenchFormTest::SetUp();
    Form->CreateUsbNotifier();
    Form->BindInstrumentCommands();
  }
  void Plug(TSimFamily family, const std::string& serial) {
    ASSERT_TRUE(Bench->Plug(MakeSimInstrument(family, serial)));
  }
  void UsbTest() { Form->Button4.Click(); }
  void PollUsb() { Form->Button2.Click(); }
  void Arrival(const std::string& serial) {
    Form->ComponentUSB2USBArrival(*Form->usbD, kHardwareId, serial, "");
  }
  void Removal(const std::string& serial) {
    Form->ComponentUSB2USBRemove(*Form->usbD, kHardwareId, serial, "");
  }
  const TUSB_DeviceRecord& Entry(int32_t index) const { return Form->USB_Devices[index]; }
  const Lines& ListLines() const { return Form->listboxInstruments.Items(); }
  // Every family picture Off, so that a test sees which ones switch on.
  void AllFamiliesOff() {
    for (TImage* on : {&Form->imgQN410On, &Form->imgQN420On, &Form->imgQN633On}) {
      on->SetVisible(false);
    }
    for (TImage* off : {&Form->imgQN410Off, &Form->imgQN420Off, &Form->imgQN633Off}) {
      off->SetVisible(true);
    }
  }
  struct TFamilies {
    bool QN410;
    bool QN633;
    bool QN420;
    bool operator==(const TFamilies&) const = default;
  };
  // Which pairs show On; a pair must show exactly one of its two pictures.
  TFamilies Families() const {
    EXPECT_NE(Form->imgQN410On.Visible(), Form->imgQN410Off.Visible());
    EXPECT_NE(Form->imgQN633On.Visible(), Form->imgQN633Off.Visible());
    EXPECT_NE(Form->imgQN420On.Visible(), Form->imgQN420Off.Visible());
    return {Form->imgQN410On.Visible(), Form->imgQN633On.Visible(), Form->imgQN420On.Visible()};
  }
};

// ---- USB Test ----

TEST_F(InstrumentsTest, UsbTestWithNoInstrumentLogsOnlyTheCount) {
  Form->Log("an earlier line");
  UsbTest();
  EXPECT_EQ(Log(), (Lines{"Device Count: 0"}));
  EXPECT_TRUE(ListLines().empty());
  EXPECT_EQ(Form->USB_DeviceCount, 0);
  EXPECT_EQ(Bench->CountCalls(K::Open), 0u);
}

TEST_F(InstrumentsTest, UsbTestOpensAndListsTwoInstrumentsInEnumerationOrder) {
  Plug(TSimFamily::QN410, "SN410A");
  Plug(TSimFamily::QN633, "SN633B");
  UsbTest();

  const uint32_t a = Bench->HandleOf("SN410A");
  const uint32_t b = Bench->HandleOf("SN633B");
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  Lines expected{"Device Count: 2"};
  for (const Lines& lines :
       {OpenLines(0, a, "SN410A", "Vardex QN410"), OpenLines(1, b, "SN633B", "Vardex QN633")}) {
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : SN410A", " Vardex QN633 : SN633B"}));
  EXPECT_EQ(Form->USB_DeviceCount, 2);

  EXPECT_TRUE(Entry(0).deviceOpened);
  EXPECT_EQ(Entry(0).USBHandle, a);
  EXPECT_EQ(Entry(0).serialNumberUSB, "SN410A");
  EXPECT_EQ(Entry(0).deviceDesc, "Vardex QN410");
  EXPECT_TRUE(Entry(1).deviceOpened);
  EXPECT_EQ(Entry(1).USBHandle, b);
  // Only an arrival records the index.
  EXPECT_EQ(Entry(1).deviceIndex, 0);
  EXPECT_FALSE(Entry(2).deviceOpened);
  EXPECT_EQ(Entry(2), TUSB_DeviceRecord{});
}

TEST_F(InstrumentsTest, UsbTestListsAnInstrumentWhoseOpenFails) {
  Plug(TSimFamily::QN633, "SN633B");
  Bench->FailNext(K::Open, usb::FT_DEVICE_NOT_FOUND);
  AllFamiliesOff();
  UsbTest();

  EXPECT_FALSE(Entry(0).deviceOpened);
  EXPECT_EQ(Entry(0).USBHandle, 0u);
  EXPECT_EQ(Tail(Log(), 4), OpenLines(0, 0, "SN633B", "Vardex QN633"));
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN633 : SN633B"}));
  // The pictures follow the description, whatever the open gave.
  EXPECT_EQ(Families(), (TFamilies{false, true, false}));
}

// Pressed again, USB Test lists every instrument again. An instrument still
// open under its entry's handle keeps that handle: opening it a second time
// would fail and lose the handle that clients already use.
TEST_F(InstrumentsTest, UsbTestTwiceListsTwiceAndKeepsTheOpenHandles) {
  Plug(TSimFamily::QN410, "SN410A");
  Plug(TSimFamily::QN633, "SN633B");
  UsbTest();
  const Lines firstLog = Log();
  const uint32_t a = Entry(0).USBHandle;
  const uint32_t b = Entry(1).USBHandle;

  UsbTest();
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : SN410A", " Vardex QN633 : SN633B",
                                " Vardex QN410 : SN410A", " Vardex QN633 : SN633B"}));
  EXPECT_EQ(Log(), firstLog);
  EXPECT_TRUE(Entry(0).deviceOpened);
  EXPECT_EQ(Entry(0).USBHandle, a);
  EXPECT_TRUE(Entry(1).deviceOpened);
  EXPECT_EQ(Entry(1).USBHandle, b);
  EXPECT_EQ(Bench->CountCalls(K::Open), 2u);
  EXPECT_EQ(Bench->CountCalls(K::Close), 0u);

  // A client's handle still works, and removal closes it.
  ftdi::CurrentHandle = b;
  ASSERT_EQ(ftdi::WriteByte(0x82), 1);
  uint8_t answer = 0;
  EXPECT_EQ(ftdi::ReadByte(answer), 1);
  EXPECT_EQ(answer, 0x82);
  ASSERT_TRUE(Bench->Unplug("SN633B"));
  Removal("SN633B");
  EXPECT_EQ(Bench->HandleInfo(b), std::nullopt);
}

// An instrument pulled and plugged back without the window hearing of it: its
// earlier handle no longer answers, so it is closed before the fresh open.
TEST_F(InstrumentsTest, UsbTestClosesAHandleThatNoLongerAnswers) {
  Plug(TSimFamily::QN410, "SN410A");
  UsbTest();
  const uint32_t earlier = Entry(0).USBHandle;
  ASSERT_TRUE(Bench->Unplug("SN410A"));
  Plug(TSimFamily::QN410, "SN410A");

  UsbTest();
  const uint32_t fresh = Bench->HandleOf("SN410A");
  ASSERT_NE(fresh, 0u);
  EXPECT_NE(fresh, earlier);
  EXPECT_TRUE(Entry(0).deviceOpened);
  EXPECT_EQ(Entry(0).USBHandle, fresh);
  EXPECT_EQ(Bench->HandleInfo(earlier), std::nullopt);
  EXPECT_EQ(Tail(Log(), 4), OpenLines(0, fresh, "SN410A", "Vardex QN410"));
}

TEST_F(InstrumentsTest, UsbTestLeavesInstrumentsBeyondTheTableClosed) {
  for (int i = 0; i < 17; ++i) {
    Plug(TSimFamily::QN420, Format("SN%02d", i));
  }
  UsbTest();
  EXPECT_EQ(Form->USB_DeviceCount, 17);
  EXPECT_EQ(Log().front(), "Device Count: 17");
  EXPECT_EQ(Log().back(), "# USB Device index:16 to 16 not opened, the table holds 16");
  EXPECT_EQ(Log().size(), 1u + 16 * 4 + 1);
  EXPECT_EQ(ListLines().size(), 16u);
  EXPECT_EQ(Bench->CountCalls(K::Open), 16u);
  EXPECT_EQ(Bench->CountCalls(K::Open, 16), 0u);
  EXPECT_EQ(Bench->HandleOf("SN16"), 0u);
}

// ---- Poll USB ----

TEST_F(InstrumentsTest, PollUsbWithSeventeenDevicesPollsTheFirstSixteen) {
  for (int i = 0; i < 17; ++i) {
    Plug(TSimFamily::QN420, Format("SN%02d", i));
  }
  UsbTest();
  Form->statMemo.Clear();
  Bench->ClearCalls();

  PollUsb();
  EXPECT_EQ(Form->USB_DeviceCount, 16);
  Lines expected{"USB Devices=17"};
  for (int32_t i = 0; i < 16; ++i) {
    expected.push_back(Format("USB Device %d [%x] Vardex QN420", i, Entry(i).USBHandle));
  }
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(Bench->CountCalls(K::Write), 16u);
  EXPECT_EQ(Bench->CountCalls(K::Read), 16u);

  Form->statMemo.Clear();
  PollUsb();
  EXPECT_EQ(Log().front(), "USB Devices=16");
}

TEST_F(InstrumentsTest, PollUsbReportsInstrumentsThatDoNotEcho) {
  Plug(TSimFamily::QN410, "SN410A");
  Plug(TSimFamily::QN633, "SN633B");
  Plug(TSimFamily::QN420, "SN420C");
  Plug(TSimFamily::QN2208, "SN2208D");
  Bench->FailNext(K::Open, usb::FT_DEVICE_NOT_FOUND, 1, 3);  // the fourth open
  UsbTest();
  ASSERT_TRUE(Bench->SetResponse("SN633B", sim::TSimResponse::Mute));
  // An answer already waiting is read in place of the echo.
  const uint8_t stray[] = {0x55};
  ASSERT_EQ(Bench->InjectReceived("SN420C", stray), 1u);
  Form->statMemo.Clear();

  PollUsb();
  const uint32_t a = Entry(0).USBHandle;
  const uint32_t b = Entry(1).USBHandle;
  const uint32_t c = Entry(2).USBHandle;
  EXPECT_EQ(Log(), (Lines{
                       "USB Devices=4",
                       Format("USB Device 0 [%x] Vardex QN410", a),
                       Format("USB Device 1 [%x] Vardex QN633", b),
                       Format("USB Device 1 [%x]- ReadByte ERROR:  0", b),
                       Format("USB Device 2 [%x] Vardex QN420", c),
                       Format("USB Device 2 [%x]- ReadByte ERROR:  85", c),
                       "USB Device 3 - not open",
                   }));
}

// ---- Arrival ----

TEST_F(InstrumentsTest, ArrivalAtIndexOneFillsAndOpensEntryOne) {
  Plug(TSimFamily::QN410, "SN410A");
  UsbTest();
  Plug(TSimFamily::QN633, "SN633B");
  Form->statMemo.Clear();

  Arrival("SN633B");
  const uint32_t b = Bench->HandleOf("SN633B");
  ASSERT_NE(b, 0u);
  EXPECT_EQ(Form->USB_DeviceCount, 2);
  EXPECT_TRUE(Entry(1).deviceOpened);
  EXPECT_EQ(Entry(1).deviceIndex, 1);
  EXPECT_EQ(Entry(1).USBHandle, b);
  EXPECT_EQ(Entry(1).serialNumberUSB, "SN633B");
  EXPECT_EQ(Entry(1).deviceDesc, "Vardex QN633");
  Lines expected{kOpenRule};
  const Lines open = OpenLines(1, b, "SN633B", "Vardex QN633");
  expected.insert(expected.end(), open.begin(), open.end());
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : SN410A", " Vardex QN633 : SN633B"}));
  EXPECT_EQ(Form->FindArrivalIndex("SN633B"), 1);
}

TEST_F(InstrumentsTest, ArrivalOfAnUnknownSerialNumberFillsTheEntryAfterTheListed) {
  Plug(TSimFamily::QN410, "SN410A");
  Plug(TSimFamily::QN633, "SN633B");
  Plug(TSimFamily::QN420, "SN420C");
  UsbTest();
  Form->statMemo.Clear();
  Bench->ClearCalls();

  Arrival("NOSUCH");
  EXPECT_EQ(Log(), (Lines{"Error => serialNumberUSB = in use,NOSUCH", kOpenRule,
                          "Open USB Device, index:3, Handle = 0", "serialNumberUSB = in use",
                          "Open USB Device deviceDesc in use", "ReadByte:  0"}));
  EXPECT_FALSE(Entry(3).deviceOpened);
  EXPECT_EQ(Entry(3).USBHandle, 0u);
  EXPECT_EQ(Entry(3).serialNumberUSB, "in use");
  EXPECT_EQ(Entry(3).deviceDesc, "in use");
  EXPECT_EQ(ListLines().back(), " in use : in use");
  EXPECT_EQ(ListLines().size(), 4u);
  // The search, the serial number, the description and the open's two queries.
  EXPECT_EQ(Bench->CountCalls(K::ListDevices, 3), 5u);
  // The instruments already open stay as they were.
  EXPECT_TRUE(Entry(2).deviceOpened);
}

TEST_F(InstrumentsTest, ArrivalOfAnInstrumentStillOpenKeepsItsHandle) {
  Plug(TSimFamily::QN410, "SN410A");
  UsbTest();
  const uint32_t a = Entry(0).USBHandle;

  Arrival("SN410A");
  EXPECT_TRUE(Entry(0).deviceOpened);
  EXPECT_EQ(Entry(0).USBHandle, a);
  EXPECT_EQ(Entry(0).deviceIndex, 0);
  EXPECT_EQ(Bench->CountCalls(K::Open), 1u);
  EXPECT_EQ(Tail(Log(), 4), OpenLines(0, a, "SN410A", "Vardex QN410"));
  EXPECT_EQ(ListLines().size(), 2u);
}

TEST_F(InstrumentsTest, ArrivalBeyondTheTableOpensNothing) {
  for (int i = 0; i < 16; ++i) {
    Plug(TSimFamily::QN420, Format("SN%02d", i));
  }
  UsbTest();
  Plug(TSimFamily::QN633, "SN16");
  const TUSB_Devices before = Form->USB_Devices;
  const Lines listBefore = ListLines();

  struct Case {
    const char* serial;
  };
  for (const Case& c : {Case{"SN16"}, Case{"NOSUCH"}}) {
    SCOPED_TRACE(c.serial);
    Form->statMemo.Clear();
    Bench->ClearCalls();
    Arrival(c.serial);
    EXPECT_EQ(
        Log(),
        (Lines{Format("# USB Device %s, index:16 not opened, the table holds 16", c.serial)}));
    EXPECT_EQ(Bench->CountCalls(K::Open), 0u);
    EXPECT_EQ(Form->USB_Devices, before);
    EXPECT_EQ(ListLines(), listBefore);
  }
  // Nothing recorded it, so its removal is ignored.
  Form->statMemo.Clear();
  Removal("SN16");
  EXPECT_TRUE(Log().empty());
}

// ---- Removal ----

TEST_F(InstrumentsTest, RemovalClosesTheInstrumentFoundBySerialNumber) {
  Plug(TSimFamily::QN410, "SN410A");
  Plug(TSimFamily::QN420, "SN420B");
  Plug(TSimFamily::QN633, "SN633C");
  UsbTest();
  const uint32_t c = Entry(2).USBHandle;
  ASSERT_TRUE(Bench->Unplug("SN633C"));
  Form->statMemo.Clear();
  Bench->ClearCalls();

  Removal("SN633C");
  EXPECT_EQ(Log(), (Lines{kCloseRule, Format("Close USB Device, index:2, Handle = %x", c),
                          "SerialNumberUSB = SN633C", "Close USB Device deviceDesc Vardex QN633"}));
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : SN410A", " Vardex QN420 : SN420B"}));
  EXPECT_FALSE(Entry(2).deviceOpened);
  // Texts and handle stay.
  EXPECT_EQ(Entry(2).USBHandle, c);
  EXPECT_EQ(Entry(2).serialNumberUSB, "SN633C");
  EXPECT_EQ(Families().QN633, false);
  const std::vector<sim::TSimCall> calls = Bench->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Kind, K::Close);
  EXPECT_EQ(calls[0].Handle, c);
  EXPECT_EQ(calls[0].Status, usb::FT_OK);
  EXPECT_EQ(Bench->HandleInfo(c), std::nullopt);
  EXPECT_TRUE(Entry(0).deviceOpened);
  EXPECT_TRUE(Entry(1).deviceOpened);

  // The wrapper still knows the serial number: a repeated notification
  // repeats the lines and the close, and deletes no other line.
  Form->statMemo.Clear();
  Removal("SN633C");
  EXPECT_EQ(Log().size(), 4u);
  EXPECT_EQ(ListLines().size(), 2u);
}

TEST_F(InstrumentsTest, RemovalOfAnUnknownSerialNumberChangesNothing) {
  Plug(TSimFamily::QN410, "SN410A");
  UsbTest();
  Form->statMemo.Clear();
  Bench->ClearCalls();
  const TUSB_Devices before = Form->USB_Devices;

  for (const char* serial : {"NOSUCH", "SN410", ""}) {
    SCOPED_TRACE(serial);
    Removal(serial);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(Form->USB_Devices, before);
    EXPECT_EQ(ListLines().size(), 1u);
    EXPECT_TRUE(Bench->Calls().empty());
  }
}

TEST_F(InstrumentsTest, RemovalDeletesTheLineOfItsOwnSerialNumber) {
  // "A1" is part of "A12", whose line comes first.
  ASSERT_TRUE(Bench->Plug({"A12", "Vardex QN410", TSimFamily::QN410}));
  ASSERT_TRUE(Bench->Plug({"A1", "Vardex QN420", TSimFamily::QN420}));
  UsbTest();
  ASSERT_TRUE(Bench->Unplug("A1"));

  Removal("A1");
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : A12"}));
  EXPECT_FALSE(Entry(1).deviceOpened);
  EXPECT_TRUE(Entry(0).deviceOpened);
}

// ---- Family pictures ----

TEST_F(InstrumentsTest, DescriptionsSelectFamilyPictures) {
  enum class Path { UsbTest, Arrival };
  struct Case {
    const char* name;
    const char* description;
    Path path;
    TFamilies on;
  };
  const Case kCases[] = {
      {"QN410 at USB Test", "Vardex QN410", Path::UsbTest, {true, false, false}},
      {"QN2208 at USB Test", "Vardex QN2208", Path::UsbTest, {true, false, false}},
      {"QN445 at USB Test", "Vardex QN445", Path::UsbTest, {false, false, false}},
      {"QN445 on arrival", "Vardex QN445", Path::Arrival, {true, false, false}},
      {"QN2208 on arrival", "Vardex QN2208", Path::Arrival, {true, false, false}},
      {"QN633 on arrival", "Vardex QN633", Path::Arrival, {false, true, false}},
      {"QN41 and QN42 at USB Test", "QN410/QN420 pair", Path::UsbTest, {true, false, true}},
      {"QN41 and QN42 on arrival", "QN410/QN420 pair", Path::Arrival, {true, false, true}},
      {"letter case counts", "vardex qn410", Path::Arrival, {false, false, false}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    ASSERT_TRUE(Bench->Plug({"SN1", c.description, TSimFamily::QN410}));
    AllFamiliesOff();
    if (c.path == Path::UsbTest) {
      UsbTest();
    } else {
      Arrival("SN1");
    }
    EXPECT_EQ(Families(), c.on);

    // Removal switches off what arrival would have switched on.
    ASSERT_TRUE(Bench->Unplug("SN1"));
    Removal("SN1");
    EXPECT_EQ(Families(), (TFamilies{false, false, false}));
  }
}

// ---- The road of a USB event ----

// Plugging an instrument in makes the device-change broadcast reach the
// window's notifier, whose arrival event takes the instrument into the table;
// pulling it out takes it out again.
TEST_F(InstrumentsTest, PlugAndUnplugOnTheBenchReachTheTableThroughTheNotifier) {
  sim::ConnectBenchToDeviceChange(*Bench);
  Plug(TSimFamily::QN410, "SN410A");
  ASSERT_TRUE(PumpUntil([&] { return Entry(0).deviceOpened; }));
  AllFamiliesOff();
  Form->statMemo.Clear();

  Plug(TSimFamily::QN445, "SN445B");
  ASSERT_TRUE(PumpUntil([&] { return Entry(1).deviceOpened; }));
  const uint32_t b = Bench->HandleOf("SN445B");
  ASSERT_NE(b, 0u);
  EXPECT_EQ(Entry(1).USBHandle, b);
  EXPECT_EQ(Entry(1).deviceIndex, 1);
  EXPECT_EQ(Log().front(), kOpenRule);
  EXPECT_EQ(Tail(Log(), 4), OpenLines(1, b, "SN445B", "Vardex QN445"));
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : SN410A", " Vardex QN445 : SN445B"}));
  EXPECT_EQ(Families(), (TFamilies{true, false, false}));

  ASSERT_TRUE(Bench->Unplug("SN445B"));
  ASSERT_TRUE(PumpUntil([&] { return !Entry(1).deviceOpened; }));
  EXPECT_EQ(ListLines(), (Lines{" Vardex QN410 : SN410A"}));
  EXPECT_EQ(Tail(Log(), 4),
            (Lines{kCloseRule, Format("Close USB Device, index:1, Handle = %x", b),
                   "SerialNumberUSB = SN445B", "Close USB Device deviceDesc Vardex QN445"}));
  EXPECT_EQ(Bench->HandleInfo(b), std::nullopt);
  EXPECT_EQ(Families(), (TFamilies{false, false, false}));
  Bench->SetOnDeviceChange(nullptr);
}

}  // namespace
}  // namespace core::testing
