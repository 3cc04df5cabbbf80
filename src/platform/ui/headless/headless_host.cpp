#include "platform/ui/headless/headless_host.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace mivo::ui {
namespace {

std::vector<std::string> SplitItems(const std::string& text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::string::size_type start = 0;
  for (;;) {
    const auto nl = text.find('\n', start);
    items.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return items;
}

// The caption a box is shown with, as the Qt host shows it.
std::string CaptionOf(std::string_view caption) { return std::string(caption.empty() ? kAppTitle : caption); }

int FirstButton(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNO:
    case MB_YESNOCANCEL: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDOK;
  }
}

int CancelAnswer(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK: return IDOK;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNO: return IDNO;
    default: return IDCANCEL;
  }
}

bool HasButton(unsigned type, int answer) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return answer == IDOK || answer == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return answer == IDABORT || answer == IDRETRY || answer == IDIGNORE;
    case MB_YESNOCANCEL: return answer == IDYES || answer == IDNO || answer == IDCANCEL;
    case MB_YESNO: return answer == IDYES || answer == IDNO;
    case MB_RETRYCANCEL: return answer == IDRETRY || answer == IDCANCEL;
    default: return answer == IDOK;
  }
}

}  // namespace

HeadlessWindow::HeadlessWindow(HeadlessHost& host, CDialog& dialog)
    : m_host(host), m_dialog(dialog), m_guiThread(std::this_thread::get_id()) {
  for (const ControlTemplate& c : dialog.Template().controls) {
    if (c.id == 0 || c.id == -1) continue;
    Control control;
    control.kind = c.kind;
    control.enabled = (c.style & kDisabled) == 0;
    if (c.kind == ControlKind::DropList || c.kind == ControlKind::ListBox) {
      control.items = SplitItems(c.text);
    } else if (c.kind != ControlKind::Edit) {
      control.text = c.text;
    }
    if (c.kind == ControlKind::DatePicker || c.kind == ControlKind::TimePicker) {
      control.time = PickerTime{true, 2026, 1, 1, 0, 0, 0};
    }
    m_controls[c.id] = std::move(control);
  }
}

HeadlessWindow::Control* HeadlessWindow::Find(int id) {
  auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : &it->second;
}

const HeadlessWindow::Control* HeadlessWindow::Find(int id) const {
  auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : &it->second;
}

void HeadlessWindow::SetDlgItemText(int id, std::string_view text) {
  bool isEdit = false;
  {
    std::lock_guard lock(m_mtx);
    Control* c = Find(id);
    if (!c) return;
    c->text = std::string(text);
    isEdit = c->kind == ControlKind::Edit;
  }
  // Like SetWindowText on an edit, a change made by the program on the
  // window's thread notifies EN_CHANGE too.
  if (isEdit && std::this_thread::get_id() == m_guiThread) m_dialog.OnCommand(id, EN_CHANGE);
}

std::string HeadlessWindow::GetDlgItemText(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? c->text : std::string();
}

void HeadlessWindow::EnableDlgItem(int id, bool enable) {
  std::lock_guard lock(m_mtx);
  if (Control* c = Find(id)) c->enabled = enable;
}

bool HeadlessWindow::IsDlgItemEnabled(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c && c->enabled;
}

void HeadlessWindow::UncheckRadioGroup(int id) {
  // The radio buttons of one group run from a kGroup button to the next one.
  const auto& controls = m_dialog.Template().controls;
  auto self = std::find_if(controls.begin(), controls.end(),
                           [id](const ControlTemplate& c) { return c.id == id; });
  if (self == controls.end()) return;
  auto first = self;
  while (first != controls.begin() && !(first->style & kGroup)) --first;
  for (auto it = first; it != controls.end(); ++it) {
    if (it != first && (it->style & kGroup)) break;
    if (it->kind == ControlKind::RadioButton && it->id != id) {
      if (Control* c = Find(it->id)) c->checked = false;
    }
  }
}

void HeadlessWindow::SetFocus(int id) {
  std::lock_guard lock(m_mtx);
  if (Find(id)) m_nFocused = id;
}

int HeadlessWindow::Focused() const {
  std::lock_guard lock(m_mtx);
  return m_nFocused;
}

void HeadlessWindow::CheckDlgButton(int id, bool checked) {
  std::lock_guard lock(m_mtx);
  Control* c = Find(id);
  if (!c) return;
  if (checked && c->kind == ControlKind::RadioButton) UncheckRadioGroup(id);
  c->checked = checked;
}

