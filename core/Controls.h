#pragma once
// Toolkit-neutral models of the server window's controls.
//
// Each control holds the state a view draws (position, size, visibility,
// caption, colour, picture, lines, ...) and tells its subscribers when any of
// it changes. The window's logic (TfrmPipeServer) only reads and writes these
// models; a view (ui/qt) renders them, subscribes to their changes, and calls
// Click()/DblClick() and the edit setters when the operator acts.
//
// Threads: a control belongs to the main thread; every setter, every
// notification and every event runs there. A subscriber may subscribe or
// unsubscribe (itself or others) from inside a notification.
//
// Notifications are raised only when a value really changes, after it has been
// stored, and carry what changed (and the line or item index where it matters).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace core {

// An RGB colour, as the window uses them.
struct TColor {
  uint8_t R = 0;
  uint8_t G = 0;
  uint8_t B = 0;
  bool operator==(const TColor&) const = default;
};

// The three colours of a client slot's border.
inline constexpr TColor clRed{255, 0, 0};
inline constexpr TColor clGreen{0, 128, 0};
inline constexpr TColor clMedGray{160, 160, 164};
inline constexpr TColor clBlack{0, 0, 0};

struct TFont {
  std::string Name = "Tahoma";
  int32_t Height = -11;  // negative: character height in pixels
  bool Bold = false;
  TColor Color = clBlack;
  bool operator==(const TFont&) const = default;
};

enum class TAlignment : uint8_t { taLeftJustify, taCenter, taRightJustify };
enum class TAlign : uint8_t { alNone, alClient };
enum class TBevelCut : uint8_t { bvNone, bvLowered, bvRaised };

// What a notification is about.
enum class TChangeKind : uint8_t {
  Bounds,  // Left, Top, Width, Height
  Visible,
  Enabled,
  Hint,     // Hint or ShowHint
  Caption,  // caption or text
  Font,
  Color,  // brush, panel or font colour
  Picture,
  LineAdded,  // index: the new line
  LinesCleared,
  ItemAdded,    // index: the new item
  ItemDeleted,  // index: the item that was removed
  ItemsCleared,
  Timer,  // Interval or Enabled of a timer
  Other,  // any other property
};

class TComponent;
using TChangeEvent = std::function<void(TComponent& sender, TChangeKind kind, int32_t index)>;

// Base of everything the window owns: a name and a list of subscribers.
class TComponent {
 public:
  explicit TComponent(std::string name);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual ~TComponent();

  const std::string& Name() const { return FName; }

  // Returns an id for Unsubscribe. The subscriber must unsubscribe before it
  // goes away, or outlive the component.
  int32_t Subscribe(TChangeEvent handler);
  void Unsubscribe(int32_t id);

 protected:
  void Changed(TChangeKind kind, int32_t index = -1);

 private:
  struct TSubscriber {
    int32_t Id;
    bool Active;
    TChangeEvent Handler;
  };
  std::string FName;
  // Entries are individually allocated so that a handler being called stays
  // where it is when another subscribes during the notification; removal
  // during a notification only marks the entry.
  std::vector<std::unique_ptr<TSubscriber>> FSubscribers;
  int32_t FNextId = 1;
  int32_t FNotifying = 0;
  bool FRemovedWhileNotifying = false;
};

class TControl;
using TNotifyEvent = std::function<void(TControl& sender)>;

// A visible control: bounds in client pixels of its parent, visibility,
// enabled state and hint. Click() and DblClick() raise the events as the
// operator's actions do.
class TControl : public TComponent {
 public:
  TControl(std::string name,
           TControl* parent,
           int32_t left,
           int32_t top,
           int32_t width,
           int32_t height);

  TControl* Parent() const { return FParent; }
  int32_t Left() const { return FLeft; }
  int32_t Top() const { return FTop; }
  int32_t Width() const { return FWidth; }
  int32_t Height() const { return FHeight; }
  void SetBounds(int32_t left, int32_t top, int32_t width, int32_t height);
  void SetHeight(int32_t height) { SetBounds(FLeft, FTop, FWidth, height); }

  bool Visible() const { return FVisible; }
  void SetVisible(bool value);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);

  const std::string& Hint() const { return FHint; }
  void SetHint(std::string value);
  bool ShowHint() const { return FShowHint; }
  void SetShowHint(bool value);

  TAlign Align() const { return FAlign; }
  void SetAlign(TAlign value);

  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;
  void Click();
  void DblClick();

 private:
  TControl* FParent;
  int32_t FLeft;
  int32_t FTop;
  int32_t FWidth;
  int32_t FHeight;
  bool FVisible = true;
  bool FEnabled = true;
  std::string FHint;
  bool FShowHint = false;
  TAlign FAlign = TAlign::alNone;
};

// The window itself: caption, font and client area. Height (the outer height)
// selects the view.
class TForm : public TControl {
 public:
  TForm(std::string name, std::string caption, int32_t clientWidth, int32_t clientHeight);

  const std::string& Caption() const { return FCaption; }
  void SetCaption(std::string value);
  const TFont& Font() const { return FFont; }
  void SetFont(TFont value);
  int32_t ClientWidth() const { return FClientWidth; }
  int32_t ClientHeight() const { return FClientHeight; }

 private:
  std::string FCaption;
  TFont FFont;
  int32_t FClientWidth;
  int32_t FClientHeight;
};

