#include "platform/ui/qt/japanese_font.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace mivo::ui::qthost {

namespace {

constexpr const char* kJapaneseFamilies[] = {
    "VL PGothic", "VL Gothic", "IPAPGothic", "IPAGothic", "IPAexGothic",
    "Noto Sans CJK JP", "Noto Sans JP", "TakaoPGothic", "Droid Sans Japanese",
};

constexpr int kDefaultPointSize = 9;

}  // namespace

QFont JapaneseFont(const QString& preferred, int pointSize) {
  const QStringList installed = QFontDatabase::families();
  QStringList families;
  if (!preferred.isEmpty() && installed.contains(preferred, Qt::CaseInsensitive)) {
    families << preferred;
  }
  for (const char* family : kJapaneseFamilies) {
    const QString name = QString::fromUtf8(family);
    if (installed.contains(name, Qt::CaseInsensitive)) families << name;
  }
  QFont font;
  if (!families.isEmpty()) font.setFamilies(families);
  font.setPointSize(pointSize > 0 ? pointSize : kDefaultPointSize);
  return font;
}

bool HasJapaneseGlyphs(const QFont& font) {
  const QFontMetrics metrics(font);
  for (const QChar ch : QStringLiteral("録音停止設定ファイル")) {
    if (!metrics.inFont(ch)) return false;
  }
  return true;
}

}  // namespace mivo::ui::qthost
