#include "platform/ui/qt/draw_overlay.h"

#include <QPaintEvent>
#include <QPainter>

namespace mivo::ui::qthost {

DrawOverlay::DrawOverlay(QWidget* parent, QSize clientSize)
    : QWidget(parent), m_image(clientSize, QImage::Format_ARGB32_Premultiplied) {
  m_image.fill(Qt::transparent);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::NoFocus);
  setGeometry(QRect(QPoint(0, 0), clientSize));
}

void DrawOverlay::Fill(const QRect& rect, const QColor& color) {
  const QRect clipped = rect.intersected(m_image.rect());
  if (clipped.isEmpty()) return;
  QPainter painter(&m_image);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(clipped, color);
  painter.end();
  update(clipped);
}

void DrawOverlay::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect area = event->rect();
  painter.drawImage(area, m_image, area);
}

}  // namespace mivo::ui::qthost
