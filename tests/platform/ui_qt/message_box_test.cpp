// Message boxes: styles to buttons, icons and answers; boxes asked for by a
// worker thread; CancelModals ending every nested box and dialog; the
// folder chooser.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <atomic>
#include <future>
#include <thread>

#include "support/temp_folder.h"
#include "test_dialog.h"

namespace mivo::ui::testing {
namespace {

using Button = QMessageBox::StandardButton;

class MessageBoxTest : public ::testing::Test {
 protected:
  QtDialogHost host;
};

struct StyleCase {
  unsigned type;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
  Button click;
  int answer;
};

TEST_F(MessageBoxTest, StylesGiveButtonsIconAndTheClickedButtonsId) {
  const StyleCase cases[] = {
      {MB_OK | MB_ICONINFORMATION, QMessageBox::Information, Button::Ok, Button::Ok, IDOK},
      {MB_OKCANCEL | MB_ICONQUESTION, QMessageBox::Question, Button::Ok | Button::Cancel,
       Button::Cancel, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_ICONSTOP, QMessageBox::Critical,
       Button::Abort | Button::Retry | Button::Ignore, Button::Retry, IDRETRY},
      {MB_ABORTRETRYIGNORE | MB_ICONSTOP, QMessageBox::Critical,
       Button::Abort | Button::Retry | Button::Ignore, Button::Ignore, IDIGNORE},
      {MB_YESNOCANCEL | MB_ICONEXCLAMATION, QMessageBox::Warning,
       Button::Yes | Button::No | Button::Cancel, Button::No, IDNO},
      {MB_YESNO, QMessageBox::NoIcon, Button::Yes | Button::No, Button::Yes, IDYES},
      {MB_RETRYCANCEL | MB_ICONWARNING, QMessageBox::Warning, Button::Retry | Button::Cancel,
       Button::Retry, IDRETRY},
  };
  for (const StyleCase& c : cases) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QString caption, text, cancelText;
    QTimer::singleShot(0, [&] {
      ASSERT_TRUE(WaitFor([] { return VisibleBox() != nullptr; }));
      QMessageBox* box = VisibleBox();
      icon = box->icon();
      buttons = box->standardButtons();
      caption = box->windowTitle();
      text = box->text();
      if (QAbstractButton* cancel = box->button(Button::Cancel)) cancelText = cancel->text();
      box->button(c.click)->click();
    });
    EXPECT_EQ(host.MessageBox("デバイスを開けません\r\n(2)", "Mivo 録音", c.type), c.answer)
        << c.type;
    EXPECT_EQ(icon, c.icon) << c.type;
    EXPECT_EQ(buttons, c.buttons) << c.type;
    EXPECT_EQ(caption, "Mivo 録音");
    EXPECT_EQ(text, "デバイスを開けません\n(2)");
    if (c.buttons & Button::Cancel) {
      EXPECT_EQ(cancelText, "キャンセル") << "Japanese button texts";
    }
  }

  QString caption;
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(WaitFor([] { return VisibleBox() != nullptr; }));
    caption = VisibleBox()->windowTitle();
    VisibleBox()->button(Button::Ok)->click();
  });
  host.MessageBox("x", "", MB_OK);
  EXPECT_EQ(caption, "Mivo");
}

// A box of OnInitDialog, before the window is shown: over the window, which
// then opens in the middle of the screen.
class BoxAtStart : public ScriptDialog {
 public:
  bool OnInitDialog() override {
    QTimer::singleShot(0, [this] {
      ASSERT_TRUE(WaitFor([] { return VisibleBox() != nullptr; }));
      boxCentre = VisibleBox()->frameGeometry().center();
      VisibleBox()->button(Button::Ok)->click();
    });
    Wnd().MessageBox("入力デバイスがありません", "Mivo", MB_OK);
    return ScriptDialog::OnInitDialog();
  }
  QPoint boxCentre;
};

