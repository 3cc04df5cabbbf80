#include "platform/ui/qt/program_icon.h"

#include <QString>

namespace mivo::ui {

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/mivo/icon/%1x%1/apps/mivo.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace mivo::ui
