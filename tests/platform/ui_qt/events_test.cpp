// What reaches the dialog and when: timers, posted messages from other
// threads (also during nested modal loops), setters made by a worker, and
// the keys and close box that must not close a window on their own.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <QtTest/QTest>

#include <atomic>
#include <thread>

#include "test_dialog.h"

namespace mivo::ui::testing {
namespace {

std::uintptr_t MakeWParam(int low, int high) {
  return static_cast<std::uintptr_t>((low & 0xFFFF) | ((high & 0xFFFF) << 16));
}

class EventsTest : public ::testing::Test {
 protected:
  QtDialogHost host;
  ScriptDialog dialog;
};

TEST_F(EventsTest, TimersFireUntilKilledAndRestartWhenSetAgain) {
  dialog.script = [](ScriptDialog& d) {
    d.Wnd().SetTimer(7, 15);
    EXPECT_TRUE(WaitFor([&] { return d.Count("timer 7") >= 3; }));
    d.Wnd().KillTimer(7);
    const int fired = d.Count("timer 7");
    WaitFor([] { return false; }, 80);
    EXPECT_EQ(d.Count("timer 7"), fired);

    d.Wnd().SetTimer(8, 60000);
    d.Wnd().SetTimer(8, 15);  // the new period replaces the old one
    EXPECT_TRUE(WaitFor([&] { return d.Count("timer 8") >= 1; }, 2000));
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

TEST_F(EventsTest, PostedMessagesFromAWorkerArriveInOrderAndAreRouted) {
  dialog.onClose = [] {};
  dialog.script = [](ScriptDialog& d) {
    std::thread worker([&] {
      for (int i = 0; i < 50; ++i) d.Wnd().PostMessage(WM_USER + 1, i, -i);
      d.Wnd().PostMessage(WM_COMMAND, MakeWParam(kRec, BN_CLICKED), 0);
      d.Wnd().PostMessage(MM_WIM_DATA, 0, 42);
      d.Wnd().PostMessage(WM_CLOSE, 0, 0);
    });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return d.Count("close") == 1; }));
    const std::vector<std::string> log = d.Log();
    ASSERT_EQ(log.size(), 53u);
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(log[i], "msg 1025 " + std::to_string(i) + " " + std::to_string(-i));
    }
    EXPECT_EQ(log[50], "cmd 1000 0");
    EXPECT_EQ(log[51], "msg 960 0 42");
    EXPECT_EQ(log[52], "close");
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

TEST_F(EventsTest, WorkerSettersApplyInTheOrderOfTheCallsAmongPostedMessages) {
  std::vector<std::string> seen;
  dialog.onCommand = [&](int id, int code) {
    if (id == kTrackName && code == EN_CHANGE) {
      seen.push_back("text " + dialog.Wnd().GetDlgItemText(kTrackName));
    }
  };
  dialog.script = [&](ScriptDialog& d) {
    std::thread worker([&] {
      for (int i = 0; i < 20; ++i) {
        d.Wnd().SetDlgItemText(kTrackName, "曲" + std::to_string(i));
        d.Wnd().SetProgressRange(kStageBar, 0, 20);
        d.Wnd().SetProgressPos(kStageBar, i);
        d.Wnd().PostMessage(WM_USER, i, 0);
      }
      d.Wnd().SetDlgItemText(kPassName, "正規化");
    });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return d.Count("msg 1024 19 0") == 1; }));
    WaitFor([] { return false; }, 20);
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(seen.at(i), "text 曲" + std::to_string(i));
      EXPECT_EQ(d.Log().at(2 * i + 1), "msg 1024 " + std::to_string(i) + " 0");
    }
    EXPECT_EQ(d.Wnd().GetDlgItemText(kPassName), "正規化");
    EXPECT_EQ(WidgetOf<QProgressBar>(d.Wnd(), kStageBar)->value(), 19);
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

