#pragma once
// The window's fonts.
//
// The window is designed in Tahoma. Debian ships it with Wine's fonts
// (fonts-wine) without registering it with the system, so the program loads
// it itself; where it is missing, the system's sans-serif font stands in.
//
// Threads: GUI thread only, after the QGuiApplication exists.

#include <QFont>
#include <QString>

namespace ui {

inline constexpr char kWineFontDirectory[] = "/usr/share/wine/fonts";

// Loads tahoma.ttf and tahomabd.ttf from directory into the application's font
// database. Returns whether the family "Tahoma" is available afterwards.
// Loading a file a second time does nothing.
bool LoadApplicationFonts(const QString& directory = QString::fromLatin1(kWineFontDirectory));

// The family to draw a font the window names with: the name itself when the
// font database has it, otherwise the system's sans-serif family.
QString ResolveFontFamily(const QString& name);

// A font as the window's resources give it. A negative height is the
// character height in pixels (-11 is 8 point on a 96 dpi screen); a positive
// one, the cell height, is used as the pixel size too.
QFont WindowFont(const QString& name, int height, bool bold = false);

}  // namespace ui
