// A window host without a display, for tests: control state in memory,
// posted messages and timers pumped by the test, message boxes answered by a
// script while their texts are recorded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace mivo::ui {

class HeadlessHost;

class HeadlessWindow final : public IWindow {
 public:
  HeadlessWindow(HeadlessHost& host, CDialog& dialog);

  // IWindow. Every call is safe from any thread; calls apply in call order.
  void SetDlgItemText(int id, std::string_view text) override;
  std::string GetDlgItemText(int id) const override;
  void EnableDlgItem(int id, bool enable) override;
  bool IsDlgItemEnabled(int id) const override;
  void SetFocus(int id) override;
  int Focused() const;  // the control last given the focus, 0 for none
  void CheckDlgButton(int id, bool checked) override;
  bool IsDlgButtonChecked(int id) const override;
  void ResetContent(int id) override;
  int AddString(int id, std::string_view text) override;
  void SetCurSel(int id, int index) override;
  int GetCurSel(int id) const override;
  int GetCount(int id) const override;
  std::string GetItemText(int id, int index) const override;
  void SetProgressRange(int id, int low, int high) override;
  void SetProgressPos(int id, int pos) override;
  void SetPickerTime(int id, const PickerTime& t) override;
  PickerTime GetPickerTime(int id) const override;
  void FillSolidRect(int x, int y, int w, int h, Color color) override;
  void SetTimer(int timerId, unsigned ms) override;
  void KillTimer(int timerId) override;
  void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
  void EndDialog(int result) override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  // Wait cursors begun and not yet ended, and how many were ever begun.
  int WaitCursorDepth() const;
  int WaitCursorsShown() const;

  // The user, as a test plays it. Each runs the dialog's handler at once.
  void Click(int id);                          // button, check box (toggles), radio (checks)
  void Type(int id, std::string_view text);    // replaces an edit's text, EN_CHANGE
  void Select(int id, int index);              // list selection, CBN_SELCHANGE
  void PressEnter() { m_dialog.OnCommand(IDOK, BN_CLICKED); }
  void PressEscape() { m_dialog.OnCommand(IDCANCEL, BN_CLICKED); }
  void CloseBox() { m_dialog.OnClose(); }

  // Delivers posted messages until none is left (or the dialog ended);
  // returns how many were delivered.
  int PumpMessages();
  // Advances the fake clock, firing due timers in time order.
  void AdvanceTime(unsigned ms);
  bool HasTimer(int timerId) const;

  bool Ended() const;
  int Result() const;

  int ProgressLow(int id) const;
  int ProgressHigh(int id) const;
  int ProgressPos(int id) const;
  struct Fill {
    int x, y, w, h;
    Color color;
  };
  std::vector<Fill> TakeFills();
  CDialog& Dialog() { return m_dialog; }

 private:
  struct Control {
    ControlKind kind = ControlKind::Static;
    std::string text;
    bool enabled = true;
    bool checked = false;
    std::vector<std::string> items;
    int cursel = -1;
    int low = 0, high = 100, pos = 0;
    PickerTime time;
  };
  struct Posted {
    unsigned msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
  };
  struct Timer {
    unsigned interval;
    std::uint64_t due;
  };

  Control* Find(int id);
  const Control* Find(int id) const;
  void UncheckRadioGroup(int id);

  HeadlessHost& m_host;
  CDialog& m_dialog;
  std::thread::id m_guiThread;
  mutable std::mutex m_mtx;
  std::map<int, Control> m_controls;
  std::deque<Posted> m_posted;
  std::map<int, Timer> m_timers;
  std::uint64_t m_now = 0;
  std::vector<Fill> m_fills;
  bool m_bEnded = false;
  int m_nFocused = 0;
  int m_nResult = 0;
  int m_nWaitDepth = 0;
  int m_nWaitShown = 0;
};

class HeadlessHost final : public IDialogHost {
 public:
  struct Box {
    std::string text;
    std::string caption;
    unsigned type;
    bool owned;  // shown by a window (false: no owner)
  };
  // Answers a message box; called on the thread that shows it.
  using Answerer = std::function<int(const Box&)>;
  // Plays the user in a nested modal dialog; it should end the dialog.
  using Script = std::function<void(HeadlessWindow&)>;

  // IDialogHost
  int DoModal(CDialog& dialog, IWindow* parent) override;
  int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
  int MessageBoxTimeout(std::string_view text, std::string_view caption, unsigned type,
                        unsigned timeoutMs) override;
  std::optional<std::string> BrowseForFolder(IWindow* owner, std::string_view title,
                                             std::string_view initialFolder) override;
  void CancelModals() override;
  // What the test declared open (SetOpenModals), then the boxes nobody
  // answers (LeaveBoxesOpen); answering takes the newest.
  std::vector<OpenModal> OpenModals() const override;
  bool AnswerModal(int answer) override;

  // A box or dialog that stays open (as one waiting for nobody would), for
  // the command channel's view of it; and the answers given through it.
  void SetOpenModals(std::vector<OpenModal> open);
  std::vector<int> ModalAnswers() const;

  // Opens a window without running it: the test drives it, then calls Close.
  HeadlessWindow& Open(CDialog& dialog);
  // Calls OnDestroy and forgets the window.
  void Destroy(HeadlessWindow& window);

  // Boxes are answered by the answerer, else by queued answers, else by the
  // first button of the box (IDOK, IDABORT, IDYES, IDRETRY). After
  // LeaveBoxesOpen nobody answers: a box waits for AnswerModal, CancelModals
  // or its timeout (real time).
  void LeaveBoxesOpen();
  void SetAnswerer(Answerer answerer);
  void QueueAnswer(int answer);
  std::vector<Box> Boxes() const;
  void ClearBoxes();

  // Nested DoModal calls run the script queued for the dialog's template id;
  // without one the dialog is initialised and ended with IDCANCEL.
  void QueueScript(int templateId, Script script);
  std::vector<int> ShownDialogs() const;

  // The folder browser's next answer (nothing = cancelled) and what it was asked.
  void QueueFolder(std::optional<std::string> folder);
  std::vector<std::string> BrowsedFrom() const;

  bool ModalsCancelled() const;

 private:
  friend class HeadlessWindow;
  int Answer(const Box& box, std::optional<std::chrono::milliseconds> bound = std::nullopt);
  struct Waiting {
    Box box;
    std::optional<int> answer;
  };

  mutable std::mutex m_mtx;
  std::vector<std::unique_ptr<HeadlessWindow>> m_windows;
  Answerer m_answerer;
  std::deque<int> m_answers;
  std::vector<Box> m_boxes;
  std::multimap<int, Script> m_scripts;
  std::vector<int> m_shown;
  std::deque<std::optional<std::string>> m_folders;
  std::vector<std::string> m_browsedFrom;
  bool m_bCancelled = false;
  std::vector<OpenModal> m_openModals;
  std::vector<int> m_modalAnswers;
  bool m_bLeaveOpen = false;
  std::vector<std::shared_ptr<Waiting>> m_waiting;
  std::condition_variable m_cvAnswered;
};

}  // namespace mivo::ui
