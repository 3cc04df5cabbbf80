// The message boxes the conversion worker opens. During a timed run nobody
// may be there to answer them: a box then closes itself as if OK after a
// bound, so that the queue goes on and the timer's end action comes. Every
// box's text also goes to the debug log and standard error.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/dialog.h"

namespace mivo {

// How long a worker's box waits for an answer during a timed run.
inline constexpr std::chrono::milliseconds kUnattendedBoxBound = std::chrono::seconds(60);

class WorkerBoxes final : public ui::IDialogHost {
 public:
  // `unattended` tells (from the worker thread) whether a timed run is in
  // progress or its end action is pending; `note` writes a line to the
  // debug log and standard error.
  WorkerBoxes(ui::IDialogHost& host, std::function<bool()> unattended,
              std::function<void(std::string_view)> note, std::chrono::milliseconds bound = kUnattendedBoxBound)
      : m_host(host), m_unattended(std::move(unattended)), m_note(std::move(note)), m_bound(bound) {}

  int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;

  // The rest is the host's own.
  int DoModal(ui::CDialog& dialog, ui::IWindow* parent) override { return m_host.DoModal(dialog, parent); }
  std::optional<std::string> BrowseForFolder(ui::IWindow* owner, std::string_view title,
                                             std::string_view initialFolder) override {
    return m_host.BrowseForFolder(owner, title, initialFolder);
  }
  void CancelModals() override { m_host.CancelModals(); }
  std::vector<ui::OpenModal> OpenModals() const override { return m_host.OpenModals(); }
  bool AnswerModal(int answer) override { return m_host.AnswerModal(answer); }

 private:
  ui::IDialogHost& m_host;
  std::function<bool()> m_unattended;
  std::function<void(std::string_view)> m_note;
  std::chrono::milliseconds m_bound;
};

}  // namespace mivo