bool HeadlessWindow::IsDlgButtonChecked(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c && c->checked;
}

void HeadlessWindow::ResetContent(int id) {
  std::lock_guard lock(m_mtx);
  if (Control* c = Find(id)) {
    c->items.clear();
    c->cursel = -1;
  }
}

int HeadlessWindow::AddString(int id, std::string_view text) {
  std::lock_guard lock(m_mtx);
  Control* c = Find(id);
  if (!c) return -1;
  c->items.emplace_back(text);
  return static_cast<int>(c->items.size()) - 1;
}

void HeadlessWindow::SetCurSel(int id, int index) {
  std::lock_guard lock(m_mtx);
  Control* c = Find(id);
  if (!c) return;
  c->cursel = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
}

int HeadlessWindow::GetCurSel(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? c->cursel : -1;
}

int HeadlessWindow::GetCount(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? static_cast<int>(c->items.size()) : 0;
}

std::string HeadlessWindow::GetItemText(int id, int index) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return {};
  return c->items[static_cast<std::size_t>(index)];
}

void HeadlessWindow::SetProgressRange(int id, int low, int high) {
  std::lock_guard lock(m_mtx);
  if (Control* c = Find(id)) {
    c->low = low;
    c->high = high;
  }
}

void HeadlessWindow::SetProgressPos(int id, int pos) {
  std::lock_guard lock(m_mtx);
  if (Control* c = Find(id)) c->pos = pos;
}

int HeadlessWindow::ProgressLow(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? c->low : 0;
}

int HeadlessWindow::ProgressHigh(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? c->high : 0;
}

int HeadlessWindow::ProgressPos(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? c->pos : 0;
}

void HeadlessWindow::SetPickerTime(int id, const PickerTime& t) {
  std::lock_guard lock(m_mtx);
  // Invalid is "no date": the picker then holds no value.
  if (Control* c = Find(id)) c->time = t.valid ? t : PickerTime{};
}

PickerTime HeadlessWindow::GetPickerTime(int id) const {
  std::lock_guard lock(m_mtx);
  const Control* c = Find(id);
  return c ? c->time : PickerTime{};
}

void HeadlessWindow::FillSolidRect(int x, int y, int w, int h, Color color) {
  std::lock_guard lock(m_mtx);
  m_fills.push_back(Fill{x, y, w, h, color});
}

std::vector<HeadlessWindow::Fill> HeadlessWindow::TakeFills() {
  std::lock_guard lock(m_mtx);
  return std::exchange(m_fills, {});
}

void HeadlessWindow::SetTimer(int timerId, unsigned ms) {
  std::lock_guard lock(m_mtx);
  const unsigned interval = std::max(ms, 1u);
  m_timers[timerId] = Timer{interval, m_now + interval};
}

void HeadlessWindow::KillTimer(int timerId) {
  std::lock_guard lock(m_mtx);
  m_timers.erase(timerId);
}

bool HeadlessWindow::HasTimer(int timerId) const {
  std::lock_guard lock(m_mtx);
  return m_timers.count(timerId) != 0;
}

void HeadlessWindow::PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard lock(m_mtx);
  m_posted.push_back(Posted{msg, wParam, lParam});
}

int HeadlessWindow::MessageBox(std::string_view text, std::string_view caption, unsigned type) {
  return m_host.Answer(HeadlessHost::Box{std::string(text), CaptionOf(caption), type, true});
}

void HeadlessWindow::EndDialog(int result) {
  std::lock_guard lock(m_mtx);
  if (m_bEnded) return;
  m_bEnded = true;
  m_nResult = result;
}

bool HeadlessWindow::Ended() const {
  std::lock_guard lock(m_mtx);
  return m_bEnded;
}

int HeadlessWindow::Result() const {
  std::lock_guard lock(m_mtx);
  return m_nResult;
}

void HeadlessWindow::BeginWaitCursor() {
  std::lock_guard lock(m_mtx);
  ++m_nWaitDepth;
  ++m_nWaitShown;
}

void HeadlessWindow::EndWaitCursor() {
  std::lock_guard lock(m_mtx);
  if (m_nWaitDepth > 0) --m_nWaitDepth;
}

int HeadlessWindow::WaitCursorDepth() const {
  std::lock_guard lock(m_mtx);
  return m_nWaitDepth;
}

int HeadlessWindow::WaitCursorsShown() const {
  std::lock_guard lock(m_mtx);
  return m_nWaitShown;
}

