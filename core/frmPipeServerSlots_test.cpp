// Client slots and the bus lock, driven through a fake pipe server.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/frmPipeServerTesting.h"

namespace core::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr uint32_t kA = 1001;
constexpr uint32_t kB = 1002;
constexpr uint32_t kC = 1003;
constexpr uint32_t kD = 1004;
constexpr uint32_t kE = 1005;
// A handle beyond 16 bits: clients see its low half, 0x2345.
constexpr uint32_t kWide = 0x12345;

class SlotsTest : public TFormTest {
 protected:
  // Records every notification of every control but the log while it lives.
  struct TWindowWatch {
    explicit TWindowWatch(TfrmPipeServer& form) : Form(form) {
      for (TControl* control : form.Controls()) {
        Ids.push_back(control->Subscribe([this](TComponent& c, TChangeKind, int32_t) {
          if (c.Name() != "statMemo") {
            Changed.push_back(c.Name());
          }
        }));
      }
    }
    ~TWindowWatch() {
      for (size_t i = 0; i < Ids.size(); ++i) {
        Form.Controls()[i]->Unsubscribe(Ids[i]);
      }
    }
    TfrmPipeServer& Form;
    std::vector<int32_t> Ids;
    std::vector<std::string> Changed;
  };
};

TEST_F(SlotsTest, ClientsTakeTheLowestFreeSlot) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  EXPECT_EQ(Form->ClientMap, (std::array<int32_t, 4>{int32_t{kA}, int32_t{kB}, 0, 0}));
  EXPECT_EQ(Form->connectedCount, 2);
  EXPECT_FALSE(Form->imgClientSlot1.Visible());
  EXPECT_TRUE(Form->imgClient1Active.Visible());
  EXPECT_TRUE(Form->client1IDlbl.Visible());
  EXPECT_EQ(Form->client1IDlbl.Caption(), "ID: 1001");
  EXPECT_EQ(Form->client2IDlbl.Caption(), "ID: 1002");

  Pipes->Disconnected(kA);
  EXPECT_TRUE(Form->imgClientSlot1.Visible());
  EXPECT_FALSE(Form->imgClient1Active.Visible());
  EXPECT_FALSE(Form->client1IDlbl.Visible());
  EXPECT_EQ(Form->client1Border.BrushColor(), clMedGray);
  EXPECT_EQ(Form->client2Border.BrushColor(), clRed);  // the other slot keeps its colour

  Pipes->Connect(kC);
  EXPECT_EQ(Form->ClientMap, (std::array<int32_t, 4>{int32_t{kC}, int32_t{kB}, 0, 0}));
  EXPECT_EQ(Form->client1IDlbl.Caption(), "ID: 1003");
  EXPECT_EQ(Log(), (Lines{
                       "Client 1001 connected [0]",
                       "Client [1001] not locked - release!",
                       "Send to Client 1001 [0, 0] = 1",
                       "Client 1002 connected [1]",
                       "Client [1002] not locked - release!",
                       "Send to Client 1002 [1, 1] = 1",
                       "Client 1001 disconnected [0, 1]",
                       "Client 1003 connected [0]",
                       "Client [1003] not locked - release!",
                       "Send to Client 1003 [0, 1] = 1",
                   }));
}

TEST_F(SlotsTest, WelcomeTellsTheIdAndWhetherTheLockIsHeld) {
  Pipes->Connect(kWide);
  EXPECT_EQ(NoticesTo(kWide), (std::vector<TNotice>{{kWrite, 0, 0x2345, 200}}));
  EXPECT_EQ(Form->client1Border.BrushColor(), clRed);
  EXPECT_EQ(Form->client1IDlbl.Caption(), "ID: 74565");

  Pipes->SendWords(kWide, {kOpLock});
  Pipes->Connect(kB);
  EXPECT_EQ(NoticesTo(kB), (std::vector<TNotice>{{kWrite, 0, 1002, 100}}));
  EXPECT_EQ(Form->client2Border.BrushColor(), clRed);
  EXPECT_EQ(Form->client1Border.BrushColor(), clGreen);
  EXPECT_EQ(Log().back(), "Send to Client 1002 [1, 1] = 1");
  EXPECT_EQ(Log()[Log().size() - 2], "Client [1002] locked by [74565] - lock!");

  // Every other word of a welcome is zero.
  const auto writes = Pipes->WritesTo(kB);
  ASSERT_EQ(writes.size(), 1u);
  ASSERT_EQ(writes[0].Block.size(), 32768u);
  for (int32_t i = 3; i < kMessageWords; ++i) {
    ASSERT_EQ(writes[0].Word(i), 0) << i;
  }
}

