// The server window on screen (offscreen platform): views, questions and
// boxes answered as an operator would, and the main thread's queue served
// from Qt's loop.

#include "ui/qt/PipeServerWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/frmPipeServer.h"
#include "sim/SimBench.h"
#include "tests/support/FakePipeServer.h"
#include "tests/support/QtTestEnvironment.h"
#include "ui/qt/DescriptorWatch.h"
#include "ui/qt/Fonts.h"
#include "usb/FtdiWrapper.h"

namespace ui {
namespace {

using Lines = std::vector<std::string>;
constexpr int kDeadlineMs = 60000;
constexpr uint32_t kA = 3001;
constexpr uint32_t kB = 3002;

const auto* const kGui = ::testing::AddGlobalTestEnvironment(
    new testsupport::TQtEnvironment<QApplication>([] {
      QApplication::setApplicationName(QStringLiteral("InstrumentServer"));
      LoadApplicationFonts();
    }));

// Answers the modal boxes that open while it lives, as the operator would:
// the next answer for each box, or OK. A box still open after a few seconds
// is a mistake: it is rejected so that the test fails instead of hanging.
class TBoxAnswerer {
 public:
  struct TSeen {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon;
  };

  explicit TBoxAnswerer(std::vector<QMessageBox::StandardButton> answers = {})
      : FAnswers(std::move(answers)) {
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    FTimer.start(10);
  }

  std::vector<TSeen> Seen;
  int GaveUp = 0;

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      FOpenFor = 0;
      return;
    }
    if (FOpenFor == 0) {
      FOpenFor = 1;
      Seen.push_back({box->windowTitle(), box->text(), box->icon()});
      QMessageBox::StandardButton answer = QMessageBox::Ok;
      if (FNext < FAnswers.size()) {
        answer = FAnswers[FNext++];
      }
      if (QAbstractButton* button = box->button(answer)) {
        button->click();
        return;
      }
    }
    if (++FOpenFor > 500) {  // about five seconds
      ++GaveUp;
      box->reject();
    }
  }

  std::vector<QMessageBox::StandardButton> FAnswers;
  size_t FNext = 0;
  int FOpenFor = 0;
  QTimer FTimer;
};

// A pipe server whose client list can fail while it is read.
class TPipeServer : public testsupport::TFakePipeServer {
 public:
  uint32_t Clients(int32_t index) const override {
    if (ListFails) {
      throw std::out_of_range("The client list changed");
    }
    return TFakePipeServer::Clients(index);
  }
  bool ListFails = false;
};

class PipeServerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ftdi::ResetWrapperState();
    Bench = sim::MakeDefaultSimBench();
    ftdi::SetD2xxBackend(Bench.get());
    core::TfrmPipeServer::DebugMode = false;
    auto pipes = std::make_unique<TPipeServer>();
    Pipes = pipes.get();
    auto form = std::make_unique<core::TfrmPipeServer>(std::move(pipes));
    form->ExeName = "/opt/vardex/instrument-server";
    Window = std::make_unique<TPipeServerWindow>(std::move(form));
    Pump = WatchMessageQueue([this](const std::string& text) { Window->ShowErrorBox(text); });
  }

  void TearDown() override {
    Pump.reset();
    Window.reset();
    ftdi::SetD2xxBackend(nullptr);
    ftdi::ResetWrapperState();
    Bench.reset();
    core::TfrmPipeServer::DebugMode = false;
  }

  // Creation as the program does it, then the window is shown.
  void Open() {
    Form().FormCreate(Form());
    Window->show();
  }

  core::TfrmPipeServer& Form() { return Window->Form(); }
  template <class W>
  W* View(const core::TControl& control) {
    auto* widget = qobject_cast<W*>(Window->WidgetOf(control));
    EXPECT_NE(widget, nullptr) << control.Name();
    return widget;
  }
  Lines MemoLines() {
    const QString text = View<QPlainTextEdit>(Form().statMemo)->toPlainText();
    Lines lines;
    if (!text.isEmpty()) {
      for (const QString& line : text.split(QLatin1Char('\n'))) {
        lines.push_back(line.toStdString());
      }
    }
    return lines;
  }
  void DoubleClick(const core::TControl& control) {
    QTest::mouseDClick(Window->WidgetOf(control), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
  }
  void Click(const core::TControl& control) {
    QTest::mouseClick(Window->WidgetOf(control), Qt::LeftButton);
  }

  std::unique_ptr<sim::TSimBench> Bench;
  TPipeServer* Pipes = nullptr;
  std::unique_ptr<TPipeServerWindow> Window;
  std::unique_ptr<TDescriptorWatch> Pump;
};

