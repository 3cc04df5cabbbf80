// What the window shows: FillSolidRect in client pixels above the controls,
// the Japanese font and the program icon.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPixmap>

#include "support/temp_folder.h"
#include "test_dialog.h"

namespace mivo::ui::testing {
namespace {

class DrawingTest : public ::testing::Test {
 protected:
  QtDialogHost host;
  ScriptDialog dialog;
  mivo::testing::TempFolder folder;
};

TEST_F(DrawingTest, SolidRectsShowInClientPixelsAboveTheControls) {
  ASSERT_TRUE(folder.Ok());
  const std::string png = folder.PathOf("window.png");
  dialog.script = [&](ScriptDialog& d) {
    IWindow& w = d.Wnd();
    // A meter field on the canvas, and one across the REC button.
    w.FillSolidRect(kCanvasX, kCanvasY, kCanvasW, kCanvasH, Rgb(153, 153, 153));
    w.FillSolidRect(kCanvasX, kCanvasY, 64, kCanvasH, Rgb(0, 255, 0));
    w.FillSolidRect(kCanvasX + 100, kCanvasY, 2, kCanvasH, Rgb(255, 0, 0));
    w.FillSolidRect(12, 12, 30, 6, Rgb(0, 0, 255));
    w.FillSolidRect(500, 390, 100, 100, Rgb(255, 0, 0));  // cut at the client edge
    ASSERT_TRUE(SaveWindowPng(w, png));
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);

  QImage image;
  ASSERT_TRUE(image.load(QString::fromStdString(png)));
  ASSERT_EQ(image.size(), QSize(520, 400));  // 2 pixels per dialog unit
  EXPECT_EQ(image.pixelColor(kCanvasX, kCanvasY + 8), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(kCanvasX + 63, kCanvasY + 15), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(kCanvasX + 64, kCanvasY), QColor(153, 153, 153));
  EXPECT_EQ(image.pixelColor(kCanvasX + 101, kCanvasY + 3), QColor(255, 0, 0));
  EXPECT_NE(image.pixelColor(kCanvasX + 50, kCanvasY + kCanvasH), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(12, 12), QColor(0, 0, 255));
  EXPECT_NE(image.pixelColor(11, 11), QColor(0, 0, 255));
  EXPECT_EQ(image.pixelColor(519, 399), QColor(255, 0, 0));
}

TEST_F(DrawingTest, WindowTextsUseAFontWithJapaneseGlyphs) {
  dialog.script = [](ScriptDialog& d) {
    auto* window = dynamic_cast<QWidget*>(&d.Wnd());
    const QFontMetrics metrics(WidgetOf<QLabel>(d.Wnd(), kPassName)->font());
    for (const QChar ch : QStringLiteral("録音停止設定ファイル")) {
      EXPECT_TRUE(metrics.inFont(ch)) << static_cast<int>(ch.unicode());
    }
    EXPECT_EQ(window->font().pointSize(), 9);
    EXPECT_FALSE(window->windowIcon().isNull());
    const QPixmap icon = WidgetOf<QLabel>(d.Wnd(), kIcon)->pixmap();
    EXPECT_EQ(icon.size(), QSize(32, 32));
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

}  // namespace
}  // namespace mivo::ui::testing
