#include "ui/qt/PipeServerWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollBar>

#include "ui/qt/Fonts.h"
#include "ui/qt/Pictures.h"

namespace ui {

namespace {

QString ToQString(const std::string& text) {
  return QString::fromStdString(text);
}

QColor ToQColor(core::TColor color) {
  return QColor(color.R, color.G, color.B);
}

QFont ToQFont(const core::TFont& font) {
  return WindowFont(ToQString(font.Name), font.Height, font.Bold);
}

Qt::Alignment ToQAlignment(core::TAlignment alignment) {
  switch (alignment) {
    case core::TAlignment::taCenter:
      return Qt::AlignHCenter;
    case core::TAlignment::taRightJustify:
      return Qt::AlignRight;
    case core::TAlignment::taLeftJustify:
      break;
  }
  return Qt::AlignLeft;
}

void SetTextColor(QWidget& widget, core::TColor color) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::WindowText, ToQColor(color));
  palette.setColor(QPalette::Text, ToQColor(color));
  widget.setPalette(palette);
}

// Labels and pictures: a double-click goes to the control.
class TControlLabel : public QLabel {
 public:
  TControlLabel(core::TControl& control, core::TfrmPipeServer& form, QWidget* parent)
      : QLabel(parent), FControl(control), FForm(form) {}

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    event->accept();
    FForm.Guarded([&] { FControl.DblClick(); });
  }

 private:
  core::TControl& FControl;
  core::TfrmPipeServer& FForm;
};

// A filled rectangle with a one-pixel black outline.
class TShapeWidget : public QWidget {
 public:
  TShapeWidget(core::TShape& shape, QWidget* parent) : QWidget(parent), FShape(shape) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(ToQColor(FShape.BrushColor()));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }

 private:
  core::TShape& FShape;
};

}  // namespace

TPipeServerWindow::TPipeServerWindow(std::unique_ptr<core::TfrmPipeServer> form, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                  Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                  Qt::WindowCloseButtonHint),
      FForm(std::move(form)) {
  setWindowTitle(ToQString(FForm->Caption()));
  setFont(ToQFont(FForm->Font()));
  ApplyFormSize();
  move(0, 0);

  for (core::TControl* control : FForm->Controls()) {
    CreateWidget(*control);
  }
  Follow(*FForm, [this](core::TComponent&, core::TChangeKind kind, int32_t) {
    if (kind == core::TChangeKind::Caption) {
      setWindowTitle(ToQString(FForm->Caption()));
    } else if (kind == core::TChangeKind::Font) {
      setFont(ToQFont(FForm->Font()));
    } else {
      ApplyFormSize();
    }
  });

  FForm->AskYesNo = [this](const std::string& text) { return AskYesNo(text); };
  FForm->ShowError = [this](const std::string& text) { ShowErrorBox(text); };
}

TPipeServerWindow::~TPipeServerWindow() {
  for (auto& [component, id] : FSubscriptions) {
    component->Unsubscribe(id);
  }
  FSubscriptions.clear();
  FForm->AskYesNo = nullptr;
  FForm->ShowError = nullptr;
  FForm.reset();
}

QWidget* TPipeServerWindow::WidgetOf(const core::TControl& control) const {
  const auto it = FWidgets.find(&control);
  return it == FWidgets.end() ? nullptr : it->second;
}

void TPipeServerWindow::Follow(core::TComponent& component, core::TChangeEvent handler) {
  FSubscriptions.emplace_back(&component, component.Subscribe(std::move(handler)));
}

void TPipeServerWindow::ApplyFormSize() {
  setFixedSize(FForm->ClientWidth(), std::max(0, FForm->Height() - kFrameHeight));
}