void HeadlessWindow::Click(int id) {
  {
    std::lock_guard lock(m_mtx);
    Control* c = Find(id);
    if (!c || !c->enabled) return;
    if (c->kind == ControlKind::CheckBox) c->checked = !c->checked;
    if (c->kind == ControlKind::RadioButton) {
      UncheckRadioGroup(id);
      c->checked = true;
    }
  }
  m_dialog.OnCommand(id, BN_CLICKED);
}

void HeadlessWindow::Type(int id, std::string_view text) {
  {
    std::lock_guard lock(m_mtx);
    Control* c = Find(id);
    if (!c || !c->enabled) return;
    c->text = std::string(text);
  }
  m_dialog.OnCommand(id, EN_CHANGE);
}

void HeadlessWindow::Select(int id, int index) {
  {
    std::lock_guard lock(m_mtx);
    Control* c = Find(id);
    if (!c || !c->enabled) return;
    c->cursel = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
  }
  m_dialog.OnCommand(id, CBN_SELCHANGE);
}

int HeadlessWindow::PumpMessages() {
  int delivered = 0;
  for (;;) {
    Posted p{};
    {
      std::lock_guard lock(m_mtx);
      if (m_posted.empty() || m_bEnded) return delivered;
      p = m_posted.front();
      m_posted.pop_front();
    }
    ++delivered;
    if (p.msg == WM_CLOSE) {
      m_dialog.OnClose();
    } else if (p.msg == WM_COMMAND) {
      m_dialog.OnCommand(static_cast<int>(p.wParam & 0xFFFF), static_cast<int>((p.wParam >> 16) & 0xFFFF));
    } else {
      m_dialog.OnMessage(p.msg, p.wParam, p.lParam);
    }
  }
}

