#pragma once
// The Qt application object a Qt test program needs, made once for the whole
// program and gone after its last test:
//   const auto* const kGui =
//       ::testing::AddGlobalTestEnvironment(new testsupport::TQtEnvironment<QApplication>);
// The tests run with QT_QPA_PLATFORM=offscreen (set by the build).

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace testsupport {

template <class TApplication>
class TQtEnvironment : public ::testing::Environment {
 public:
  // afterCreate runs once the application object exists (names, fonts).
  explicit TQtEnvironment(std::function<void()> afterCreate = {})
      : FAfterCreate(std::move(afterCreate)) {}

  void SetUp() override {
    static int argc = 1;
    static char name[] = "qt_test";
    static char* argv[] = {name, nullptr};
    FApp = std::make_unique<TApplication>(argc, argv);
    if (FAfterCreate) {
      FAfterCreate();
    }
  }
  void TearDown() override { FApp.reset(); }

 private:
  std::function<void()> FAfterCreate;
  std::unique_ptr<TApplication> FApp;
};

}  // namespace testsupport
