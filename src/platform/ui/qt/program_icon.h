// The program icon: a rounded dark tile with a red record dot over a small
// waveform, drawn at run time.
#pragma once

#include <QIcon>
#include <QImage>

namespace mivo::ui {

// The icon in the usual sizes (16 to 256 pixels). Needs the QGuiApplication.
QIcon ProgramIcon();

// One size of the icon, transparent around the tile.
QImage RenderProgramIcon(int size);

}  // namespace mivo::ui