void HeadlessWindow::AdvanceTime(unsigned ms) {
  std::uint64_t end = 0;
  {
    std::lock_guard lock(m_mtx);
    end = m_now + ms;
  }
  for (;;) {
    int id = 0;
    {
      std::lock_guard lock(m_mtx);
      auto next = std::min_element(m_timers.begin(), m_timers.end(),
                                   [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
      if (next == m_timers.end() || next->second.due > end) {
        m_now = end;
        return;
      }
      m_now = next->second.due;
      next->second.due += next->second.interval;
      id = next->first;
    }
    m_dialog.OnTimer(id);
  }
}

// HeadlessHost

int HeadlessHost::DoModal(CDialog& dialog, IWindow* /*parent*/) {
  auto window = std::make_unique<HeadlessWindow>(*this, dialog);
  HeadlessWindow& w = *window;
  Script script;
  {
    std::lock_guard lock(m_mtx);
    m_shown.push_back(dialog.Template().id);
    auto it = m_scripts.find(dialog.Template().id);
    if (it != m_scripts.end()) {
      script = std::move(it->second);
      m_scripts.erase(it);
    }
  }
  dialog.Attach(&w);
  if (!dialog.OnInitDialog()) w.EndDialog(IDCANCEL);
  if (!w.Ended() && script) script(w);
  w.PumpMessages();
  if (!w.Ended()) w.EndDialog(IDCANCEL);
  dialog.OnDestroy();
  dialog.Attach(nullptr);
  return w.Result();
}

HeadlessWindow& HeadlessHost::Open(CDialog& dialog) {
  auto window = std::make_unique<HeadlessWindow>(*this, dialog);
  HeadlessWindow& w = *window;
  {
    std::lock_guard lock(m_mtx);
    m_windows.push_back(std::move(window));
  }
  dialog.Attach(&w);
  if (!dialog.OnInitDialog()) w.EndDialog(IDCANCEL);
  return w;
}

void HeadlessHost::Destroy(HeadlessWindow& window) {
  CDialog& dialog = window.Dialog();
  if (!window.Ended()) window.EndDialog(IDCANCEL);
  dialog.OnDestroy();
  dialog.Attach(nullptr);
  std::lock_guard lock(m_mtx);
  std::erase_if(m_windows, [&](const auto& p) { return p.get() == &window; });
}

int HeadlessHost::MessageBox(std::string_view text, std::string_view caption, unsigned type) {
  return Answer(Box{std::string(text), CaptionOf(caption), type, false});
}

int HeadlessHost::MessageBoxTimeout(std::string_view text, std::string_view caption, unsigned type,
                                    unsigned timeoutMs) {
  return Answer(Box{std::string(text), CaptionOf(caption), type, false}, std::chrono::milliseconds(timeoutMs));
}

int HeadlessHost::Answer(const Box& box, std::optional<std::chrono::milliseconds> bound) {
  Answerer answerer;
  {
    std::unique_lock lock(m_mtx);
    m_boxes.push_back(box);
    if (m_bCancelled) return CancelAnswer(box.type);
    if (m_bLeaveOpen) {
      auto waiting = std::make_shared<Waiting>(Waiting{box, std::nullopt});
      m_waiting.push_back(waiting);
      const auto answered = [&] { return waiting->answer.has_value() || m_bCancelled; };
      if (!bound) {
        m_cvAnswered.wait(lock, answered);
      } else if (!m_cvAnswered.wait_for(lock, *bound, answered)) {
        waiting->answer = MB_TIMEDOUT;
      }
      std::erase(m_waiting, waiting);
      return waiting->answer.value_or(CancelAnswer(box.type));
    }
    if (!m_answerer && !m_answers.empty()) {
      const int answer = m_answers.front();
      m_answers.pop_front();
      return answer;
    }
    answerer = m_answerer;
  }
  return answerer ? answerer(box) : FirstButton(box.type);
}

void HeadlessHost::SetAnswerer(Answerer answerer) {
  std::lock_guard lock(m_mtx);
  m_answerer = std::move(answerer);
}

void HeadlessHost::LeaveBoxesOpen() {
  std::lock_guard lock(m_mtx);
  m_bLeaveOpen = true;
}

void HeadlessHost::QueueAnswer(int answer) {
  std::lock_guard lock(m_mtx);
  m_answers.push_back(answer);
}

std::vector<HeadlessHost::Box> HeadlessHost::Boxes() const {
  std::lock_guard lock(m_mtx);
  return m_boxes;
}

void HeadlessHost::ClearBoxes() {
  std::lock_guard lock(m_mtx);
  m_boxes.clear();
}

void HeadlessHost::QueueScript(int templateId, Script script) {
  std::lock_guard lock(m_mtx);
  m_scripts.emplace(templateId, std::move(script));
}

std::vector<int> HeadlessHost::ShownDialogs() const {
  std::lock_guard lock(m_mtx);
  return m_shown;
}

std::optional<std::string> HeadlessHost::BrowseForFolder(IWindow* /*owner*/, std::string_view /*title*/,
                                                         std::string_view initialFolder) {
  std::lock_guard lock(m_mtx);
  m_browsedFrom.emplace_back(initialFolder);
  if (m_folders.empty()) return std::nullopt;
  auto answer = m_folders.front();
  m_folders.pop_front();
  return answer;
}

void HeadlessHost::QueueFolder(std::optional<std::string> folder) {
  std::lock_guard lock(m_mtx);
  m_folders.push_back(std::move(folder));
}

std::vector<std::string> HeadlessHost::BrowsedFrom() const {
  std::lock_guard lock(m_mtx);
  return m_browsedFrom;
}

void HeadlessHost::CancelModals() {
  std::lock_guard lock(m_mtx);
  m_bCancelled = true;
  m_cvAnswered.notify_all();
}

std::vector<OpenModal> HeadlessHost::OpenModals() const {
  std::lock_guard lock(m_mtx);
  std::vector<OpenModal> open = m_openModals;
  for (const auto& w : m_waiting) {
    if (!w->answer) open.push_back(OpenModal{true, w->box.caption, w->box.text, w->box.type});
  }
  return open;
}

bool HeadlessHost::AnswerModal(int answer) {
  std::lock_guard lock(m_mtx);
  for (auto it = m_waiting.rbegin(); it != m_waiting.rend(); ++it) {
    if ((*it)->answer) continue;
    if (!HasButton((*it)->box.type, answer)) return false;
    (*it)->answer = answer;
    m_modalAnswers.push_back(answer);
    m_cvAnswered.notify_all();
    return true;
  }
  if (m_openModals.empty()) return false;
  m_modalAnswers.push_back(answer);
  m_openModals.pop_back();
  return true;
}

void HeadlessHost::SetOpenModals(std::vector<OpenModal> open) {
  std::lock_guard lock(m_mtx);
  m_openModals = std::move(open);
}

std::vector<int> HeadlessHost::ModalAnswers() const {
  std::lock_guard lock(m_mtx);
  return m_modalAnswers;
}

bool HeadlessHost::ModalsCancelled() const {
  std::lock_guard lock(m_mtx);
  return m_bCancelled;
}

}  // namespace mivo::ui
