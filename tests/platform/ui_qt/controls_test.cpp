// Control state through IWindow: texts, enabling, check marks, lists,
// progress bars and pickers, as the widgets show them.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimeEdit>
#include <QtTest/QTest>

#include "test_dialog.h"

namespace mivo::ui::testing {
namespace {

class ControlsTest : public ::testing::Test {
 protected:
  // Runs `script` inside the modal run of a fresh test dialog.
  void Run(const std::function<void(ScriptDialog&, IWindow&)>& script) {
    dialog.script = [&](ScriptDialog& d) { script(d, d.Wnd()); };
    EXPECT_EQ(host.DoModal(dialog, nullptr), IDOK);
    EXPECT_FALSE(dialog.IsAttached());
  }
  QtDialogHost host;
  ScriptDialog dialog;
};

TEST_F(ControlsTest, TextsRoundTripAsUtf8AndEditsNotifyChanges) {
  Run([](ScriptDialog& d, IWindow& w) {
    for (const int id : {kRec, kTrackName, kPrefix, kWav, kLevel, kPassName, kFrame}) {
      w.SetDlgItemText(id, "録音ファイル①");
      EXPECT_EQ(w.GetDlgItemText(id), "録音ファイル①") << id;
    }
    EXPECT_EQ(w.GetDlgItemText(kStamp), "タイムスタンプを\n録音開始時刻に");
    EXPECT_TRUE(WidgetOf<QCheckBox>(w, kStamp)->text().contains('\n'));

    w.SetDlgItemText(kLog, "一行目\r\n二行目");
    EXPECT_EQ(WidgetOf<QPlainTextEdit>(w, kLog)->document()->blockCount(), 2);
    EXPECT_EQ(w.GetDlgItemText(kLog), "一行目\r\n二行目");

    // Setting an edit's text notifies, as EN_CHANGE does for WM_SETTEXT.
    EXPECT_EQ(d.Count("cmd 1002 768"), 1);
    EXPECT_EQ(d.Count("cmd 1060 768"), 1);
    // Labels and buttons do not.
    EXPECT_EQ(d.Count("cmd 1000 0"), 0);
  });
}

TEST_F(ControlsTest, EditsHoldBytesAndConvertOnlyWhatTheyShow) {
  Run([](ScriptDialog& d, IWindow& w) {
    // Shift-JIS "録音" and a stray byte: no UTF-8.
    const std::string folder = "/srv/\x98\x5e\x89\xb9/\xff";
    std::string notified;
    d.onCommand = [&](int id, int code) {
      if (id == kTrackName && code == EN_CHANGE) notified = w.GetDlgItemText(id);
    };
    w.SetDlgItemText(kTrackName, folder);
    EXPECT_EQ(notified, folder);
    EXPECT_EQ(w.GetDlgItemText(kTrackName), folder);
    EXPECT_EQ(WidgetOf<QLineEdit>(w, kTrackName)->text(), QStringLiteral(u"/srv/\uFFFD^\uFFFD\uFFFD/\uFFFD"));

    const std::string log = "\xe9\x8c\xb2\x81\r\n\xf0\x9f\x8e\xb5\xfe";  // 録, a stray byte, a line break, 🎵
    w.SetDlgItemText(kLog, log);
    EXPECT_EQ(w.GetDlgItemText(kLog), log);

    // What the user leaves as it was keeps its bytes.
    w.SetDlgItemText(kPrefix, "a\xff" "b");
    auto* prefix = WidgetOf<QLineEdit>(w, kPrefix);
    QTest::keyClicks(prefix, "c");
    EXPECT_EQ(w.GetDlgItemText(kPrefix), "a\xff" "bc");
    QTest::keyClick(prefix, Qt::Key_Home);
    QTest::keyClick(prefix, Qt::Key_Delete);
    EXPECT_EQ(w.GetDlgItemText(kPrefix), "\xff" "bc");
    WidgetOf<QPlainTextEdit>(w, kLog)->moveCursor(QTextCursor::End);
    QTest::keyClick(WidgetOf<QPlainTextEdit>(w, kLog), Qt::Key_Return);
    EXPECT_EQ(w.GetDlgItemText(kLog), log + "\r\n");
  });
}

TEST_F(ControlsTest, EditsKeepToDigitsAndLimitWhenTyped) {
  Run([](ScriptDialog& d, IWindow& w) {
    w.SetDlgItemText(kHours, "");
    QTest::keyClicks(WidgetOf<QLineEdit>(w, kHours), "12a3");
    EXPECT_EQ(w.GetDlgItemText(kHours), "123");

    w.SetDlgItemText(kPrefix, "");
    QTest::keyClicks(WidgetOf<QLineEdit>(w, kPrefix), "0123456789");
    EXPECT_EQ(w.GetDlgItemText(kPrefix), "01234567");
    EXPECT_GE(d.Count("cmd 1003 768"), 8);
  });
}

TEST_F(ControlsTest, EnablingAndCheckMarks) {
  Run([](ScriptDialog& d, IWindow& w) {
    EXPECT_FALSE(w.IsDlgItemEnabled(kAbout));  // disabled in the template
    w.EnableDlgItem(kAbout, true);
    w.EnableDlgItem(kRec, false);
    EXPECT_TRUE(w.IsDlgItemEnabled(kAbout));
    EXPECT_FALSE(w.IsDlgItemEnabled(kRec));

    // A click toggles the check box before BN_CLICKED arrives.
    bool checkedAtCommand = false;
    d.onCommand = [&](int id, int) {
      if (id == kWav) checkedAtCommand = w.IsDlgButtonChecked(kWav);
    };
    WidgetOf<QCheckBox>(w, kWav)->click();
    EXPECT_TRUE(checkedAtCommand);
    EXPECT_EQ(d.Count("cmd 1013 0"), 1);
    w.CheckDlgButton(kWav, false);
    EXPECT_FALSE(w.IsDlgButtonChecked(kWav));
    EXPECT_EQ(d.Count("cmd 1013 0"), 1);  // programmatic changes do not notify
    d.onCommand = nullptr;
  });
}

TEST_F(ControlsTest, RadioButtonsAreExclusiveWithinTheirGroupOnly) {
  Run([](ScriptDialog& d, IWindow& w) {
    w.CheckDlgButton(kLevel, true);
    w.CheckDlgButton(kModeA, true);
    WidgetOf<QRadioButton>(w, kSpectrum)->click();
    EXPECT_TRUE(w.IsDlgButtonChecked(kSpectrum));
    EXPECT_FALSE(w.IsDlgButtonChecked(kLevel));
    EXPECT_TRUE(w.IsDlgButtonChecked(kModeA));  // another group
    EXPECT_EQ(d.Count("cmd 1009 0"), 1);

    WidgetOf<QRadioButton>(w, kSpectrum)->click();  // a checked one stays checked
    EXPECT_TRUE(w.IsDlgButtonChecked(kSpectrum));

    w.CheckDlgButton(kSpectrum, false);  // really unchecks: none of the group is left
    EXPECT_FALSE(w.IsDlgButtonChecked(kSpectrum));
    EXPECT_FALSE(w.IsDlgButtonChecked(kLevel));

    w.CheckDlgButton(kModeB, true);
    EXPECT_FALSE(w.IsDlgButtonChecked(kModeA));
  });
}

TEST_F(ControlsTest, DropListKeepsItemsAsGivenAndNotifiesOnlyTheUsersChoice) {
  Run([](ScriptDialog& d, IWindow& w) {
    ASSERT_EQ(w.GetCount(kForce), 3);
    EXPECT_EQ(w.GetItemText(kForce, 0), "通常");
    EXPECT_EQ(w.GetItemText(kForce, 2), "FORCEIFHUNG ");
    EXPECT_EQ(w.GetItemText(kForce, 3), "");
    EXPECT_EQ(w.GetCurSel(kForce), -1);

    w.SetCurSel(kForce, 1);
    EXPECT_EQ(w.GetCurSel(kForce), 1);
    EXPECT_EQ(w.GetDlgItemText(kForce), "FORCE");
    w.SetCurSel(kForce, 7);
    EXPECT_EQ(w.GetCurSel(kForce), -1);

    w.ResetContent(kForce);
    EXPECT_EQ(w.GetCount(kForce), 0);
    EXPECT_EQ(w.AddString(kForce, "LOGOFF"), 0);
    EXPECT_EQ(w.AddString(kForce, "POWEROFF"), 1);
    EXPECT_EQ(w.GetCurSel(kForce), -1);  // adding selects nothing
    EXPECT_EQ(d.Count("cmd 1072 1"), 0);

    w.SetCurSel(kForce, 0);
    QTest::keyClick(WidgetOf<QComboBox>(w, kForce), Qt::Key_Down);
    EXPECT_EQ(w.GetCurSel(kForce), 1);
    EXPECT_EQ(d.Count("cmd 1072 1"), 1);
  });
}

TEST_F(ControlsTest, ListBoxSelectionAndTheUsersClick) {
  Run([](ScriptDialog& d, IWindow& w) {
    ASSERT_EQ(w.GetCount(kList), 3);
    EXPECT_EQ(w.GetCurSel(kList), -1);
    w.SetCurSel(kList, 1);
    EXPECT_EQ(w.GetCurSel(kList), 1);
    EXPECT_EQ(w.GetDlgItemText(kList), "に");
    w.SetCurSel(kList, -1);
    EXPECT_EQ(w.GetCurSel(kList), -1);
    EXPECT_EQ(w.AddString(kList, "よん"), 3);
    EXPECT_EQ(w.GetItemText(kList, 3), "よん");
    EXPECT_EQ(d.Count("cmd 1080 1"), 0);

    QListWidget* list = WidgetOf<QListWidget>(w, kList);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(2)).center());
    EXPECT_EQ(w.GetCurSel(kList), 2);
    EXPECT_EQ(d.Count("cmd 1080 1"), 1);

    w.ResetContent(kList);
    EXPECT_EQ(w.GetCount(kList), 0);
    EXPECT_EQ(w.GetCurSel(kList), -1);
    EXPECT_EQ(d.Count("cmd 1080 1"), 1);
  });
}

