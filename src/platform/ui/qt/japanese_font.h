// The window font. Templates name a Windows font that Linux does not have, so
// the window uses the first installed Japanese family of a fixed list.
#pragma once

#include <QFont>
#include <QString>

namespace mivo::ui::qthost {

// `preferred` (the template's family) when installed, then the Japanese
// families of the list, then the default family; at `pointSize` points.
QFont JapaneseFont(const QString& preferred, int pointSize);

// True when the font renders the Japanese of the window texts.
bool HasJapaneseGlyphs(const QFont& font);

}  // namespace mivo::ui::qthost
