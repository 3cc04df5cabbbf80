#include "convert/worker_boxes.h"

#include <string>

#include "platform/ui/window.h"

namespace mivo {

int WorkerBoxes::MessageBox(std::string_view text, std::string_view caption, unsigned type) {
  m_note("message box: " + std::string(text));
  if (!m_unattended()) return m_host.MessageBox(text, caption, type);
  const int answer = m_host.MessageBoxTimeout(text, caption, type, static_cast<unsigned>(m_bound.count()));
  if (answer != ui::MB_TIMEDOUT) return answer;
  const auto ms = m_bound.count();
  m_note("message box closed unanswered after " +
         (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms") +
         ": a timed run goes on without waiting");
  // As if OK, or the box's way out when it has no OK button.
  switch (type & ui::MB_TYPEMASK) {
    case ui::MB_OK:
    case ui::MB_OKCANCEL: return ui::IDOK;
    case ui::MB_ABORTRETRYIGNORE: return ui::IDIGNORE;
    case ui::MB_YESNO: return ui::IDNO;
    default: return ui::IDCANCEL;
  }
}

}  // namespace mivo