TEST_F(EventsTest, PostsAndTimersKeepArrivingDuringANestedMessageBox) {
  dialog.script = [](ScriptDialog& d) {
    d.Wnd().SetTimer(3, 10);
    std::atomic<bool> stop = false;
    std::thread worker([&] {
      for (int i = 0; !stop; ++i) {
        d.Wnd().PostMessage(MM_WIM_DATA, i, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    int postsWhileOpen = 0, timersWhileOpen = 0;
    QTimer::singleShot(0, [&] {
      ASSERT_TRUE(WaitFor([] { return VisibleBox() != nullptr; }));
      const int posts = static_cast<int>(d.Log().size()) - d.Count("timer 3");
      const int timers = d.Count("timer 3");
      // Counts, not a time: under load the posts and ticks come late, not fewer.
      auto postsNow = [&] { return static_cast<int>(d.Log().size()) - d.Count("timer 3") - posts; };
      WaitFor([&] { return d.Count("timer 3") >= timers + 3 && postsNow() > 5; }, 60000);
      postsWhileOpen = postsNow();
      timersWhileOpen = d.Count("timer 3") - timers;
      VisibleBox()->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(d.Wnd().MessageBox("録音中です", "Mivo", MB_OK | MB_ICONEXCLAMATION), IDOK);
    stop = true;
    worker.join();
    d.Wnd().KillTimer(3);
    EXPECT_GT(postsWhileOpen, 5);
    EXPECT_GE(timersWhileOpen, 3);
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
}

TEST_F(EventsTest, EnterEscapeAndCloseBoxGoToTheDialogWithoutClosingIt) {
  dialog.onOK = [] {};
  dialog.onCancel = [] {};
  dialog.onClose = [] {};
  dialog.endAfterScript = false;
  dialog.script = [](ScriptDialog& d) {
    auto* window = dynamic_cast<QWidget*>(&d.Wnd());
    QTest::keyClick(window, Qt::Key_Return);
    QTest::keyClick(window, Qt::Key_Escape);
    QTest::keyClick(WidgetOf<QLineEdit>(d.Wnd(), kPrefix), Qt::Key_Enter, Qt::KeypadModifier);
    window->close();
    d.Wnd().PostMessage(WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return d.Count("close") == 2; }));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(d.Log(), (std::vector<std::string>{"cmd 1 0", "ok", "cmd 2 0", "cancel", "cmd 1 0",
                                                 "ok", "close", "close"}));
    d.Wnd().EndDialog(5);
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), 5);
}

TEST_F(EventsTest, DefaultHandlersEndTheRunAndNothingArrivesAfterIt) {
  dialog.endAfterScript = false;
  dialog.script = [](ScriptDialog& d) {
    QTest::keyClick(dynamic_cast<QWidget*>(&d.Wnd()), Qt::Key_Escape);
    // The ended window gets nothing more, although a nested loop still runs.
    d.Wnd().PostMessage(WM_USER, 2, 0);
    d.Wnd().SetTimer(4, 10);
    QTimer::singleShot(0, [] {
      WaitFor([] { return false; }, 60);
      VisibleBox()->button(QMessageBox::Ok)->click();
    });
    d.Wnd().MessageBox("終了します", "Mivo", MB_OK);
  };
  EXPECT_EQ(host.DoModal(dialog, nullptr), IDCANCEL);
  EXPECT_EQ(dialog.Log(), (std::vector<std::string>{"cmd 2 0", "cancel"}));

  ScriptDialog closed;
  closed.endAfterScript = false;
  closed.script = [](ScriptDialog& d) { dynamic_cast<QWidget*>(&d.Wnd())->close(); };
  EXPECT_EQ(host.DoModal(closed, nullptr), IDCANCEL);

  struct Refusing : ScriptDialog {
    bool OnInitDialog() override { return false; }
    void OnDestroy() override { destroyed = true; }
    bool destroyed = false;
  } refusing;
  refusing.script = [](ScriptDialog&) { FAIL() << "shown although OnInitDialog failed"; };
  EXPECT_EQ(host.DoModal(refusing, nullptr), IDCANCEL);
  EXPECT_TRUE(refusing.destroyed);
}

}  // namespace
}  // namespace mivo::ui::testing