// A filled rectangle.
class TShape : public TControl {
 public:
  TShape(std::string name,
         TControl* parent,
         int32_t left,
         int32_t top,
         int32_t width,
         int32_t height,
         TColor brushColor);

  TColor BrushColor() const { return FBrushColor; }
  void SetBrushColor(TColor value);

 private:
  TColor FBrushColor;
};

// A picture, named by an id that the view maps onto its own images.
class TImage : public TControl {
 public:
  TImage(std::string name,
         TControl* parent,
         int32_t left,
         int32_t top,
         int32_t width,
         int32_t height,
         std::string picture);

  const std::string& Picture() const { return FPicture; }
  void SetPicture(std::string value);

 private:
  std::string FPicture;
};

class TLabel : public TControl {
 public:
  // A zero width or height means the label sizes itself to its caption.
  TLabel(std::string name,
         TControl* parent,
         int32_t left,
         int32_t top,
         int32_t width,
         int32_t height,
         std::string caption,
         TFont font);

  const std::string& Caption() const { return FCaption; }
  void SetCaption(std::string value);
  const TFont& Font() const { return FFont; }
  void SetFont(TFont value);
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment value);
  bool Transparent() const { return FTransparent; }
  void SetTransparent(bool value);
  bool AutoSize() const { return Width() == 0 || Height() == 0; }

 private:
  std::string FCaption;
  TFont FFont;
  TAlignment FAlignment = TAlignment::taLeftJustify;
  bool FTransparent = false;
};

class TPanel : public TControl {
 public:
  TPanel(std::string name,
         TControl* parent,
         int32_t left,
         int32_t top,
         int32_t width,
         int32_t height);

  const std::string& Caption() const { return FCaption; }
  void SetCaption(std::string value);
  TBevelCut BevelOuter() const { return FBevelOuter; }
  void SetBevelOuter(TBevelCut value);
  // Without a colour of its own the panel shows the window's background.
  bool HasColor() const { return FHasColor; }
  TColor Color() const { return FColor; }
  void SetColor(TColor value);

 private:
  std::string FCaption;
  TBevelCut FBevelOuter = TBevelCut::bvRaised;
  bool FHasColor = false;
  TColor FColor;
};

class TButton : public TControl {
 public:
  TButton(std::string name,
          TControl* parent,
          int32_t left,
          int32_t top,
          int32_t width,
          int32_t height,
          std::string caption);

  const std::string& Caption() const { return FCaption; }
  void SetCaption(std::string value);

 private:
  std::string FCaption;
};

// A multi-line text to which whole lines are appended (the log).
class TMemo : public TControl {
 public:
  TMemo(std::string name,
        TControl* parent,
        int32_t left,
        int32_t top,
        int32_t width,
        int32_t height);

  const std::vector<std::string>& Lines() const { return FLines; }
  void Add(std::string line);
  void Clear();
  bool VerticalScrollBar() const { return FVerticalScrollBar; }
  void SetVerticalScrollBar(bool value);
  const TFont& Font() const { return FFont; }

 private:
  std::vector<std::string> FLines;
  bool FVerticalScrollBar = false;
  TFont FFont;
};

class TListBox : public TControl {
 public:
  TListBox(std::string name,
           TControl* parent,
           int32_t left,
           int32_t top,
           int32_t width,
           int32_t height);

  const std::vector<std::string>& Items() const { return FItems; }
  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  void Add(std::string item);
  // Ignores an index outside the list.
  void Delete(int32_t index);
  void Clear();

  bool MultiSelect() const { return FMultiSelect; }
  void SetMultiSelect(bool value);
  int32_t ItemHeight() const { return FItemHeight; }
  void SetItemHeight(int32_t value);
  const TFont& Font() const { return FFont; }
  void SetFont(TFont value);

 private:
  std::vector<std::string> FItems;
  bool FMultiSelect = false;
  int32_t FItemHeight = 13;
  TFont FFont;
};

// An entry field for an integer. The view keeps the operator's input to an
// optional minus sign and digits, at most MaxLength characters.
class TIntEdit : public TControl {
 public:
  TIntEdit(std::string name,
           TControl* parent,
           int32_t left,
           int32_t top,
           int32_t width,
           int32_t height,
           int32_t maxLength);

  const std::string& Text() const { return FText; }
  void SetText(std::string value);
  // The text as an integer; 0 when it is empty or not an integer.
  int32_t Value() const;
  void SetValue(int32_t value);

  int32_t MaxLength() const { return FMaxLength; }
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment value);
  const TFont& Font() const { return FFont; }
  void SetFont(TFont value);

 private:
  std::string FText;
  int32_t FMaxLength;
  TAlignment FAlignment = TAlignment::taLeftJustify;
  TFont FFont;
};

class TTimer;
using TTimerEvent = std::function<void(TTimer& sender)>;

// A repeating timer. The model only holds Interval and Enabled; something
// else (TMessageTimer) makes it tick on the main thread by calling Fire().
class TTimer : public TComponent {
 public:
  TTimer(std::string name, uint32_t intervalMs, bool enabled);

  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t value);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);

  TTimerEvent OnTimer;
  // One tick: runs OnTimer when the timer is enabled, else nothing (a tick
  // that was already due when the timer was disabled is dropped).
  void Fire();

 private:
  uint32_t FInterval;
  bool FEnabled;
};

}  // namespace core