void TPipeServerWindow::CreateWidget(core::TControl& control) {
  QWidget* parent = this;
  if (control.Parent() != nullptr && control.Parent() != FForm.get()) {
    parent = WidgetOf(*control.Parent());
  }
  QWidget* widget = nullptr;
  core::TfrmPipeServer& form = *FForm;
  if (auto* shape = dynamic_cast<core::TShape*>(&control)) {
    widget = new TShapeWidget(*shape, parent);
  } else if (dynamic_cast<core::TLabel*>(&control) != nullptr ||
             dynamic_cast<core::TImage*>(&control) != nullptr) {
    auto* label = new TControlLabel(control, form, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    widget = label;
  } else if (dynamic_cast<core::TPanel*>(&control) != nullptr) {
    widget = new QFrame(parent);
  } else if (auto* button = dynamic_cast<core::TButton*>(&control)) {
    auto* push = new QPushButton(parent);
    QObject::connect(push, &QPushButton::clicked,
                     [button, &form] { form.Guarded([&] { button->Click(); }); });
    widget = push;
  } else if (dynamic_cast<core::TMemo*>(&control) != nullptr) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setReadOnly(true);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    widget = memo;
  } else if (dynamic_cast<core::TListBox*>(&control) != nullptr) {
    auto* list = new QListWidget(parent);
    list->setUniformItemSizes(true);
    widget = list;
  } else if (auto* intEdit = dynamic_cast<core::TIntEdit*>(&control)) {
    auto* edit = new QLineEdit(parent);
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("-?[0-9]*")), edit));
    QObject::connect(edit, &QLineEdit::textEdited, [intEdit, &form](const QString& text) {
      form.Guarded([&] { intEdit->SetText(text.toStdString()); });
    });
    widget = edit;
  } else {
    widget = new QWidget(parent);
  }
  widget->setObjectName(ToQString(control.Name()));
  FWidgets.emplace(&control, widget);
  Apply(control);
  Follow(control, [this, &control](core::TComponent&, core::TChangeKind kind, int32_t index) {
    ApplyChange(control, kind, index);
  });
}

// Brings the widget fully in line with its control.
void TPipeServerWindow::Apply(core::TControl& control) {
  QWidget* widget = WidgetOf(control);
  widget->setEnabled(control.Enabled());
  widget->setToolTip(control.ShowHint() ? ToQString(control.Hint()) : QString());

  if (auto* shape = dynamic_cast<core::TShape*>(&control)) {
    static_cast<void>(shape);
    widget->update();
  } else if (auto* label = dynamic_cast<core::TLabel*>(&control)) {
    auto* view = static_cast<QLabel*>(widget);
    view->setText(ToQString(label->Caption()));
    view->setFont(ToQFont(label->Font()));
    view->setAlignment(ToQAlignment(label->Alignment()) | Qt::AlignTop);
    view->setAutoFillBackground(!label->Transparent());
    SetTextColor(*view, label->Font().Color);
  } else if (auto* image = dynamic_cast<core::TImage*>(&control)) {
    static_cast<QLabel*>(widget)->setPixmap(Picture(ToQString(image->Picture())));
  } else if (auto* panel = dynamic_cast<core::TPanel*>(&control)) {
    auto* frame = static_cast<QFrame*>(widget);
    switch (panel->BevelOuter()) {
      case core::TBevelCut::bvLowered:
        frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        break;
      case core::TBevelCut::bvRaised:
        frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
        break;
      case core::TBevelCut::bvNone:
        frame->setFrameStyle(QFrame::NoFrame);
        break;
    }
    frame->setAutoFillBackground(panel->HasColor());
    if (panel->HasColor()) {
      QPalette palette = frame->palette();
      palette.setColor(QPalette::Window, ToQColor(panel->Color()));
      frame->setPalette(palette);
    }
  } else if (auto* button = dynamic_cast<core::TButton*>(&control)) {
    static_cast<QPushButton*>(widget)->setText(ToQString(button->Caption()));
  } else if (auto* memo = dynamic_cast<core::TMemo*>(&control)) {
    auto* view = static_cast<QPlainTextEdit*>(widget);
    view->setFont(ToQFont(memo->Font()));
    view->setVerticalScrollBarPolicy(memo->VerticalScrollBar() ? Qt::ScrollBarAlwaysOn
                                                               : Qt::ScrollBarAsNeeded);
    view->clear();
    for (const std::string& line : memo->Lines()) {
      view->appendPlainText(ToQString(line));
    }
  } else if (auto* list = dynamic_cast<core::TListBox*>(&control)) {
    auto* view = static_cast<QListWidget*>(widget);
    view->setFont(ToQFont(list->Font()));
    view->setSelectionMode(list->MultiSelect() ? QAbstractItemView::ExtendedSelection
                                               : QAbstractItemView::SingleSelection);
    view->clear();
    for (int32_t i = 0; i < list->Count(); ++i) {
      ApplyChange(control, core::TChangeKind::ItemAdded, i);
    }
  } else if (auto* intEdit = dynamic_cast<core::TIntEdit*>(&control)) {
    auto* view = static_cast<QLineEdit*>(widget);
    view->setMaxLength(intEdit->MaxLength());
    view->setAlignment(ToQAlignment(intEdit->Alignment()) | Qt::AlignVCenter);
    view->setFont(ToQFont(intEdit->Font()));
    const QString text = ToQString(intEdit->Text());
    if (view->text() != text) {
      view->setText(text);
      view->end(false);
    }
  }

  // Bounds last: a label that sizes itself needs its text and font first.
  const auto* label = dynamic_cast<const core::TLabel*>(&control);
  if (control.Align() == core::TAlign::alClient && widget->parentWidget() != nullptr) {
    widget->setGeometry(widget->parentWidget()->rect());
  } else if (label != nullptr && label->AutoSize()) {
    widget->adjustSize();
    widget->move(control.Left(), control.Top());
  } else {
    widget->setGeometry(control.Left(), control.Top(), control.Width(), control.Height());
  }
  widget->setVisible(control.Visible());
}