TEST_F(SlotsTest, AWelcomeThatCannotBeWrittenStillOccupiesTheSlot) {
  Pipes->SetWriteFails(kA, true);
  Pipes->Connect(kA);
  EXPECT_EQ(Log().back(), "Send to Client 1001 [0, 0] = 0");
  EXPECT_EQ(Form->ClientMap[0], int32_t{kA});
  EXPECT_EQ(Form->connectedCount, 1);
}

TEST_F(SlotsTest, FifthClientGetsNoSlotAndTheFourthChangesNoControl) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  {
    TWindowWatch watch(*Form);
    Pipes->Connect(kC);
    Pipes->Connect(kD);
    EXPECT_TRUE(watch.Changed.empty()) << watch.Changed.front();
  }
  EXPECT_EQ(Form->connectedCount, 4);
  Form->statMemo.Clear();

  Pipes->Connect(kE);
  EXPECT_EQ(Log(), (Lines{"No more connections available"}));
  EXPECT_TRUE(Pipes->WritesTo(kE).empty());
  EXPECT_TRUE(Pipes->DisconnectRequests().empty());  // it stays connected
  EXPECT_EQ(Form->connectedCount, 4);
  EXPECT_EQ(Form->FindClientSlot(kE), kNoSlot);

  // Its departure leaves the slot table as it is.
  Pipes->Disconnected(kE);
  EXPECT_EQ(Form->connectedCount, 4);
  EXPECT_EQ(Form->ClientMap,
            (std::array<int32_t, 4>{int32_t{kA}, int32_t{kB}, int32_t{kC}, int32_t{kD}}));
  EXPECT_EQ(Log().back(), "Client 1005 disconnected [4, 4]");
}

TEST_F(SlotsTest, AClientWithoutASlotIsDisconnectedWhenItSendsARequest) {
  for (uint32_t pipe : {kA, kB, kC, kD, kE}) {
    Pipes->Connect(pipe);
  }
  Pipes->ClearWrites();
  const std::array<int32_t, 4> slotsBefore = Form->ClientMap;
  Pipes->SendWords(kE, {kOpEcho, 0, 0, 7, 9});
  EXPECT_TRUE(Pipes->Writes().empty());
  EXPECT_EQ(Pipes->DisconnectRequests(), (std::vector<uint32_t>{kE}));
  EXPECT_EQ(Log().back(), "# No slot for Client 1005, opcode:48 - disconnected");
  EXPECT_EQ(Form->ClientMap, slotsBefore);
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    EXPECT_EQ(GetWord(Form->SERVERIN_Buffer[slot], 0), 0) << slot;
  }
  Pipes->FinishDisconnects();
  EXPECT_EQ(Form->connectedCount, 4);
}

TEST_F(SlotsTest, ClientsKeptOverAnEmptiedSlotTableAreDisconnectedOnTheirNextRequest) {
  Pipes->Connect(kA);
  Pipes->SendWords(kA, {kOpLock});
  // What Start Server does to the slot table while clients stay connected.
  Form->connectedCount = 0;
  Form->ClientMap.fill(0);
  Form->statMemo.Clear();
  Pipes->ClearWrites();

  Pipes->SendWords(kA, {kOpRelease});
  EXPECT_TRUE(Pipes->Writes().empty());
  EXPECT_EQ(Form->lockID, int32_t{kA});
  Pipes->FinishDisconnects();
  // The owner left: the lock is released with a notice, as for any owner.
  EXPECT_EQ(Form->lockID, 0);
  EXPECT_EQ(Form->lastLockID, int32_t{kA});
  EXPECT_EQ(Form->connectedCount, 0);
  EXPECT_EQ(Log(), (Lines{"# No slot for Client 1001, opcode:200 - disconnected",
                          "Client 1001 disconnected [4, 0]", "No more clients connected, ..."}));
}

