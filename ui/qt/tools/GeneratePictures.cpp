// Draws the window's pictures and writes them as PNG files:
//
//   qn_generate_pictures <directory>
//
// The files are committed under ui/qt/pictures, so building the program does
// not run this. Run it (with QT_QPA_PLATFORM=offscreen where there is no
// display) after changing a drawing, and commit the result.

#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRadialGradient>
#include <QTextStream>

#include <cstdio>

#include "ui/qt/Fonts.h"
#include "ui/qt/Pictures.h"

namespace {

QImage NewImage(QSize size) {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// A desktop monitor: screen, neck and foot, centred at x, screen top at y.
void DrawMonitor(QPainter& p, qreal cx, qreal y, const QColor& frame, const QColor& screen) {
  const QRectF body(cx - 26, y, 52, 34);
  p.setPen(Qt::NoPen);
  p.setBrush(frame);
  p.drawRoundedRect(body, 3, 3);
  p.setBrush(screen);
  p.drawRect(body.adjusted(3, 3, -3, -3));
  p.setBrush(frame);
  p.drawRect(QRectF(cx - 4, body.bottom(), 8, 5));
  p.drawRoundedRect(QRectF(cx - 14, body.bottom() + 5, 28, 3), 1.5, 1.5);
}

QImage DrawClientSlot() {
  QImage image = NewImage(ui::kClientSlotSize);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(0.5, 0.5, image.width() - 1.0, image.height() - 1.0);

  QLinearGradient fill(0, 0, 0, image.height());
  fill.setColorAt(0, QColor(244, 246, 249));
  fill.setColorAt(1, QColor(218, 223, 230));
  p.setBrush(fill);
  QPen dashed(QColor(140, 150, 162), 1, Qt::DashLine);
  p.setPen(dashed);
  p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 5, 5);

  const qreal cx = image.width() / 2.0;
  DrawMonitor(p, cx, 10, QColor(150, 158, 168), QColor(250, 251, 253));
  // A plus on the screen: this place is free for a client.
  p.setPen(QPen(QColor(120, 170, 110), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(cx, 19), QPointF(cx, 35));
  p.drawLine(QPointF(cx - 8, 27), QPointF(cx + 8, 27));

  p.setPen(QColor(110, 118, 128));
  p.setFont(ui::WindowFont(QStringLiteral("Tahoma"), -11));
  p.drawText(QRectF(0, 58, image.width(), 16), Qt::AlignCenter, QStringLiteral("Free slot"));
  return image;
}

QImage DrawClientActive() {
  QImage image = NewImage(ui::kClientActiveSize);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(0.5, 0.5, image.width() - 1.0, image.height() - 1.0);

  QLinearGradient fill(0, 0, 0, image.height());
  fill.setColorAt(0, QColor(228, 245, 231));
  fill.setColorAt(1, QColor(184, 226, 192));
  p.setBrush(fill);
  p.setPen(QPen(QColor(86, 150, 100), 1));
  p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 5, 5);

  const qreal cx = image.width() / 2.0;
  DrawMonitor(p, cx, 8, QColor(60, 72, 84), QColor(24, 44, 58));
  // A trace on the screen: the client is logging.
  QPainterPath trace;
  const qreal left = cx - 20;
  trace.moveTo(left, 28);
  const qreal ys[] = {28, 28, 20, 34, 24, 28, 28, 18, 30, 28, 28};
  for (int i = 1; i < 11; ++i) {
    trace.lineTo(left + i * 4.0, ys[i]);
  }
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(110, 240, 120), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(trace);

  // A lit lamp in the corner.
  QRadialGradient lamp(QPointF(109, 11), 6);
  lamp.setColorAt(0, QColor(190, 255, 190));
  lamp.setColorAt(0.6, QColor(40, 200, 60));
  lamp.setColorAt(1, QColor(20, 120, 35));
  p.setPen(QPen(QColor(30, 90, 40), 0.8));
  p.setBrush(lamp);
  p.drawEllipse(QPointF(109, 11), 5, 5);

  // The bottom right stays calm: the window writes the client's id there.
  p.setPen(QColor(50, 105, 62));
  p.setFont(ui::WindowFont(QStringLiteral("Tahoma"), -11, true));
  p.drawText(QRectF(6, 58, 66, 16), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Client"));
  return image;
}

QColor FamilyColor(const QString& family) {
  if (family == QLatin1String("QN410")) {
    return QColor(47, 127, 216);
  }
  if (family == QLatin1String("QN420")) {
    return QColor(31, 165, 154);
  }
  if (family == QLatin1String("QN633")) {
    return QColor(224, 138, 30);
  }
  if (family == QLatin1String("QN2208")) {
    return QColor(138, 92, 201);
  }
  return QColor(208, 69, 58);  // QN445
}

QImage DrawInstrument(const QString& family, bool on) {
  QImage image = NewImage(ui::kInstrumentPictureSize);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF body(0.5, 0.5, image.width() - 1.0, image.height() - 1.0);

  // Case.
  QLinearGradient metal(0, 0, 0, image.height());
  metal.setColorAt(0, on ? QColor(72, 78, 86) : QColor(104, 106, 110));
  metal.setColorAt(1, on ? QColor(36, 40, 45) : QColor(70, 72, 75));
  p.setPen(QPen(on ? QColor(20, 22, 25) : QColor(60, 62, 64), 1));
  p.setBrush(metal);
  p.drawRoundedRect(body, 4, 4);

  // Family stripe on the left.
  QColor accent = FamilyColor(family);
  if (!on) {
    const int grey = qGray(accent.rgb());
    accent = QColor((accent.red() + 2 * grey) / 3, (accent.green() + 2 * grey) / 3,
                    (accent.blue() + 2 * grey) / 3)
                 .darker(130);
  }
  QPainterPath stripe;
  stripe.addRoundedRect(QRectF(1.5, 1.5, 10, image.height() - 3.0), 3, 3);
  p.setPen(Qt::NoPen);
  p.setBrush(accent);
  p.drawPath(stripe);

  // Display with the family name.
  const QRectF display(15, 6, 62, 20);
  p.setPen(QPen(on ? QColor(16, 20, 14) : QColor(50, 52, 50), 1));
  if (on) {
    QLinearGradient lcd(0, display.top(), 0, display.bottom());
    lcd.setColorAt(0, QColor(206, 236, 150));
    lcd.setColorAt(1, QColor(164, 208, 104));
    p.setBrush(lcd);
  } else {
    p.setBrush(QColor(82, 86, 80));
  }
  p.drawRoundedRect(display, 2, 2);
  p.setPen(on ? QColor(28, 42, 16) : QColor(118, 122, 114));
  p.setFont(ui::WindowFont(QStringLiteral("Tahoma"), -12, true));
  p.drawText(display, Qt::AlignCenter, family);

  // Power lamp.
  const QPointF centre(91, 16);
  QRadialGradient lamp(centre - QPointF(1.5, 1.5), 7);
  if (on) {
    lamp.setColorAt(0, QColor(210, 255, 200));
    lamp.setColorAt(0.5, QColor(60, 220, 70));
    lamp.setColorAt(1, QColor(20, 120, 30));
  } else {
    lamp.setColorAt(0, QColor(120, 110, 110));
    lamp.setColorAt(1, QColor(55, 45, 45));
  }
  p.setPen(QPen(QColor(15, 15, 15), 1));
  p.setBrush(lamp);
  p.drawEllipse(centre, 6, 6);
  return image;
}

bool Save(const QImage& image, const QDir& dir, const QString& id) {
  const QString path = dir.filePath(id + QStringLiteral(".png"));
  if (!image.save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!dir.exists()) {
    std::fprintf(stderr, "no directory %s\n", argv[1]);
    return 2;
  }
  if (!ui::LoadApplicationFonts()) {
    std::fprintf(stderr, "Tahoma not found; drawing with %s\n",
                 qPrintable(ui::ResolveFontFamily(QStringLiteral("Tahoma"))));
  }
  bool ok = Save(DrawClientSlot(), dir, QString::fromLatin1(ui::kPictureClientSlot));
  ok = Save(DrawClientActive(), dir, QString::fromLatin1(ui::kPictureClientActive)) && ok;
  for (const QString& family : ui::InstrumentFamilies()) {
    ok = Save(DrawInstrument(family, true), dir, ui::InstrumentPictureId(family, true)) && ok;
    ok = Save(DrawInstrument(family, false), dir, ui::InstrumentPictureId(family, false)) && ok;
  }
  return ok ? 0 : 1;
}
