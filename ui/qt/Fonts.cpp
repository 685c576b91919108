#include "ui/qt/Fonts.h"

#include <QDir>
#include <QFontDatabase>
#include <QSet>
#include <QStringList>

namespace ui {

bool LoadApplicationFonts(const QString& directory) {
  // Files already in the database, by path; adding one again would only add
  // a duplicate face.
  static QSet<QString> loaded;
  const QDir dir(directory);
  for (const char* file : {"tahoma.ttf", "tahomabd.ttf"}) {
    const QString path = dir.filePath(QString::fromLatin1(file));
    if (!loaded.contains(path) && QFontDatabase::addApplicationFont(path) >= 0) {
      loaded.insert(path);
    }
  }
  return QFontDatabase::families().contains(QStringLiteral("Tahoma"));
}

QString ResolveFontFamily(const QString& name) {
  if (!name.isEmpty() && QFontDatabase::families().contains(name)) {
    return name;
  }
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

QFont WindowFont(const QString& name, int height, bool bold) {
  QFont font(ResolveFontFamily(name));
  font.setPixelSize(height < 0 ? -height : (height > 0 ? height : 11));
  font.setBold(bold);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace ui