TEST_F(MessageBoxTest, ABoxBeforeTheWindowIsShownIsCentredOverIt) {
  BoxAtStart dialog;
  QPoint windowCentre;
  dialog.script = [&](ScriptDialog& d) {
    windowCentre = dynamic_cast<QWidget&>(d.Wnd()).frameGeometry().center();
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
  const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LT((dialog.boxCentre - windowCentre).manhattanLength(), 60)
      << dialog.boxCentre.x() << "," << dialog.boxCentre.y();
  EXPECT_LT((windowCentre - screenCentre).manhattanLength(), 60)
      << windowCentre.x() << "," << windowCentre.y();
}

TEST_F(MessageBoxTest, AWorkersBoxBlocksOnlyTheWorker) {
  ScriptDialog dialog;
  dialog.script = [](ScriptDialog& d) {
    std::atomic<int> answer = 0;
    std::atomic<bool> stop = false;
    std::thread asker([&] {
      d.Wnd().SetDlgItemText(kPassName, "MP3");
      answer = d.Wnd().MessageBox("エンコードに失敗しました", "Mivo",
                                  MB_ABORTRETRYIGNORE | MB_ICONSTOP);
    });
    std::thread poster([&] {
      for (int i = 0; !stop; ++i) {
        d.Wnd().PostMessage(WM_USER, i, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    ASSERT_TRUE(WaitFor([] { return VisibleBox() != nullptr; }));
    EXPECT_EQ(d.Wnd().GetDlgItemText(kPassName), "MP3");  // applied before the box
    EXPECT_EQ(VisibleBox()->icon(), QMessageBox::Critical);
    const std::size_t before = d.Log().size();
    EXPECT_TRUE(WaitFor([&] { return d.Log().size() > before + 10; }));
    EXPECT_EQ(answer, 0);
    VisibleBox()->button(Button::Ignore)->click();
    asker.join();
    stop = true;
    poster.join();
    EXPECT_EQ(answer, IDIGNORE);
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

// What `mivo --command status` and `answer` see: the window's own box and
// a worker's box, with their texts and buttons, answered as a click would.
TEST_F(MessageBoxTest, OpenBoxesAreListedAndAnsweredByTheHost) {
  ScriptDialog dialog;
  dialog.script = [this](ScriptDialog& d) {
    EXPECT_TRUE(host.OpenModals().empty());
    std::atomic<int> workerAnswer = 0;
    std::thread worker([&] { workerAnswer = d.Wnd().MessageBox("変換に失敗しました", "Mivo", MB_YESNO); });
    ASSERT_TRUE(WaitFor([] { return VisibleBox() != nullptr; }));
    std::vector<OpenModal> open = host.OpenModals();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_TRUE(open[0].box);
    EXPECT_EQ(open[0].caption, "Mivo");
    EXPECT_EQ(open[0].text, "変換に失敗しました");
    EXPECT_EQ(open[0].type, MB_YESNO);
    EXPECT_FALSE(host.AnswerModal(IDOK));  // no such button
    QTimer::singleShot(0, [&] {
      open = host.OpenModals();
      EXPECT_EQ(open.size(), 2u);
      EXPECT_TRUE(host.AnswerModal(IDRETRY));  // the newest: the window's own
    });
    EXPECT_EQ(d.Wnd().MessageBox("一行目\r\n二行目", "", MB_RETRYCANCEL), IDRETRY);
    ASSERT_EQ(host.OpenModals().size(), 1u);
    EXPECT_EQ(host.OpenModals()[0].text, "変換に失敗しました");
    EXPECT_TRUE(host.AnswerModal(IDNO));
    worker.join();
    EXPECT_EQ(workerAnswer, IDNO);
    EXPECT_TRUE(WaitFor([this] { return host.OpenModals().empty(); }));
    EXPECT_FALSE(host.AnswerModal(IDCANCEL));
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

// A worker's box with a bound: listed and answered as any other while open;
// unanswered, it closes itself when its time is up.
TEST_F(MessageBoxTest, ABoundedWorkersBoxClosesItselfWhenItsTimeIsUp) {
  ScriptDialog dialog;
  dialog.script = [this](ScriptDialog&) {
    auto answered = std::async(std::launch::async, [this] { return host.MessageBoxTimeout("a", "Mivo", MB_OK, 60000); });
    ASSERT_TRUE(WaitFor([this] { return host.OpenModals().size() == 1; }));
    EXPECT_TRUE(host.AnswerModal(IDOK));
    EXPECT_EQ(answered.get(), IDOK);
    auto unanswered = std::async(std::launch::async, [this] { return host.MessageBoxTimeout("b", "Mivo", MB_OK, 1); });
    EXPECT_EQ(unanswered.get(), MB_TIMEDOUT);
    EXPECT_TRUE(WaitFor([this] { return host.OpenModals().empty() && VisibleBox() == nullptr; }));
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

TEST_F(MessageBoxTest, CancelModalsEndsNestedBoxesDialogsAndWaitingWorkers) {
  ScriptDialog outer;
  ScriptDialog child;
  int childBox = 0, childResult = 0;
  std::future<int> workerBox;
  child.script = [&](ScriptDialog& c) {
    childBox = c.Wnd().MessageBox("保存しますか", "Mivo", MB_OKCANCEL | MB_ICONQUESTION);
    // The script's EndDialog(IDOK) comes after CancelModals ended the run.
  };
  outer.endAfterScript = false;
  outer.script = [&](ScriptDialog& o) {
    workerBox = std::async(std::launch::async, [&] {
      return o.Wnd().MessageBox("中断しますか", "Mivo", MB_ABORTRETRYIGNORE);
    });
    // The boxes run nested loops: watch for them from a timer, not a loop.
    std::atomic<bool> bothUp = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      int boxes = 0;
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(w) != nullptr && w->isVisible()) ++boxes;
      }
      if (boxes == 2) bothUp = true;
    });
    watch.start(5);
    std::thread canceller([&] {
      // As the thread that handles SIGTERM would.
      while (!bothUp) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      host.CancelModals();
    });
    childResult = host.DoModal(child, &o.Wnd());
    canceller.join();
    o.Wnd().EndDialog(IDCANCEL);
  };
  EXPECT_EQ(host.DoModal(outer, nullptr), IDCANCEL);
  EXPECT_EQ(childBox, IDCANCEL);
  EXPECT_EQ(childResult, IDCANCEL);
  ASSERT_TRUE(workerBox.valid());
  EXPECT_EQ(workerBox.get(), IDABORT);

  // Shutting down: later boxes answer at once, as if cancelled.
  auto later = std::async(std::launch::async, [&] { return host.MessageBox("a", "b", MB_OK); });
  EXPECT_EQ(later.get(), IDOK);
  EXPECT_EQ(host.MessageBox("a", "b", MB_YESNOCANCEL), IDCANCEL);
}

TEST_F(MessageBoxTest, FolderChooserStartsAtTheFolderAndGivesTheChoiceAsBytes) {
  const mivo::testing::TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  const std::string chosen = folder.PathOf("録音");
  ASSERT_TRUE(std::filesystem::create_directory(chosen));
  const auto answer = [&](bool accept) {
    QTimer::singleShot(0, [&, accept] {
      QFileDialog* chooser = nullptr;
      ASSERT_TRUE(WaitFor([&] {
        chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        return chooser != nullptr;
      }));
      EXPECT_EQ(chooser->directory().absolutePath(), QString::fromStdString(folder.Dir().string()));
      EXPECT_EQ(chooser->windowTitle(), "保存先");
      chooser->setDirectory(QString::fromStdString(chosen));
      QDialog* asDialog = chooser;  // QFileDialog::accept is protected
      accept ? asDialog->accept() : asDialog->reject();
    });
    return host.BrowseForFolder(nullptr, "保存先", folder.Dir().string());
  };
  EXPECT_EQ(answer(true), std::optional<std::string>(chosen));
  EXPECT_EQ(answer(false), std::nullopt);
}

}  // namespace
}  // namespace mivo::ui::testing