TEST_F(ControlsTest, ProgressBarsClampAndShowEmptyRangesEmpty) {
  Run([](ScriptDialog&, IWindow& w) {
    QProgressBar* bar = WidgetOf<QProgressBar>(w, kStageBar);
    EXPECT_EQ(bar->value(), 0);
    w.SetProgressPos(kStageBar, 150);  // default range 0..100
    EXPECT_EQ(bar->value(), 100);
    w.SetProgressPos(kStageBar, -5);
    EXPECT_EQ(bar->value(), 0);
    w.SetProgressRange(kStageBar, 10, 20);
    EXPECT_EQ(bar->value(), 10);
    w.SetProgressPos(kStageBar, 15);
    EXPECT_EQ(bar->value(), 15);
    w.SetProgressPos(kStageBar, 30);
    EXPECT_EQ(bar->value(), 20);

    QProgressBar* track = WidgetOf<QProgressBar>(w, kTrackBar);
    for (const auto& [low, high] : {std::pair{0, 0}, std::pair{5, 5}, std::pair{9, 3}}) {
      w.SetProgressRange(kTrackBar, low, high);
      w.SetProgressPos(kTrackBar, 4);
      // Not Qt's busy indicator (minimum == maximum) and nothing filled.
      EXPECT_LT(track->minimum(), track->maximum()) << low << ".." << high;
      EXPECT_EQ(track->value(), track->minimum()) << low << ".." << high;
    }
  });
}

