#pragma once
// The application icon, drawn at start-up: a compact disc with a connector cable and a plug.

#include <QIcon>
#include <QPixmap>

namespace korv {

// The icon drawn at side x side pixels.
QPixmap DrawAppIcon(int side);
// All sizes the desktop asks for, from 16 to 256 pixels.
QIcon AppIcon();

}  // namespace korv
