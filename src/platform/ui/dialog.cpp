#include "platform/ui/dialog.h"

namespace mivo::ui {

const ControlTemplate* DialogTemplate::Find(int controlId) const {
  for (const ControlTemplate& c : controls) {
    if (c.id == controlId) return &c;
  }
  return nullptr;
}

void CDialog::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == IDOK) OnOK();
  if (id == IDCANCEL) OnCancel();
}

}  // namespace mivo::ui
