// The "Simulated bench" window: the bench's instruments, plug and unplug.

#include "ui/qt/SimBenchWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/QtTestEnvironment.h"

namespace ui {
namespace {

const auto* const kGui = ::testing::AddGlobalTestEnvironment(
    new testsupport::TQtEnvironment<QApplication>());

class SimBenchWindowTest : public ::testing::Test {
 protected:
  SimBenchWindowTest() {
    Bench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "QN41000A"));
    Bench.SetOnDeviceChange([this](sim::TSimBench&, sim::TSimChange change,
                                   const std::string& serial) {
      Changes.push_back((change == sim::TSimChange::Arrival ? "arrival " : "removal ") + serial);
    });
    Window = std::make_unique<TSimBenchWindow>(Bench);
    Window->show();
  }

  QStringList Items() const {
    QStringList items;
    for (int i = 0; i < Window->InstrumentList()->count(); ++i) {
      items << Window->InstrumentList()->item(i)->text();
    }
    return items;
  }

  sim::TSimBench Bench;
  std::vector<std::string> Changes;
  std::unique_ptr<TSimBenchWindow> Window;
};

TEST_F(SimBenchWindowTest, ShowsTheBench) {
  EXPECT_EQ(Window->windowTitle(), QStringLiteral("Simulated bench"));
  EXPECT_EQ(Items(), QStringList{QStringLiteral("QN41000A  Vardex QN410")});
  Bench.Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "QN63300B"));
  Window->Refresh();
  EXPECT_EQ(Items().size(), 2);
}

TEST_F(SimBenchWindowTest, PlugsTheChosenFamilyUnderTheSerialEntered) {
  Window->FamilyChoice()->setCurrentText(QStringLiteral("QN2208"));
  QTest::keyClicks(Window->SerialEntry(), QStringLiteral("QN22 08/X"));  // blank and '/' refused
  EXPECT_EQ(Window->SerialEntry()->text(), QStringLiteral("QN2208X"));
  QTest::mouseClick(Window->PlugButton(), Qt::LeftButton);

  EXPECT_EQ(Changes, std::vector<std::string>{"arrival QN2208X"});
  EXPECT_EQ(Items().back(), QStringLiteral("QN2208X  Vardex QN2208"));
  EXPECT_TRUE(Window->SerialEntry()->text().isEmpty());

  // The same serial number again is refused.
  QTest::keyClicks(Window->SerialEntry(), QStringLiteral("QN2208X"));
  QTest::mouseClick(Window->PlugButton(), Qt::LeftButton);
  EXPECT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Window->StatusLine()->text(), QStringLiteral("QN2208X is already plugged."));

  // Nothing entered: nothing plugged.
  Window->SerialEntry()->clear();
  QTest::mouseClick(Window->PlugButton(), Qt::LeftButton);
  EXPECT_EQ(Changes.size(), 1u);
}

TEST_F(SimBenchWindowTest, UnplugsTheSelectedInstrument) {
  QTest::mouseClick(Window->UnplugButton(), Qt::LeftButton);
  EXPECT_TRUE(Changes.empty());  // nothing selected

  Window->InstrumentList()->setCurrentRow(0);
  QTest::mouseClick(Window->UnplugButton(), Qt::LeftButton);
  EXPECT_EQ(Changes, std::vector<std::string>{"removal QN41000A"});
  EXPECT_TRUE(Items().isEmpty());
  EXPECT_FALSE(Window->UnplugButton()->isEnabled());
}

}  // namespace
}  // namespace ui