TEST_F(PipeServerWindowTest, StartUpShowsTheCompactViewAndOnlyTheUsbTestLines) {
  Open();

  EXPECT_EQ(Window->windowTitle(), QStringLiteral("Vardex Instrument Server"));
  EXPECT_EQ(Window->size(), QSize(416, core::kCompactHeight - kFrameHeight));
  EXPECT_EQ(Window->minimumSize(), Window->maximumSize());
  // Everything from the log panel down lies below the compact client area.
  EXPECT_GE(Window->WidgetOf(Form().Panel1)->geometry().top(), Window->height());
  EXPECT_LE(Window->WidgetOf(Form().Label3)->geometry().bottom(), Window->height());

  const Lines lines = MemoLines();
  EXPECT_EQ(lines, Form().statMemo.Lines());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Device Count: 3");
  for (const char* gone : {"/opt/vardex/instrument-server", "Server started."}) {
    EXPECT_EQ(std::find(lines.begin(), lines.end(), gone), lines.end()) << gone;
  }
  auto* list = View<QListWidget>(Form().listboxInstruments);
  EXPECT_EQ(list->count(), 3);
  EXPECT_FALSE(list->isEnabled());
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST_F(PipeServerWindowTest, ControlsSitWhereTheyAreDesigned) {
  Open();
  for (core::TControl* control : Form().Controls()) {
    SCOPED_TRACE(control->Name());
    QWidget* widget = Window->WidgetOf(*control);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->pos(), QPoint(control->Left(), control->Top()));
    EXPECT_EQ(widget->isVisibleTo(Window.get()), control->Visible());
    if (control->Width() != 0 && control->Height() != 0) {
      EXPECT_EQ(widget->size(), QSize(control->Width(), control->Height()));
    }
  }
  EXPECT_EQ(View<QLabel>(Form().Label1)->parentWidget(), Window->WidgetOf(Form().Panel2));
  EXPECT_EQ(View<QLabel>(Form().Label1)->text(), QStringLiteral("Instrument Server"));
  EXPECT_EQ(View<QPushButton>(Form().Button3)->text(), QStringLiteral("Release All Clients"));
  EXPECT_EQ(Window->WidgetOf(Form().imgClientSlot1)->toolTip(),
            QStringLiteral("Double-click to launch Vardex client"));
  EXPECT_TRUE(Window->WidgetOf(Form().imgClientSlot2)->toolTip().isEmpty());
  auto* memo = View<QPlainTextEdit>(Form().statMemo);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  auto* entry = View<QLineEdit>(Form().clientNumFld);
  EXPECT_EQ(entry->maxLength(), 6);
  EXPECT_TRUE(entry->alignment() & Qt::AlignRight);
}

TEST_F(PipeServerWindowTest, TheEntryTakesAnIntegerOfAtMostSixCharacters) {
  Open();
  auto* entry = View<QLineEdit>(Form().clientNumFld);
  QTest::keyClicks(entry, QStringLiteral("12a-34567"));
  EXPECT_EQ(entry->text(), QStringLiteral("123456"));
  EXPECT_EQ(Form().clientNumFld.Value(), 123456);

  Form().clientNumFld.SetValue(-42);
  EXPECT_EQ(entry->text(), QStringLiteral("-42"));
  EXPECT_EQ(entry->cursorPosition(), 3);
}

