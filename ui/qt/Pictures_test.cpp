#include "ui/qt/Pictures.h"

#include <QGuiApplication>
#include <QImage>
#include <QSet>

#include <memory>

#include <gtest/gtest.h>

#include "tests/support/QtTestEnvironment.h"

namespace ui {
namespace {

const auto* const kGui = ::testing::AddGlobalTestEnvironment(
    new testsupport::TQtEnvironment<QGuiApplication>());

TEST(Pictures, EveryIdHasAPictureOfItsSize) {
  struct Case {
    QString id;
    QSize size;
  };
  std::vector<Case> cases{{"ClientSlot", {121, 81}}, {"ClientActive", {121, 80}}};
  for (const char* family : {"QN410", "QN420", "QN633", "QN2208", "QN445"}) {
    cases.push_back({QString(family) + "On", {106, 32}});
    cases.push_back({QString(family) + "Off", {106, 32}});
  }
  ASSERT_EQ(static_cast<qsizetype>(cases.size()), PictureIds().size());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id.toStdString());
    EXPECT_TRUE(PictureIds().contains(c.id));
    const QPixmap picture = Picture(c.id);
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(c.size, picture.size());
  }
}

TEST(Pictures, AreDrawnAndAllDifferent) {
  QSet<QByteArray> seen;
  for (const QString& id : PictureIds()) {
    SCOPED_TRACE(id.toStdString());
    const QImage image = Picture(id).toImage().convertToFormat(QImage::Format_ARGB32);
    // Mostly opaque: a picture, not an empty frame.
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        opaque += qAlpha(image.pixel(x, y)) == 255 ? 1 : 0;
      }
    }
    EXPECT_GT(opaque, image.width() * image.height() * 3 / 4);
    const QByteArray bytes(reinterpret_cast<const char*>(image.constBits()),
                           static_cast<qsizetype>(image.sizeInBytes()));
    EXPECT_FALSE(seen.contains(bytes)) << "same as another picture";
    seen.insert(bytes);
  }
}

TEST(Pictures, UnknownIdHasNone) {
  for (const char* id : {"", "QN999On", "ClientSlot.png", "../ClientSlot"}) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(Picture(QString::fromLatin1(id)).isNull());
  }
}

}  // namespace
}  // namespace ui
