// The real recorder window under Qt: every control of the window is there
// with its text, and pictures of the window and the about box are saved.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/recorder_dlg.h"
#include "platform/ui/qt/qt_dialog_host.h"
#include "settings/recorder_ids.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

std::string ShotPath(const std::string& name) {
  std::filesystem::create_directories(MIVO_SCREENSHOT_DIR);
  return std::string(MIVO_SCREENSHOT_DIR) + "/" + name;
}

std::string Joined(const ui::IWindow& w, int id) {
  std::string items;
  for (int i = 0; i < w.GetCount(id); ++i) items += (i ? "\n" : "") + w.GetItemText(id, i);
  return items;
}

TEST(RecorderWindow, ShowsEveryControlWithItsTextAndTheAboutBox) {
  testing::TempFolder dir;
  ASSERT_TRUE(dir.Ok());
  ui::QtDialogHost host;
  RecorderEnvironment env;
  env.host = &host;
  env.settingsPath = dir.PathOf("mivo.ini");
  env.encoderInfo = "No MP3 Encoder.";
  CRecorderDlg dlg(env, false);

  std::string aboutText;
  bool aboutSaved = false;
  QTimer::singleShot(0, [&] {
    ui::IWindow& w = dlg.Wnd();
    for (const ui::ControlTemplate& c : RecorderTemplate().controls) {
      if (c.id <= 0) continue;
      switch (c.kind) {
        case ui::ControlKind::Button:
        case ui::ControlKind::CheckBox:
        case ui::ControlKind::RadioButton:
          EXPECT_EQ(w.GetDlgItemText(c.id), c.text) << c.id;
          break;
        case ui::ControlKind::DropList:
          EXPECT_EQ(Joined(w, c.id), c.text) << c.id;
          break;
        default: break;
      }
    }
    EXPECT_EQ(w.GetDlgItemText(IDC_RATE), "44100 Hz");
    EXPECT_EQ(w.GetDlgItemText(IDC_FORMAT), "16bit stereo");
    EXPECT_EQ(w.GetDlgItemText(IDC_REMAINING), "0");
    EXPECT_EQ(w.GetDlgItemText(IDC_STAGE_LABEL), "-");
    EXPECT_TRUE(ui::SaveWindowPng(w, ShotPath("mivo-window.png")));

    QTimer::singleShot(50, [&] {
      QWidget* about = QApplication::activeModalWidget();
      ASSERT_NE(about, nullptr);
      if (auto* edit = about->findChild<QPlainTextEdit*>()) aboutText = edit->toPlainText().toStdString();
      aboutSaved = about->grab().save(QString::fromStdString(ShotPath("mivo-about.png")));
      about->close();
      QTimer::singleShot(0, [&] { dlg.HandleRemoteCommand("quit"); });
    });
    dlg.OnCommand(IDC_ABOUT, ui::BN_CLICKED);
  });
  host.DoModal(dlg, nullptr);

  EXPECT_EQ(aboutText, "No MP3 Encoder.");
  EXPECT_TRUE(aboutSaved);
  EXPECT_TRUE(std::filesystem::exists(env.settingsPath));
}

TEST(RecorderWindow, FolderNamesThatAreNotUtf8ComeBackUnchanged) {
  testing::TempFolder dir;
  ASSERT_TRUE(dir.Ok());
  // Shift-JIS names from another system, and a stray byte.
  const std::string lines =
      "RecTempFolder=/srv/\x98\x5e\x89\xb9\nRecFolder=\xff\x81" "a\nRecFilePre=\x83\x65\x81\x5b\x83\x76\n";
  testing::WriteBytes(dir.PathOf("mivo.ini"), lines);
  ui::QtDialogHost host;
  RecorderEnvironment env;
  env.host = &host;
  env.settingsPath = dir.PathOf("mivo.ini");
  CRecorderDlg dlg(env, false);
  QTimer::singleShot(0, [&] { dlg.HandleRemoteCommand("quit"); });
  host.DoModal(dlg, nullptr);
  EXPECT_NE(testing::ReadBytes(env.settingsPath).find(lines), std::string::npos);
}

}  // namespace
}  // namespace mivo

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
