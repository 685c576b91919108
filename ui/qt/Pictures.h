#pragma once
// The window's pictures: the client slots and the instrument families.
//
// The window's controls name their pictures by id ("ClientSlot",
// "ClientActive", "QN410On", "QN410Off", ...); the pictures are PNG files
// compiled into the program as Qt resources (":/pictures/<id>.png"), drawn
// by tools/GeneratePictures.cpp.
//
// Threads: GUI thread only, after the QGuiApplication exists.

#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace ui {

inline constexpr char kPictureClientSlot[] = "ClientSlot";      // empty client slot
inline constexpr char kPictureClientActive[] = "ClientActive";  // occupied client slot

inline constexpr QSize kClientSlotSize{121, 81};
inline constexpr QSize kClientActiveSize{121, 80};
inline constexpr QSize kInstrumentPictureSize{106, 32};

// The instrument families that have an On and an Off picture.
inline QStringList InstrumentFamilies() {
  return {QStringLiteral("QN410"), QStringLiteral("QN420"), QStringLiteral("QN633"),
          QStringLiteral("QN2208"), QStringLiteral("QN445")};
}

// The id of a family's picture: "QN410On", "QN410Off", ...
inline QString InstrumentPictureId(const QString& family, bool on) {
  return family + (on ? QStringLiteral("On") : QStringLiteral("Off"));
}

// Every picture id there is.
inline QStringList PictureIds() {
  QStringList ids{QString::fromLatin1(kPictureClientSlot),
                  QString::fromLatin1(kPictureClientActive)};
  for (const QString& family : InstrumentFamilies()) {
    ids << InstrumentPictureId(family, true) << InstrumentPictureId(family, false);
  }
  return ids;
}

// The resource path of a picture id.
inline QString PicturePath(const QString& id) {
  return QStringLiteral(":/pictures/") + id + QStringLiteral(".png");
}

// The picture of an id; a null pixmap for an id that has none.
QPixmap Picture(const QString& id);

}  // namespace ui
