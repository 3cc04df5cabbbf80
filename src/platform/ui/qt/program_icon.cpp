#include "platform/ui/qt/program_icon.h"

#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <QRadialGradient>

#include <algorithm>
#include <array>

namespace mivo::ui {

QImage RenderProgramIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const double s = size;

  // The tile.
  const QRectF tile(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
  QLinearGradient tileFill(tile.topLeft(), tile.bottomLeft());
  tileFill.setColorAt(0.0, QColor(0x45, 0x4b, 0x58));
  tileFill.setColorAt(1.0, QColor(0x1b, 0x1e, 0x24));
  painter.setPen(QPen(QColor(0x10, 0x12, 0x16), std::max(1.0, s / 48)));
  painter.setBrush(tileFill);
  painter.drawRoundedRect(tile, s * 0.2, s * 0.2);

  // The record dot.
  const QPointF centre(s * 0.5, s * 0.4);
  const double radius = s * 0.22;
  QRadialGradient dotFill(centre - QPointF(radius * 0.35, radius * 0.35), radius * 1.3);
  dotFill.setColorAt(0.0, QColor(0xff, 0x8a, 0x80));
  dotFill.setColorAt(0.6, QColor(0xe5, 0x39, 0x35));
  dotFill.setColorAt(1.0, QColor(0xa3, 0x17, 0x17));
  painter.setPen(QPen(QColor(0x7f, 0x10, 0x10), std::max(1.0, s / 64)));
  painter.setBrush(dotFill);
  painter.drawEllipse(centre, radius, radius);

  // The waveform: bars of changing height along the bottom of the tile.
  static constexpr std::array<double, 11> kHeights = {0.25, 0.55, 0.9, 0.45, 1.0, 0.6,
                                                       0.8, 0.35, 0.7, 0.4, 0.2};
  const int bars = size < 24 ? 5 : static_cast<int>(kHeights.size());
  const double left = s * 0.2, right = s * 0.8, baseline = s * 0.77;
  const double step = (right - left) / (bars - 1);
  const double amplitude = s * 0.1;
  QPen wavePen(QColor(0x8f, 0xd3, 0xff), std::max(1.0, s / 22));
  wavePen.setCapStyle(Qt::RoundCap);
  painter.setPen(wavePen);
  for (int i = 0; i < bars; ++i) {
    const std::size_t k = static_cast<std::size_t>(i * (static_cast<int>(kHeights.size()) - 1) /
                                                   (bars - 1));
    const double h = amplitude * kHeights[k];
    const double x = left + step * i;
    painter.drawLine(QPointF(x, baseline - h), QPointF(x, baseline + h));
  }
  painter.end();
  return image;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addPixmap(QPixmap::fromImage(RenderProgramIcon(size)));
  }
  return icon;
}

}  // namespace mivo::ui
