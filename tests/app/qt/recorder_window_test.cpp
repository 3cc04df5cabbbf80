// The real recorder window under Qt: its widgets show the window's texts
// (labels, buttons, frame titles) letter for letter, and pictures of the
// window and the about box are saved.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "app/recorder_dlg.h"
#include "platform/ui/qt/program_icon.h"
#include "platform/ui/qt/qt_dialog_host.h"
#include "settings/recorder_ids.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

std::string ShotPath(const std::string& name) {
  std::filesystem::create_directories(MIVO_SCREENSHOT_DIR);
  return std::string(MIVO_SCREENSHOT_DIR) + "/" + name;
}

// The recorder window's texts as the user sees them on its widgets, by
// control id (buttons, check boxes, radio buttons, labels; a drop-down
// list's items joined with "\n"), and its frames' titles.
struct WindowTexts {
  std::string title;
  std::map<int, std::string> byId;
  std::multiset<std::string> frames;
  std::multiset<std::string> labels;  // static texts without an id
};

WindowTexts ReadTexts(const QWidget& window) {
  WindowTexts t;
  t.title = window.windowTitle().toStdString();
  auto idOf = [](const QObject* o) {
    const QString name = o->objectName();
    return name.startsWith("mivo_ctl_") ? name.mid(9).toInt() : 0;
  };
  for (const QAbstractButton* b : window.findChildren<QAbstractButton*>()) {
    if (idOf(b) > 0) t.byId[idOf(b)] = b->text().toStdString();
  }
  for (const QComboBox* c : window.findChildren<QComboBox*>()) {
    std::string items;
    for (int i = 0; i < c->count(); ++i) items += (i ? "\n" : "") + c->itemText(i).toStdString();
    if (idOf(c) > 0) t.byId[idOf(c)] = items;
  }
  for (const QLabel* l : window.findChildren<QLabel*>()) {
    if (idOf(l) > 0) {
      t.byId[idOf(l)] = l->text().toStdString();
    } else if (!l->text().isEmpty()) {
      t.labels.insert(l->text().toStdString());
    }
  }
  for (const QGroupBox* g : window.findChildren<QGroupBox*>()) t.frames.insert(g->title().toStdString());
  return t;
}

void ExpectTheWindowsOwnTexts(const WindowTexts& t) {
  EXPECT_EQ(t.title, "Mivo");
  const std::map<int, std::string> controls = {
      {1000, "REC"},
      {1001, "STOP"},
      {1030, "SKIP"},
      {1010, "..."},
      {1005, "..."},
      {1013, "WAV"},
      {1014, "午後る"},
      {1029, "設定"},
      {1043, "WMA"},
      {1074, "設定"},
      {1015, "正規化"},
      {1041, "設定"},
      {1021, "ディエンファシス"},
      {1020, "48->44"},
      {1044, "設定"},
      {1023, "タイムスタンプを\n録音開始時刻に"},
      {1070, "無音で区切る"},
      {1045, "設定"},
      {1042, "設定"},
      {1008, "LEVEL"},
      {1009, "SPECTRUM"},
      {1063, "Reset"},
      {1050, "-"},
      {1037, "今から"},
      {1038, "終了後電源断"},
      {1072, "LOGOFF\nPOWEROFF\nREBOOT\nSHUTDOWN"},
      {1073, "通常\nFORCE\nFORCEIFHUNG"},
      {1034, "セット！"},
      {1040, "About..."},
  };
  for (const auto& [id, text] : controls) {
    const auto it = t.byId.find(id);
    ASSERT_NE(it, t.byId.end()) << id;
    EXPECT_EQ(it->second, text) << id;
  }
  const std::multiset<std::string> frames = {"録音ファイルの指定", "変換ステータス", "出力形式", "無音判断",
                                             "入力", "タイマ", "変換"};
  EXPECT_EQ(t.frames, frames);
  // The remaining count reads "残り" … "曲".
  EXPECT_EQ(t.labels.count("残り"), 1u);
  EXPECT_EQ(t.labels.count("曲"), 1u);
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
    const auto* window = dynamic_cast<const QWidget*>(&w);
    ASSERT_NE(window, nullptr);
    ExpectTheWindowsOwnTexts(ReadTexts(*window));
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

// The window's icon is the launcher's: every size rendered from the SVG is
// compiled in, drawn (not empty), and set as the application's icon.
TEST(RecorderWindow, CarriesTheIconOfTheLauncherInEverySize) {
  const QIcon icon = ui::ProgramIcon();
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    const QImage image = icon.pixmap(size, size).toImage();
    ASSERT_EQ(image.size(), QSize(size, size)) << size;
    // The record dot's red at the centre of the upper half, transparent corners.
    const QColor dot = image.pixelColor(size / 2, size * 2 / 5);
    EXPECT_GT(dot.red(), 150) << size;
    EXPECT_LT(dot.green(), 120) << size;
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << size;
  }
  ui::QtDialogHost host;
  EXPECT_EQ(QApplication::windowIcon().availableSizes().size(), 7);
}

}  // namespace
}  // namespace mivo

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
