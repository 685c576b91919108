#include "ui/qt/Pictures.h"

#include <QFile>

// The resources live in this static library. Without a reference from code
// that is linked in, the linker would drop their registration.
static void InitPictureResources() {
  Q_INIT_RESOURCE(pictures);
}

namespace ui {

QPixmap Picture(const QString& id) {
  static const bool initialised = (InitPictureResources(), true);
  static_cast<void>(initialised);
  if (id.isEmpty() || !QFile::exists(PicturePath(id))) {
    return {};
  }
  return QPixmap(PicturePath(id));
}

}  // namespace ui