TEST_F(SlotsTest, LockAndReleaseNotices) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->ClearWrites();
  Form->statMemo.Clear();

  Pipes->SendWords(kA, {kOpLock});
  EXPECT_EQ(Form->lockID, int32_t{kA});
  EXPECT_EQ(Form->client1Border.BrushColor(), clGreen);
  // From the last registered client to the first; the sender gets nothing else.
  ASSERT_EQ(Pipes->Writes().size(), 2u);
  EXPECT_EQ(Pipes->Writes()[0].Pipe, kB);
  EXPECT_EQ(Pipes->Writes()[1].Pipe, kA);
  for (uint32_t pipe : {kA, kB}) {
    EXPECT_EQ(NoticesTo(pipe), (std::vector<TNotice>{{kBroadcast, 100, 1001, 0}}));
  }

  // B asks while A holds it: dropped, B's border red, no notice.
  Form->client2Border.SetBrushColor(clMedGray);
  Pipes->SendWords(kB, {kOpLock});
  EXPECT_EQ(Pipes->Writes().size(), 2u);
  EXPECT_EQ(Form->client2Border.BrushColor(), clRed);
  EXPECT_EQ(Form->client1Border.BrushColor(), clGreen);

  Pipes->ClearWrites();
  Pipes->SendWords(kA, {kOpRelease});
  EXPECT_EQ(Form->lockID, 0);
  EXPECT_EQ(Form->lastLockID, int32_t{kA});
  EXPECT_EQ(Form->client1Border.BrushColor(), clMedGray);
  EXPECT_EQ(Form->client2Border.BrushColor(), clRed);
  for (uint32_t pipe : {kA, kB}) {
    EXPECT_EQ(NoticesTo(pipe), (std::vector<TNotice>{{kBroadcast, 200, 1001, 0}}));
  }
  EXPECT_TRUE(Form->releaseTimeout.Enabled());
  EXPECT_TRUE(Log().empty());  // the lock logs nothing

  // Only words 0 and 1 of a notice are ever set.
  for (const auto& write : Pipes->Writes()) {
    for (int32_t i = 2; i < kMessageWords; ++i) {
      ASSERT_EQ(write.Word(i), 0) << i;
    }
  }
}

TEST_F(SlotsTest, AReleaseIsAnnouncedAgainAboutATenthOfASecondLater) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->SendWords(kA, {kOpLock});
  Pipes->ClearWrites();

  const uint64_t start = platform::MonotonicMs();
  Pipes->SendWords(kA, {kOpRelease});
  ASSERT_TRUE(PumpUntil([&] { return NoticesTo(kB).size() >= 2; }));
  const uint64_t elapsed = platform::MonotonicMs() - start;
  EXPECT_GE(elapsed, 90u);
  EXPECT_FALSE(Form->releaseTimeout.Enabled());
  for (uint32_t pipe : {kA, kB}) {
    EXPECT_EQ(NoticesTo(pipe),
              (std::vector<TNotice>{{kBroadcast, 200, 1001, 0}, {kBroadcast, 200, 1001, 0}}));
  }
}

TEST_F(SlotsTest, ALockRequestBeforeTheRepeatCancelsIt) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->SendWords(kA, {kOpLock});
  Pipes->ClearWrites();

  // No messages are served between the two requests, so the timer cannot
  // have fired in between, however busy the machine is.
  Pipes->SendWords(kA, {kOpRelease});
  Pipes->SendWords(kB, {kOpLock});
  EXPECT_FALSE(Form->releaseTimeout.Enabled());
  EXPECT_EQ(Form->lockID, int32_t{kB});
  EXPECT_EQ(Form->client2Border.BrushColor(), clGreen);

  // A witness timer well beyond the repeat's time: once it has fired, a
  // repeat that was still armed would have been served as well.
  ASSERT_TRUE(PumpPastWitnessTimer(400));

  for (uint32_t pipe : {kA, kB}) {
    EXPECT_EQ(NoticesTo(pipe),
              (std::vector<TNotice>{{kBroadcast, 200, 1001, 0}, {kBroadcast, 100, 1002, 0}}));
  }
  EXPECT_EQ(Form->lockID, int32_t{kB});
}

