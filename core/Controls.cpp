#include "core/Controls.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace core {

// ---- TComponent ----

TComponent::TComponent(std::string name) : FName(std::move(name)) {}

TComponent::~TComponent() = default;

int32_t TComponent::Subscribe(TChangeEvent handler) {
  const int32_t id = FNextId++;
  FSubscribers.push_back(std::make_unique<TSubscriber>(TSubscriber{id, true, std::move(handler)}));
  return id;
}

void TComponent::Unsubscribe(int32_t id) {
  for (auto it = FSubscribers.begin(); it != FSubscribers.end(); ++it) {
    if ((*it)->Id != id) {
      continue;
    }
    if (FNotifying > 0) {
      // The handler may be running right now: only mark it.
      (*it)->Active = false;
      FRemovedWhileNotifying = true;
    } else {
      FSubscribers.erase(it);
    }
    return;
  }
}

void TComponent::Changed(TChangeKind kind, int32_t index) {
  ++FNotifying;
  // By index: a subscription made by a handler may grow the vector; the
  // entries themselves do not move. Subscribers added now are called too.
  for (size_t i = 0; i < FSubscribers.size(); ++i) {
    TSubscriber* subscriber = FSubscribers[i].get();
    if (subscriber->Active && subscriber->Handler) {
      subscriber->Handler(*this, kind, index);
    }
  }
  if (--FNotifying == 0 && FRemovedWhileNotifying) {
    FRemovedWhileNotifying = false;
    std::erase_if(FSubscribers, [](const auto& s) { return !s->Active; });
  }
}

// ---- TControl ----

TControl::TControl(std::string name,
                   TControl* parent,
                   int32_t left,
                   int32_t top,
                   int32_t width,
                   int32_t height)
    : TComponent(std::move(name)),
      FParent(parent),
      FLeft(left),
      FTop(top),
      FWidth(width),
      FHeight(height) {}

void TControl::SetBounds(int32_t left, int32_t top, int32_t width, int32_t height) {
  if (left == FLeft && top == FTop && width == FWidth && height == FHeight) {
    return;
  }
  FLeft = left;
  FTop = top;
  FWidth = width;
  FHeight = height;
  Changed(TChangeKind::Bounds);
}

void TControl::SetVisible(bool value) {
  if (value != FVisible) {
    FVisible = value;
    Changed(TChangeKind::Visible);
  }
}

void TControl::SetEnabled(bool value) {
  if (value != FEnabled) {
    FEnabled = value;
    Changed(TChangeKind::Enabled);
  }
}

void TControl::SetHint(std::string value) {
  if (value != FHint) {
    FHint = std::move(value);
    Changed(TChangeKind::Hint);
  }
}

void TControl::SetShowHint(bool value) {
  if (value != FShowHint) {
    FShowHint = value;
    Changed(TChangeKind::Hint);
  }
}

void TControl::SetAlign(TAlign value) {
  if (value != FAlign) {
    FAlign = value;
    Changed(TChangeKind::Bounds);
  }
}

void TControl::Click() {
  if (OnClick) {
    OnClick(*this);
  }
}

void TControl::DblClick() {
  if (OnDblClick) {
    OnDblClick(*this);
  }
}

// ---- TForm ----

TForm::TForm(std::string name, std::string caption, int32_t clientWidth, int32_t clientHeight)
    : TControl(std::move(name), nullptr, 0, 0, clientWidth, clientHeight),
      FCaption(std::move(caption)),
      FClientWidth(clientWidth),
      FClientHeight(clientHeight) {}

void TForm::SetCaption(std::string value) {
  if (value != FCaption) {
    FCaption = std::move(value);
    Changed(TChangeKind::Caption);
  }
}

void TForm::SetFont(TFont value) {
  if (!(value == FFont)) {
    FFont = std::move(value);
    Changed(TChangeKind::Font);
  }
}

// ---- TShape ----

TShape::TShape(std::string name,
               TControl* parent,
               int32_t left,
               int32_t top,
               int32_t width,
               int32_t height,
               TColor brushColor)
    : TControl(std::move(name), parent, left, top, width, height), FBrushColor(brushColor) {}

void TShape::SetBrushColor(TColor value) {
  if (!(value == FBrushColor)) {
    FBrushColor = value;
    Changed(TChangeKind::Color);
  }
}

// ---- TImage ----

TImage::TImage(std::string name,
               TControl* parent,
               int32_t left,
               int32_t top,
               int32_t width,
               int32_t height,
               std::string picture)
    : TControl(std::move(name), parent, left, top, width, height), FPicture(std::move(picture)) {}

void TImage::SetPicture(std::string value) {
  if (value != FPicture) {
    FPicture = std::move(value);
    Changed(TChangeKind::Picture);
  }
}

// ---- TLabel ----

TLabel::TLabel(std::string name,
               TControl* parent,
               int32_t left,
               int32_t top,
               int32_t width,
               int32_t height,
               std::string caption,
               TFont font)
    : TControl(std::move(name), parent, left, top, width, height),
      FCaption(std::move(caption)),
      FFont(std::move(font)) {}

void TLabel::SetCaption(std::string value) {
  if (value != FCaption) {
    FCaption = std::move(value);
    Changed(TChangeKind::Caption);
  }
}

void TLabel::SetFont(TFont value) {
  if (!(value == FFont)) {
    FFont = std::move(value);
    Changed(TChangeKind::Font);
  }
}