TEST_F(ControlsTest, PickersShowShortDateAndTimeAndKeepTheWholeValue) {
  Run([](ScriptDialog&, IWindow& w) {
    w.SetPickerTime(kDate, {true, 2024, 3, 5, 7, 8, 9});
    w.SetPickerTime(kTime, {true, 2030, 12, 31, 23, 59, 58});
    const PickerTime date = w.GetPickerTime(kDate);
    const PickerTime time = w.GetPickerTime(kTime);
    EXPECT_TRUE(date.valid && time.valid);
    EXPECT_EQ(std::tie(date.year, date.month, date.day, date.hour, date.minute, date.second),
              std::make_tuple(2024, 3, 5, 7, 8, 9));
    EXPECT_EQ(std::tie(time.year, time.month, time.day, time.hour, time.minute, time.second),
              std::make_tuple(2030, 12, 31, 23, 59, 58));
    EXPECT_EQ(WidgetOf<QDateEdit>(w, kDate)->text(), "2024/03/05");
    EXPECT_EQ(WidgetOf<QTimeEdit>(w, kTime)->text(), "23:59:58");
    EXPECT_TRUE(WidgetOf<QDateEdit>(w, kDate)->calendarPopup());

    // "No date": nothing is read back until a value is set again.
    w.SetPickerTime(kDate, PickerTime{});
    w.SetPickerTime(kTime, PickerTime{});
    EXPECT_FALSE(w.GetPickerTime(kDate).valid);
    EXPECT_FALSE(w.GetPickerTime(kTime).valid);
    EXPECT_EQ(WidgetOf<QTimeEdit>(w, kTime)->text(), "--:--:--");
    WidgetOf<QTimeEdit>(w, kTime)->stepBy(1);  // the user's first change gives a value
    EXPECT_TRUE(w.GetPickerTime(kTime).valid);
    w.SetPickerTime(kTime, {true, 2030, 12, 31, 0, 0, 0});
    EXPECT_EQ(WidgetOf<QTimeEdit>(w, kTime)->text(), "00:00:00");
    w.SetPickerTime(kDate, {true, 2026, 3, 29, 2, 30, 0});  // a local daylight-saving gap is kept as entered
    const PickerTime gap = w.GetPickerTime(kDate);
    EXPECT_EQ(std::tie(gap.valid, gap.day, gap.hour, gap.minute), std::make_tuple(true, 29, 2, 30));
  });
}

}  // namespace
}  // namespace mivo::ui::testing