TEST_F(SlotsTest, ALockRequestFromTheOwnerRepeatsTheLockNotice) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->ClearWrites();
  Pipes->SendWords(kA, {kOpLock});
  Pipes->SendWords(kA, {kOpLock});
  for (uint32_t pipe : {kA, kB}) {
    EXPECT_EQ(NoticesTo(pipe),
              (std::vector<TNotice>{{kBroadcast, 100, 1001, 0}, {kBroadcast, 100, 1001, 0}}));
  }
  EXPECT_EQ(Form->lockID, int32_t{kA});
}

TEST_F(SlotsTest, AReleaseWhileTheLockIsFreeAnnouncesTheSender) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->ClearWrites();
  Pipes->SendWords(kB, {kOpRelease});
  EXPECT_EQ(NoticesTo(kA), (std::vector<TNotice>{{kBroadcast, 200, 1002, 0}}));
  EXPECT_EQ(Form->lastLockID, int32_t{kB});
  EXPECT_EQ(Form->client2Border.BrushColor(), clMedGray);
  EXPECT_EQ(Form->client1Border.BrushColor(), clRed);
  EXPECT_TRUE(Form->releaseTimeout.Enabled());

  // The repeat, fired by hand.
  Form->releaseTimeout.Fire();
  EXPECT_EQ(NoticesTo(kA),
            (std::vector<TNotice>{{kBroadcast, 200, 1002, 0}, {kBroadcast, 200, 1002, 0}}));
  EXPECT_FALSE(Form->releaseTimeout.Enabled());
  Form->releaseTimeout.Fire();  // disabled: once only
  EXPECT_EQ(NoticesTo(kA).size(), 2u);
}

TEST_F(SlotsTest, WhileLockedOtherClientsAreNotServedAtAll) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->SendWords(kA, {kOpLock});
  Pipes->ClearWrites();
  Form->statMemo.Clear();

  for (uint16_t opcode : {kOpEcho, kOpMessageCount, kOpRelease, kOpLock, uint16_t{13}}) {
    SCOPED_TRACE(opcode);
    Form->client2Border.SetBrushColor(clMedGray);
    Pipes->SendWords(kB, {opcode, 0, 0, 7, 9});
    EXPECT_TRUE(Pipes->Writes().empty());
    EXPECT_EQ(Form->client2Border.BrushColor(), clRed);
  }
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(Form->lockID, int32_t{kA});
  EXPECT_EQ(Form->msgCount, 0);

  Pipes->SendWords(kA, {kOpEcho, 0, 0, 7, 9});
  EXPECT_EQ(NoticesTo(kA), (std::vector<TNotice>{{kWrite, kOpEcho, 7, 0}}));
}

TEST_F(SlotsTest, TheLockOwnerLeavingReleasesTheLockOnce) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->Connect(kC);
  Pipes->SendWords(kB, {kOpLock});
  Pipes->ClearWrites();

  Pipes->Disconnected(kB);
  EXPECT_EQ(Form->lockID, 0);
  EXPECT_EQ(Form->lastLockID, int32_t{kB});
  EXPECT_FALSE(Form->releaseTimeout.Enabled());
  EXPECT_EQ(Form->client2Border.BrushColor(), clMedGray);
  for (uint32_t pipe : {kA, kC}) {
    EXPECT_EQ(NoticesTo(pipe), (std::vector<TNotice>{{kBroadcast, 200, 1002, 0}}));
  }
  EXPECT_EQ(Log().back(), "Client 1002 disconnected [1, 2]");
}

TEST_F(SlotsTest, TheLastClientLeavingClearsALockStillRecorded) {
  Pipes->Connect(kA);
  Pipes->SendWords(kA, {kOpLock});
  // Start Server empties the slot table; A stays connected and holds the lock.
  Form->connectedCount = 0;
  Form->ClientMap.fill(0);
  Pipes->Connect(kB);
  EXPECT_EQ(NoticesTo(kB).front(), (TNotice{kWrite, 0, 1002, 100}));
  Form->statMemo.Clear();
  Pipes->ClearWrites();

  Pipes->Disconnected(kB);
  EXPECT_EQ(Log(), (Lines{"Client 1002 disconnected [0, 0]", "No more clients connected, ...",
                          "LockID: 1001, Last LockID: 0 "}));
  EXPECT_EQ(Form->lockID, 0);
  EXPECT_EQ(Form->lastLockID, 0);
  EXPECT_TRUE(Pipes->Writes().empty());  // no notice
}

