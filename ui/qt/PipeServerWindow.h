#pragma once
// TPipeServerWindow: the server window on screen, a Qt view of the core's
// form (core::TfrmPipeServer).
//
// The view owns the form. It makes one widget per control of the form, at
// the control's position and size, with its text, fonts, colours, pictures
// and hints, and keeps each widget in step with its control through the
// control's change notifications. Clicks and double-clicks go back to the
// controls, which run the form's handlers. The form's Height is the window's
// outer height: the view shows kCompactHeight or kDebugHeight less
// kFrameHeight (title bar and borders) of the client area, at the designed
// width, and the window cannot be resized.
//
// The form's questions (Yes/No, warning style) and error texts are shown in
// modal message boxes parented to this window. Closing the window (close
// button, close()) asks the form's FormCloseQuery, which always agrees after
// releasing the clients and pausing; OnClosed then runs.
//
// Threads: GUI thread only, which must be the form's main thread. The queue of
// that thread is not served here: see WatchMessageQueue (DescriptorWatch.h).
// FormCreate is not run here either: the program runs it once the view exists,
// so that its questions and errors already have their boxes.

#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/frmPipeServer.h"

namespace ui {

// Title bar and borders of the designed window, part of its outer height.
inline constexpr int kFrameHeight = 30;
// Title of the Yes/No question boxes.
inline constexpr char kQuestionTitle[] = "Warning";

class TPipeServerWindow : public QWidget {
 public:
  explicit TPipeServerWindow(std::unique_ptr<core::TfrmPipeServer> form, QWidget* parent = nullptr);
  TPipeServerWindow(const TPipeServerWindow&) = delete;
  TPipeServerWindow& operator=(const TPipeServerWindow&) = delete;
  // Stops following the controls, then destroys the form (which stops the pipe
  // server and waits for its threads).
  ~TPipeServerWindow() override;

  core::TfrmPipeServer& Form() { return *FForm; }

  // The widget that shows a control (nullptr for none).
  QWidget* WidgetOf(const core::TControl& control) const;

  // Restores the window if it is minimised, then brings it to the front.
  void Activate();
  int ActivationCount() const { return FActivations; }

  // The error box: a modal message box with the text.
  void ShowErrorBox(const std::string& text);
  // The Yes/No question: true for Yes.
  bool AskYesNo(const std::string& text);

  // Runs once the window has agreed to close.
  std::function<void()> OnClosed;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateWidget(core::TControl& control);
  void Follow(core::TComponent& component, core::TChangeEvent handler);
  void ApplyFormSize();
  void Apply(core::TControl& control);
  void ApplyChange(core::TControl& control, core::TChangeKind kind, int32_t index);

  std::unique_ptr<core::TfrmPipeServer> FForm;
  std::unordered_map<const core::TControl*, QWidget*> FWidgets;
  std::vector<std::pair<core::TComponent*, int32_t>> FSubscriptions;
  int FActivations = 0;
  bool FClosed = false;
};

}  // namespace ui
