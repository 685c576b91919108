#include "ui/qt/SimBenchWindow.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace ui {

namespace {

constexpr sim::TSimFamily kFamilies[] = {sim::TSimFamily::QN410, sim::TSimFamily::QN420,
                                         sim::TSimFamily::QN633, sim::TSimFamily::QN2208,
                                         sim::TSimFamily::QN445};

// The bench keeps 8-bit names, read as Latin-1.
QString FromLatin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TSimBenchWindow::TSimBenchWindow(sim::TSimBench& bench, QWidget* parent)
    : QWidget(parent, Qt::Window), FBench(bench) {
  setWindowTitle(QString::fromLatin1(kSimBenchTitle));

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Instruments on the bench:"), this));
  FList = new QListWidget(this);
  FList->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(FList);

  auto* plugRow = new QHBoxLayout();
  FFamily = new QComboBox(this);
  for (sim::TSimFamily family : kFamilies) {
    FFamily->addItem(QString::fromLatin1(sim::FamilyText(family)), static_cast<int>(family));
  }
  FSerial = new QLineEdit(this);
  FSerial->setPlaceholderText(QStringLiteral("Serial number"));
  // Serial numbers as the instruments carry them: letters, digits, '-' and
  // '_', at most 16 characters.
  FSerial->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[A-Za-z0-9_-]{0,16}")), FSerial));
  FPlug = new QPushButton(QStringLiteral("Plug"), this);
  plugRow->addWidget(FFamily);
  plugRow->addWidget(FSerial, 1);
  plugRow->addWidget(FPlug);
  layout->addLayout(plugRow);

  FUnplug = new QPushButton(QStringLiteral("Unplug"), this);
  layout->addWidget(FUnplug);
  FStatus = new QLabel(this);
  layout->addWidget(FStatus);

  QObject::connect(FPlug, &QPushButton::clicked, [this] { PlugChosen(); });
  QObject::connect(FSerial, &QLineEdit::returnPressed, [this] { PlugChosen(); });
  QObject::connect(FUnplug, &QPushButton::clicked, [this] { UnplugSelected(); });
  Refresh();
}

void TSimBenchWindow::Refresh() {
  const QString selected = FList->currentItem() != nullptr
                               ? FList->currentItem()->data(Qt::UserRole).toString()
                               : QString();
  FList->clear();
  for (const sim::TSimInstrument& instrument : FBench.Instruments()) {
    const QString serial = FromLatin1(instrument.Serial);
    auto* item =
        new QListWidgetItem(serial + QStringLiteral("  ") + FromLatin1(instrument.Description));
    item->setData(Qt::UserRole, serial);
    FList->addItem(item);
    if (serial == selected) {
      FList->setCurrentItem(item);
    }
  }
  FUnplug->setEnabled(FList->count() > 0);
}

void TSimBenchWindow::PlugChosen() {
  const QString serial = FSerial->text();
  if (serial.isEmpty()) {
    FStatus->setText(QStringLiteral("Enter a serial number to plug."));
    return;
  }
  const auto family = static_cast<sim::TSimFamily>(FFamily->currentData().toInt());
  if (!FBench.Plug(sim::MakeSimInstrument(family, serial.toLatin1().toStdString()))) {
    FStatus->setText(serial + QStringLiteral(" is already plugged."));
    return;
  }
  FStatus->setText(serial + QStringLiteral(" plugged."));
  FSerial->clear();
  Refresh();
}

void TSimBenchWindow::UnplugSelected() {
  QListWidgetItem* item = FList->currentItem();
  if (item == nullptr) {
    FStatus->setText(QStringLiteral("Select an instrument to unplug."));
    return;
  }
  const QString serial = item->data(Qt::UserRole).toString();
  if (!FBench.Unplug(serial.toLatin1().toStdString())) {
    FStatus->setText(serial + QStringLiteral(" is not plugged."));
  } else {
    FStatus->setText(serial + QStringLiteral(" unplugged."));
  }
  Refresh();
}

}  // namespace ui