TEST_F(SlotsTest, ReleaseById) {
  struct Case {
    const char* name;
    std::vector<uint32_t> clients;
    std::string field;
    std::vector<uint32_t> disconnected;
    Lines log;
  };
  const Case kCases[] = {
      {"no clients", {}, "1001", {}, {"no clients"}},
      {"no match", {kA, kB}, "1003", {}, {}},
      {"empty field", {kA, kB}, "", {}, {}},
      {"second client", {kA, kB}, "1002", {kB}, {"Client 1: ID: 1002 - disconnected"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (uint32_t pipe : c.clients) {
      Pipes->Connect(pipe);
    }
    Form->statMemo.Clear();
    Form->clientNumFld.SetText(c.field);
    Form->releaseClientBtn.Click();
    EXPECT_EQ(Log(), c.log);
    std::vector<uint32_t> asked = Pipes->DisconnectRequests();
    EXPECT_EQ(asked, c.disconnected);
    // The departure comes later, as its own event.
    EXPECT_EQ(Form->connectedCount, static_cast<int32_t>(c.clients.size()));
    Pipes->FinishDisconnects();
    EXPECT_EQ(Form->connectedCount, static_cast<int32_t>(c.clients.size() - c.disconnected.size()));
    TearDown();
  }
}

TEST_F(SlotsTest, ReleaseAllClients) {
  Form->Button3.Click();
  EXPECT_EQ(Log(), (Lines{"no clients"}));

  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->Connect(kC);
  Form->statMemo.Clear();
  Form->Button3.Click();
  EXPECT_EQ(Pipes->DisconnectRequests(), (std::vector<uint32_t>{kA, kB, kC}));
  EXPECT_EQ(Log(), (Lines{"Client 0: ID: 1001 - disconnected", "Client 1: ID: 1002 - disconnected",
                          "Client 2: ID: 1003 - disconnected"}));
  Pipes->FinishDisconnects();
  EXPECT_EQ(Form->connectedCount, 0);
  EXPECT_EQ(Form->ClientMap, (std::array<int32_t, 4>{}));
}

TEST_F(SlotsTest, DoubleClickOnAnOccupiedSlotAsksFirst) {
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  std::vector<std::string> questions;
  bool answer = false;
  Form->AskYesNo = [&](const std::string& text) {
    questions.push_back(text);
    return answer;
  };
  Form->statMemo.Clear();

  Form->imgClient1Active.DblClick();
  EXPECT_EQ(questions, (Lines{"Release this client (ID: 1001)"}));
  EXPECT_TRUE(Pipes->DisconnectRequests().empty());
  EXPECT_EQ(Form->client1Border.BrushColor(), clRed);
  EXPECT_EQ(Form->clientNumFld.Text(), "");
  EXPECT_TRUE(Log().empty());

  answer = true;
  Form->imgClient2Active.DblClick();
  EXPECT_EQ(questions.back(), "Release this client (ID: 1002)");
  EXPECT_EQ(Pipes->DisconnectRequests(), (std::vector<uint32_t>{kB}));
  EXPECT_EQ(Form->clientNumFld.Text(), "1002");
  // Grey at once, before the departure arrives.
  EXPECT_EQ(Form->client2Border.BrushColor(), clMedGray);
  EXPECT_EQ(Form->client1Border.BrushColor(), clRed);
  EXPECT_EQ(Form->ClientMap[1], int32_t{kB});
  EXPECT_EQ(Log(), (Lines{"Client 1: ID: 1002 - disconnected"}));
}

TEST_F(SlotsTest, TheReleasedClientIsTheOneTheQuestionNamed) {
  Pipes->Connect(kA);
  // While the question is open the client leaves and another takes its slot.
  Form->AskYesNo = [&](const std::string&) {
    Pipes->Disconnected(kA);
    Pipes->Connect(kB);
    return true;
  };
  Form->imgClient1Active.DblClick();
  EXPECT_EQ(Form->clientNumFld.Text(), "1001");
  EXPECT_TRUE(Pipes->DisconnectRequests().empty());  // 1001 is gone; 1002 stays
  EXPECT_EQ(Form->ClientMap[0], int32_t{kB});
}

TEST_F(SlotsTest, WithoutAQuestionTheAnswerIsNo) {
  Pipes->Connect(kA);
  Form->imgClient1Active.DblClick();
  EXPECT_TRUE(Pipes->DisconnectRequests().empty());
}

TEST_F(SlotsTest, AnExceptionInAHandlerGoesToTheErrorBox) {
  std::vector<std::string> errors;
  Form->ShowError = [&](const std::string& text) { errors.push_back(text); };
  Form->AskYesNo = [](const std::string&) -> bool { throw std::runtime_error("dialog failed"); };
  Pipes->Connect(kA);
  Form->imgClient1Active.DblClick();
  EXPECT_EQ(errors, (Lines{"dialog failed"}));
}

class FlushTest : public TBenchFormTest {
 protected:
  static std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
  }
};

TEST_F(FlushTest, TheLastClientLeavingFlushesEveryOpenInstrument) {
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "SN410"));
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "SN633"));
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "SN420"));
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->SendWords(kA, {kOpOpen, 0});
  Pipes->SendWords(kB, {kOpOpen, 2});  // entry 1 stays closed
  const uint32_t first = Form->USB_Devices[0].USBHandle;
  const uint32_t third = Form->USB_Devices[2].USBHandle;
  ASSERT_NE(first, 0u);
  ASSERT_NE(third, 0u);
  const uint8_t pending[] = {1, 2, 3};
  ASSERT_EQ(Bench->InjectReceived("SN410", pending), 3u);

  Pipes->Disconnected(kA);
  EXPECT_EQ(Log().back(), "Client 1001 disconnected [0, 1]");  // one left: no flush
  Bench->ClearCalls();
  Form->statMemo.Clear();
  Pipes->Disconnected(kB);

  EXPECT_EQ(Log(), (Lines{"Client 1002 disconnected [1, 0]", "No more clients connected, ...",
                          "Flushing :0 [" + Hex(first) + "], SN410, Vardex QN410",
                          "Flushing :2 [" + Hex(third) + "], SN420, Vardex QN420"}));
  struct TCall {
    sim::TSimCallKind Kind;
    uint32_t Handle;
    uint32_t Arg1;
    bool operator==(const TCall&) const = default;
  };
  std::vector<TCall> calls;
  for (const sim::TSimCall& call : Bench->Calls()) {
    calls.push_back({call.Kind, call.Handle, call.Arg1});
  }
  using K = sim::TSimCallKind;
  // Transmit purge, then the receive side drained and purged; nothing closed.
  EXPECT_EQ(calls, (std::vector<TCall>{{K::Purge, first, usb::FT_PURGE_TX},
                                       {K::GetQueueStatus, first, 0},
                                       {K::Read, first, 3},
                                       {K::Purge, first, usb::FT_PURGE_RX},
                                       {K::Purge, third, usb::FT_PURGE_TX},
                                       {K::GetQueueStatus, third, 0},
                                       {K::Purge, third, usb::FT_PURGE_RX}}));
  EXPECT_TRUE(Form->USB_Devices[0].deviceOpened);
  EXPECT_TRUE(Form->USB_Devices[2].deviceOpened);
}

TEST_F(FlushTest, FailingPurgesAreIgnored) {
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "SN410"));
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "SN633"));
  Pipes->Connect(kA);
  Pipes->SendWords(kA, {kOpOpen, 0});
  Pipes->SendWords(kA, {kOpOpen, 1});
  Bench->FailEvery(sim::TSimCallKind::Purge, usb::FT_IO_ERROR);
  Bench->ClearCalls();
  Pipes->Disconnected(kA);
  EXPECT_EQ(Bench->CountCalls(sim::TSimCallKind::Purge), 4u);
  EXPECT_EQ(Log().back().rfind("Flushing :1 [", 0), 0u);
}

}  // namespace
}  // namespace core::testing