TEST_F(PipeServerWindowTest, DebugModeOnYesUnchangedOnNo) {
  Open();
  const QSize compact(416, core::kCompactHeight - kFrameHeight);
  const QSize debug(416, core::kDebugHeight - kFrameHeight);
  {
    TBoxAnswerer answerer({QMessageBox::No});
    DoubleClick(Form().Label1);
    ASSERT_EQ(answerer.Seen.size(), 1u);
    EXPECT_EQ(answerer.Seen[0].Text, QStringLiteral("Enter Debug Mode?"));
    EXPECT_EQ(answerer.Seen[0].Title, QStringLiteral("Warning"));
    EXPECT_EQ(answerer.Seen[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(answerer.GaveUp, 0);
  }
  EXPECT_EQ(Window->size(), compact);
  EXPECT_FALSE(core::TfrmPipeServer::DebugMode);
  {
    TBoxAnswerer answerer({QMessageBox::Yes});
    DoubleClick(Form().Label1);
    ASSERT_EQ(answerer.Seen.size(), 1u);
    EXPECT_EQ(answerer.Seen[0].Text, QStringLiteral("Enter Debug Mode?"));
  }
  EXPECT_EQ(Window->size(), debug);
  EXPECT_TRUE(core::TfrmPipeServer::DebugMode);
  EXPECT_LE(Window->WidgetOf(Form().Button3)->geometry().bottom(), Window->height());
  {
    TBoxAnswerer answerer({QMessageBox::Yes});
    DoubleClick(Form().Label1);
    ASSERT_EQ(answerer.Seen.size(), 1u);
    EXPECT_EQ(answerer.Seen[0].Text, QStringLiteral("Exit Debug Mode?"));
  }
  EXPECT_EQ(Window->size(), compact);
}

TEST_F(PipeServerWindowTest, StatusWithNoneAndWithTwoClients) {
  Open();
  Click(Form().Button1);
  EXPECT_EQ(MemoLines().back(), "no clients");

  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Click(Form().Button1);
  const Lines lines = MemoLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"Client 0: ID: 3001", "Client 1: ID: 3002"}));
}

TEST_F(PipeServerWindowTest, DoubleClickOnAnOccupiedSlotAsksBeforeReleasing) {
  Open();
  Pipes->Connect(kA);
  ASSERT_TRUE(Window->WidgetOf(Form().imgClient1Active)->isVisible());
  EXPECT_EQ(View<QLabel>(Form().client1IDlbl)->text(), QStringLiteral("ID: 3001"));
  {
    TBoxAnswerer answerer({QMessageBox::No});
    DoubleClick(Form().imgClient1Active);
    ASSERT_EQ(answerer.Seen.size(), 1u);
    EXPECT_EQ(answerer.Seen[0].Text, QStringLiteral("Release this client (ID: 3001)"));
  }
  EXPECT_TRUE(Pipes->DisconnectRequests().empty());
  {
    TBoxAnswerer answerer({QMessageBox::Yes});
    DoubleClick(Form().imgClient1Active);
    ASSERT_EQ(answerer.Seen.size(), 1u);
  }
  EXPECT_EQ(Pipes->DisconnectRequests(), std::vector<uint32_t>{kA});
  EXPECT_EQ(MemoLines().back(), "Client 0: ID: 3001 - disconnected");
  Pipes->FinishDisconnects();
  EXPECT_TRUE(Window->WidgetOf(Form().imgClientSlot1)->isVisible());
  EXPECT_FALSE(Window->WidgetOf(Form().imgClient1Active)->isVisible());
}

