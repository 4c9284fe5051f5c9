#pragma once

#include <QPixmap>

// The Bluetooth tab's picture of the module, 200 x 225 logical pixels, drawn at the screen's
// device pixel ratio so that it stays sharp on high-dpi screens.
[[nodiscard]] QPixmap modulePicture(qreal devicePixelRatio = 1.0);