void TPipeServerWindow::ApplyChange(core::TControl& control,
                                    core::TChangeKind kind,
                                    int32_t index) {
  QWidget* widget = WidgetOf(control);
  switch (kind) {
    case core::TChangeKind::LineAdded:
      if (auto* memo = dynamic_cast<core::TMemo*>(&control)) {
        static_cast<QPlainTextEdit*>(widget)->appendPlainText(
            ToQString(memo->Lines()[static_cast<size_t>(index)]));
      }
      return;
    case core::TChangeKind::LinesCleared:
      static_cast<QPlainTextEdit*>(widget)->clear();
      return;
    case core::TChangeKind::ItemAdded:
      if (auto* list = dynamic_cast<core::TListBox*>(&control)) {
        auto* view = static_cast<QListWidget*>(widget);
        auto* item = new QListWidgetItem(ToQString(list->Items()[static_cast<size_t>(index)]));
        item->setSizeHint(QSize(std::max(1, list->Width() - 4), list->ItemHeight()));
        view->insertItem(index, item);
      }
      return;
    case core::TChangeKind::ItemDeleted:
      delete static_cast<QListWidget*>(widget)->takeItem(index);
      return;
    case core::TChangeKind::ItemsCleared:
      static_cast<QListWidget*>(widget)->clear();
      return;
    case core::TChangeKind::Visible:
      widget->setVisible(control.Visible());
      return;
    case core::TChangeKind::Enabled:
      widget->setEnabled(control.Enabled());
      return;
    default:
      Apply(control);
      return;
  }
}

void TPipeServerWindow::Activate() {
  if (FClosed) {
    return;
  }
  if (isMinimized()) {
    setWindowState(windowState() & ~Qt::WindowMinimized);
  }
  show();
  raise();
  activateWindow();
  ++FActivations;
}

void TPipeServerWindow::ShowErrorBox(const std::string& text) {
  QString title = QCoreApplication::applicationName();
  if (title.isEmpty()) {
    title = windowTitle();
  }
  QMessageBox box(QMessageBox::Critical, title, ToQString(text), QMessageBox::Ok, this);
  box.exec();
}

bool TPipeServerWindow::AskYesNo(const std::string& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kQuestionTitle), ToQString(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

void TPipeServerWindow::closeEvent(QCloseEvent* event) {
  if (FClosed) {
    event->accept();
    return;
  }
  bool canClose = false;
  FForm->Guarded([&] { FForm->FormCloseQuery(*FForm, canClose); });
  if (!canClose) {
    event->ignore();
    return;
  }
  FClosed = true;
  event->accept();
  if (OnClosed) {
    OnClosed();
  }
}

}  // namespace ui
