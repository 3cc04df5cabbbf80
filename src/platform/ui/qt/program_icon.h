// The program icon: a rounded dark tile with a red record dot over a small
// waveform. data/mivo.svg is its source; the build renders the PNG sizes the
// desktop theme gets and compiles them in here, so that the window and the
// launcher show the same picture.
#pragma once

#include <QIcon>

namespace mivo::ui {

// The icon in the rendered sizes (16 to 256 pixels).
QIcon ProgramIcon();

}  // namespace mivo::ui