TEST_F(PipeServerWindowTest, AHandlerExceptionIsShownAndTheProgramGoesOn) {
  Open();
  Pipes->Connect(kA);
  Pipes->ListFails = true;
  {
    TBoxAnswerer answerer;
    Click(Form().Button1);
    ASSERT_EQ(answerer.Seen.size(), 1u);
    EXPECT_EQ(answerer.Seen[0].Text, QStringLiteral("The client list changed"));
    EXPECT_EQ(answerer.Seen[0].Title, QStringLiteral("InstrumentServer"));
    EXPECT_EQ(answerer.Seen[0].Icon, QMessageBox::Critical);
  }
  Pipes->ListFails = false;
  Click(Form().Button1);
  EXPECT_EQ(MemoLines().back(), "Client 0: ID: 3001");
}

// The release is announced again 100 ms later by the form's timer, which
// ticks through the main thread's queue: served from Qt's loop, also while a
// modal box is open.
TEST_F(PipeServerWindowTest, TheReleaseTimerTicksFromQtsLoopAlsoUnderAModalBox) {
  Open();
  Pipes->Connect(kA);
  Pipes->SendWords(kA, {core::kOpLock});
  Pipes->ClearWrites();
  auto releases = [this] {
    int count = 0;
    for (const auto& write : Pipes->Writes()) {
      count += write.Word(0) == core::kOpRelease ? 1 : 0;
    }
    return count;
  };

  Pipes->SendWords(kA, {core::kOpRelease});
  ASSERT_EQ(releases(), 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return releases() == 2; }, kDeadlineMs));

  Pipes->SendWords(kA, {core::kOpLock});
  Pipes->SendWords(kA, {core::kOpRelease});
  ASSERT_EQ(releases(), 3);
  QMessageBox box(QMessageBox::Information, QStringLiteral("Box"), QStringLiteral("Open"),
                  QMessageBox::Ok, Window.get());
  bool repeatedUnderTheBox = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (box.isVisible() && releases() == 4) {
      repeatedUnderTheBox = true;
      box.accept();
    }
  });
  poll.start(5);
  QTimer::singleShot(kDeadlineMs, &box, &QMessageBox::reject);
  box.exec();
  EXPECT_TRUE(repeatedUnderTheBox);
}

TEST_F(PipeServerWindowTest, ActivationRestoresAMinimisedWindow) {
  Open();
  Window->showMinimized();
  ASSERT_TRUE(Window->isMinimized());
  Window->Activate();
  EXPECT_FALSE(Window->isMinimized());
  EXPECT_TRUE(Window->isVisible());
  EXPECT_EQ(Window->ActivationCount(), 1);
}

TEST_F(PipeServerWindowTest, ClosingAsksTheFormWhichReleasesEveryClient) {
  Open();
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  bool closed = false;
  Window->OnClosed = [&] { closed = true; };
  QElapsedTimer timer;
  timer.start();

  EXPECT_TRUE(Window->close());

  EXPECT_GE(timer.elapsed(), core::TfrmPipeServer::kClosePauseMs);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(Window->isVisible());
  EXPECT_EQ(Pipes->DisconnectRequests(), (std::vector<uint32_t>{kA, kB}));
}

// Pictures of both views for the documentation, written only when
// QN_SCREENSHOT_DIR names a directory.
TEST_F(PipeServerWindowTest, Screenshots) {
  const char* directory = std::getenv("QN_SCREENSHOT_DIR");
  if (directory == nullptr || *directory == '\0') {
    GTEST_SKIP() << "QN_SCREENSHOT_DIR is not set";
  }
  Open();
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Pipes->SendWords(kA, {core::kOpLock});
  const QDir dir(QString::fromLocal8Bit(directory));
  ASSERT_TRUE(QDir().mkpath(dir.path()));
  EXPECT_TRUE(Window->grab().save(dir.filePath(QStringLiteral("compact.png"))));

  Form().SetHeight(core::kDebugHeight);
  Click(Form().Button1);
  EXPECT_TRUE(Window->grab().save(dir.filePath(QStringLiteral("debug.png"))));
}

}  // namespace
}  // namespace ui
