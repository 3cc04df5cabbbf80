// The folder chooser behind the "..." buttons.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace mivo {

class CFolderChooser {
 public:
  CFolderChooser(ui::IDialogHost& host, ui::IWindow* owner, std::string initialFolder)
      : m_host(host), m_pOwner(owner), m_strInitial(std::move(initialFolder)) {}

  // 1 when the user confirmed a folder, 2 otherwise.
  int Browse();
  const std::string& ChosenFolder() const { return m_strChosen; }

 private:
  ui::IDialogHost& m_host;
  ui::IWindow* m_pOwner;
  std::string m_strInitial;
  std::string m_strChosen;
};

}  // namespace mivo
