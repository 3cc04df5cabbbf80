// What the window drew with FillSolidRect: an image of the client area shown
// above the controls, transparent where nothing was drawn and to the mouse.
#pragma once

#include <QImage>
#include <QWidget>

namespace mivo::ui::qthost {

class DrawOverlay final : public QWidget {
 public:
  DrawOverlay(QWidget* parent, QSize clientSize);

  // Fills a rectangle in client pixels; the parts outside the client area are cut off.
  void Fill(const QRect& rect, const QColor& color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage m_image;
};

}  // namespace mivo::ui::qthost
