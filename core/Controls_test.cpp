#include "core/Controls.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace core {
namespace {

struct TSeen {
  TChangeKind Kind;
  int32_t Index;
  bool operator==(const TSeen&) const = default;
};

TEST(ControlsTest, NotifiesOnlyRealChanges) {
  TShape shape("border", nullptr, 1, 2, 3, 4, clMedGray);
  std::vector<TSeen> seen;
  shape.Subscribe([&](TComponent& sender, TChangeKind kind, int32_t index) {
    EXPECT_EQ(&sender, &shape);
    seen.push_back({kind, index});
  });

  shape.SetBrushColor(clMedGray);
  shape.SetVisible(true);
  shape.SetBounds(1, 2, 3, 4);
  EXPECT_TRUE(seen.empty());

  shape.SetBrushColor(clRed);
  shape.SetVisible(false);
  shape.SetBounds(1, 2, 3, 5);
  EXPECT_EQ(seen,
            (std::vector<TSeen>{
                {TChangeKind::Color, -1}, {TChangeKind::Visible, -1}, {TChangeKind::Bounds, -1}}));
  EXPECT_EQ(shape.BrushColor(), clRed);
  EXPECT_FALSE(shape.Visible());
  EXPECT_EQ(shape.Height(), 5);
}

TEST(ControlsTest, MemoAndListBoxTellWhichLine) {
  TMemo memo("memo", nullptr, 0, 0, 10, 10);
  TListBox list("list", nullptr, 0, 0, 10, 10);
  std::vector<TSeen> seen;
  auto record = [&](TComponent&, TChangeKind kind, int32_t index) {
    seen.push_back({kind, index});
  };
  memo.Subscribe(record);
  list.Subscribe(record);

  memo.Add("a");
  memo.Add("b");
  memo.Clear();
  list.Add("x");
  list.Add("y");
  list.Delete(5);  // outside: nothing
  list.Delete(0);
  list.Clear();

  EXPECT_EQ(seen, (std::vector<TSeen>{{TChangeKind::LineAdded, 0},
                                      {TChangeKind::LineAdded, 1},
                                      {TChangeKind::LinesCleared, -1},
                                      {TChangeKind::ItemAdded, 0},
                                      {TChangeKind::ItemAdded, 1},
                                      {TChangeKind::ItemDeleted, 0},
                                      {TChangeKind::ItemsCleared, -1}}));
  EXPECT_TRUE(memo.Lines().empty());
  EXPECT_EQ(list.Count(), 0);
}

TEST(ControlsTest, SubscribersMayComeAndGoDuringANotification) {
  TLabel label("label", nullptr, 0, 0, 0, 0, "ID: 000", TFont{});
  int32_t firstCalls = 0;
  int32_t secondCalls = 0;
  int32_t lateCalls = 0;
  int32_t second = 0;
  std::optional<int32_t> late;
  const int32_t first = label.Subscribe([&](TComponent&, TChangeKind, int32_t) {
    ++firstCalls;
    label.Unsubscribe(second);  // removes one that has not run yet
    if (!late) {
      late = label.Subscribe([&](TComponent&, TChangeKind, int32_t) { ++lateCalls; });
    }
  });
  second = label.Subscribe([&](TComponent&, TChangeKind, int32_t) { ++secondCalls; });

  label.SetCaption("ID: 7");
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(secondCalls, 0);
  EXPECT_EQ(lateCalls, 1);

  label.Unsubscribe(first);
  label.SetCaption("ID: 8");
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(lateCalls, 2);
}

TEST(ControlsTest, IntEditValue) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case kCases[] = {
      {"", 0},    {"0", 0},   {"123456", 123456}, {"-12345", -12345},
      {"12a", 0}, {" 12", 0}, {"+5", 0},          {"99999999999", 0},
  };
  TIntEdit edit("edit", nullptr, 0, 0, 49, 32, 6);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    edit.SetText(c.text);
    EXPECT_EQ(edit.Value(), c.value);
  }
  edit.SetValue(-42);
  EXPECT_EQ(edit.Text(), "-42");
  EXPECT_EQ(edit.MaxLength(), 6);
}

TEST(ControlsTest, TimerFiresOnlyWhileEnabled) {
  TTimer timer("timer", 100, false);
  int32_t ticks = 0;
  int32_t changes = 0;
  timer.OnTimer = [&](TTimer& sender) {
    EXPECT_EQ(&sender, &timer);
    ++ticks;
  };
  timer.Subscribe([&](TComponent&, TChangeKind kind, int32_t) {
    EXPECT_EQ(kind, TChangeKind::Timer);
    ++changes;
  });

  timer.Fire();
  EXPECT_EQ(ticks, 0);
  timer.SetEnabled(true);
  timer.SetEnabled(true);
  timer.Fire();
  EXPECT_EQ(ticks, 1);
  timer.SetInterval(50);
  timer.SetEnabled(false);
  timer.Fire();
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(changes, 3);
}

TEST(ControlsTest, ClickAndDoubleClickRaiseTheirEvents) {
  TButton button("button", nullptr, 0, 0, 75, 25, "Status");
  TImage image("image", nullptr, 0, 0, 10, 10, "pic");
  button.Click();  // no handler: nothing
  int32_t clicks = 0;
  int32_t doubleClicks = 0;
  button.OnClick = [&](TControl& sender) {
    EXPECT_EQ(&sender, &button);
    ++clicks;
  };
  image.OnDblClick = [&](TControl&) { ++doubleClicks; };
  button.Click();
  image.Click();
  image.DblClick();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(doubleClicks, 1);
}

}  // namespace
}  // namespace core