void TLabel::SetAlignment(TAlignment value) {
  if (value != FAlignment) {
    FAlignment = value;
    Changed(TChangeKind::Other);
  }
}

void TLabel::SetTransparent(bool value) {
  if (value != FTransparent) {
    FTransparent = value;
    Changed(TChangeKind::Other);
  }
}

// ---- TPanel ----

TPanel::TPanel(std::string name,
               TControl* parent,
               int32_t left,
               int32_t top,
               int32_t width,
               int32_t height)
    : TControl(std::move(name), parent, left, top, width, height) {}

void TPanel::SetCaption(std::string value) {
  if (value != FCaption) {
    FCaption = std::move(value);
    Changed(TChangeKind::Caption);
  }
}

void TPanel::SetBevelOuter(TBevelCut value) {
  if (value != FBevelOuter) {
    FBevelOuter = value;
    Changed(TChangeKind::Other);
  }
}

void TPanel::SetColor(TColor value) {
  if (!FHasColor || !(value == FColor)) {
    FHasColor = true;
    FColor = value;
    Changed(TChangeKind::Color);
  }
}

// ---- TButton ----

TButton::TButton(std::string name,
                 TControl* parent,
                 int32_t left,
                 int32_t top,
                 int32_t width,
                 int32_t height,
                 std::string caption)
    : TControl(std::move(name), parent, left, top, width, height), FCaption(std::move(caption)) {}

void TButton::SetCaption(std::string value) {
  if (value != FCaption) {
    FCaption = std::move(value);
    Changed(TChangeKind::Caption);
  }
}

// ---- TMemo ----

TMemo::TMemo(std::string name,
             TControl* parent,
             int32_t left,
             int32_t top,
             int32_t width,
             int32_t height)
    : TControl(std::move(name), parent, left, top, width, height) {}

void TMemo::Add(std::string line) {
  FLines.push_back(std::move(line));
  Changed(TChangeKind::LineAdded, static_cast<int32_t>(FLines.size()) - 1);
}

void TMemo::Clear() {
  FLines.clear();
  Changed(TChangeKind::LinesCleared);
}

void TMemo::SetVerticalScrollBar(bool value) {
  if (value != FVerticalScrollBar) {
    FVerticalScrollBar = value;
    Changed(TChangeKind::Other);
  }
}

// ---- TListBox ----

TListBox::TListBox(std::string name,
                   TControl* parent,
                   int32_t left,
                   int32_t top,
                   int32_t width,
                   int32_t height)
    : TControl(std::move(name), parent, left, top, width, height) {}

void TListBox::Add(std::string item) {
  FItems.push_back(std::move(item));
  Changed(TChangeKind::ItemAdded, Count() - 1);
}

void TListBox::Delete(int32_t index) {
  if (index < 0 || index >= Count()) {
    return;
  }
  FItems.erase(FItems.begin() + index);
  Changed(TChangeKind::ItemDeleted, index);
}

void TListBox::Clear() {
  FItems.clear();
  Changed(TChangeKind::ItemsCleared);
}

void TListBox::SetMultiSelect(bool value) {
  if (value != FMultiSelect) {
    FMultiSelect = value;
    Changed(TChangeKind::Other);
  }
}

void TListBox::SetItemHeight(int32_t value) {
  if (value != FItemHeight) {
    FItemHeight = value;
    Changed(TChangeKind::Other);
  }
}

void TListBox::SetFont(TFont value) {
  if (!(value == FFont)) {
    FFont = std::move(value);
    Changed(TChangeKind::Font);
  }
}

// ---- TIntEdit ----

TIntEdit::TIntEdit(std::string name,
                   TControl* parent,
                   int32_t left,
                   int32_t top,
                   int32_t width,
                   int32_t height,
                   int32_t maxLength)
    : TControl(std::move(name), parent, left, top, width, height), FMaxLength(maxLength) {}

void TIntEdit::SetText(std::string value) {
  if (value != FText) {
    FText = std::move(value);
    Changed(TChangeKind::Caption);
  }
}

int32_t TIntEdit::Value() const {
  int32_t value = 0;
  const char* first = FText.data();
  const char* last = first + FText.size();
  // from_chars takes no leading '+'; the field never holds one.
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) {
    return 0;
  }
  return value;
}

void TIntEdit::SetValue(int32_t value) {
  SetText(std::to_string(value));
}

void TIntEdit::SetAlignment(TAlignment value) {
  if (value != FAlignment) {
    FAlignment = value;
    Changed(TChangeKind::Other);
  }
}

void TIntEdit::SetFont(TFont value) {
  if (!(value == FFont)) {
    FFont = std::move(value);
    Changed(TChangeKind::Font);
  }
}

// ---- TTimer ----

TTimer::TTimer(std::string name, uint32_t intervalMs, bool enabled)
    : TComponent(std::move(name)), FInterval(intervalMs), FEnabled(enabled) {}

void TTimer::SetInterval(uint32_t value) {
  if (value != FInterval) {
    FInterval = value;
    Changed(TChangeKind::Timer);
  }
}

void TTimer::SetEnabled(bool value) {
  if (value != FEnabled) {
    FEnabled = value;
    Changed(TChangeKind::Timer);
  }
}

void TTimer::Fire() {
  if (FEnabled && OnTimer) {
    OnTimer(*this);
  }
}

}  // namespace core
