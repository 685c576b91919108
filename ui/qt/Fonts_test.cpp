#include "ui/qt/Fonts.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

#include <memory>

#include <gtest/gtest.h>

#include "tests/support/QtTestEnvironment.h"

namespace ui {
namespace {

const auto* const kGui = ::testing::AddGlobalTestEnvironment(
    new testsupport::TQtEnvironment<QGuiApplication>());

bool TahomaAvailable() {
  return QFontDatabase::families().contains(QStringLiteral("Tahoma"));
}

QString SystemSans() {
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

TEST(Fonts, MissingDirectoryLoadsNothing) {
  const bool before = TahomaAvailable();
  EXPECT_EQ(before, LoadApplicationFonts(QStringLiteral("/nonexistent/fonts")));
  EXPECT_EQ(before, TahomaAvailable());
}

TEST(Fonts, UnknownFamilyFallsBackToTheSystemSans) {
  ASSERT_FALSE(SystemSans().isEmpty());
  EXPECT_EQ(SystemSans(), ResolveFontFamily(QStringLiteral("No Such Family 1234")));
  EXPECT_EQ(SystemSans(), ResolveFontFamily(QString()));
  const QFont font = WindowFont(QStringLiteral("No Such Family 1234"), -16, true);
  EXPECT_EQ(SystemSans(), font.family());
  EXPECT_EQ(16, font.pixelSize());
  EXPECT_TRUE(font.bold());
}

TEST(Fonts, TahomaFromWineIsLoadedWithItsBoldFace) {
  if (!QFileInfo::exists(QString::fromLatin1(kWineFontDirectory) + "/tahoma.ttf")) {
    GTEST_SKIP() << "fonts-wine is not installed";
  }
  ASSERT_TRUE(LoadApplicationFonts());
  EXPECT_TRUE(LoadApplicationFonts());  // again: still there
  EXPECT_EQ(QStringLiteral("Tahoma"), ResolveFontFamily(QStringLiteral("Tahoma")));
  EXPECT_TRUE(QFontDatabase::styles(QStringLiteral("Tahoma")).contains(QStringLiteral("Bold")));

  struct Case {
    int height;
    bool bold;
    int pixels;
  };
  const Case kCases[] = {{-11, false, 11}, {-11, true, 11}, {-37, false, 37}, {16, false, 16}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.height);
    const QFont font = WindowFont(QStringLiteral("Tahoma"), c.height, c.bold);
    const QFontInfo info(font);
    EXPECT_EQ(QStringLiteral("Tahoma"), info.family());
    EXPECT_EQ(c.pixels, info.pixelSize());
    EXPECT_EQ(c.bold, info.bold());
  }
}

}  // namespace
}  // namespace ui
