// The Qt host of the window layer: real widgets for the dialog templates.
// This header carries no Qt types, so that Qt-free code can hold the host.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace mivo::ui {

// Runs dialogs as QDialogs on the thread of the QApplication, which must
// exist before the host is made and outlive it. The constructor installs
// Qt's Japanese texts (InstallJapaneseTranslations) and sets the program icon
// as the application's. IWindow calls marked "any thread" and PostMessage,
// MessageBox and CancelModals may come from other threads; the other calls
// belong to the GUI thread (from elsewhere they are queued, and getters wait).
class QtDialogHost final : public IDialogHost {
 public:
  QtDialogHost();
  ~QtDialogHost() override;
  QtDialogHost(const QtDialogHost&) = delete;
  QtDialogHost& operator=(const QtDialogHost&) = delete;

  // GUI thread; -1 from another thread or without a QApplication.
  int DoModal(CDialog& dialog, IWindow* parent) override;
  int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
  int MessageBoxTimeout(std::string_view text, std::string_view caption, unsigned type,
                        unsigned timeoutMs) override;
  // GUI thread. The folder as its file-system bytes.
  std::optional<std::string> BrowseForFolder(IWindow* owner, std::string_view title,
                                             std::string_view initialFolder) override;
  // Also makes every later message box answer at once as cancelled.
  void CancelModals() override;
  std::vector<OpenModal> OpenModals() const override;
  bool AnswerModal(int answer) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Loads Qt's Japanese translation (qtbase_ja.qm, the button texts of message
// boxes and standard dialogs) into the application. Safe to call again; false
// when there is no application or the file cannot be loaded.
bool InstallJapaneseTranslations();

// Writes a PNG of the window as it is shown, drawing included. False when the
// window is not one of this host's or the file cannot be written.
bool SaveWindowPng(const IWindow& window, const std::string& path);

}  // namespace mivo::ui
