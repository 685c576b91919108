#pragma once
// TSimBenchWindow: the "Simulated bench" window of the demonstration program.
//
// It lists the instruments plugged into a simulated bench and lets the
// operator plug a new one (family and serial number) or unplug the selected
// one while the server runs. What a plug or unplug sets off (the device-change
// broadcast that the server window hears) is the bench's own business
// (TSimBench::SetOnDeviceChange); the window only asks the bench and shows
// its state.
//
// Threads: GUI thread only. The bench must outlive the window.

#include <QWidget>

#include "sim/SimBench.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace ui {

inline constexpr char kSimBenchTitle[] = "Simulated bench";

class TSimBenchWindow : public QWidget {
 public:
  explicit TSimBenchWindow(sim::TSimBench& bench, QWidget* parent = nullptr);

  // Shows the bench's instruments as they are now: "<serial>  <description>".
  void Refresh();

  // Plugs an instrument of the chosen family under the serial number entered;
  // unplugs the selected instrument. A refusal is shown in the status line.
  void PlugChosen();
  void UnplugSelected();

  QListWidget* InstrumentList() const { return FList; }
  QComboBox* FamilyChoice() const { return FFamily; }
  QLineEdit* SerialEntry() const { return FSerial; }
  QPushButton* PlugButton() const { return FPlug; }
  QPushButton* UnplugButton() const { return FUnplug; }
  QLabel* StatusLine() const { return FStatus; }

 private:
  sim::TSimBench& FBench;
  QListWidget* FList = nullptr;
  QComboBox* FFamily = nullptr;
  QLineEdit* FSerial = nullptr;
  QPushButton* FPlug = nullptr;
  QPushButton* FUnplug = nullptr;
  QLabel* FStatus = nullptr;
};

}  // namespace ui
