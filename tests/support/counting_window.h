// A window that only counts what is drawn and written, for code that draws
// on every buffer: tests check the counts, benchmarks pay nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ui/window.h"

namespace mivo::testing {

class CountingWindow final : public ui::IWindow {
 public:
  int fills = 0;
  int texts = 0;
  std::uint64_t fillSum = 0;  // of the rectangles' arguments, so none is optimised away

  void SetDlgItemText(int, std::string_view) override { ++texts; }
  std::string GetDlgItemText(int) const override { return {}; }
  void EnableDlgItem(int, bool) override {}
  void SetFocus(int) override {}
  bool IsDlgItemEnabled(int) const override { return true; }
  void CheckDlgButton(int, bool) override {}
  bool IsDlgButtonChecked(int) const override { return false; }
  void ResetContent(int) override {}
  int AddString(int, std::string_view) override { return 0; }
  void SetCurSel(int, int) override {}
  int GetCurSel(int) const override { return -1; }
  int GetCount(int) const override { return 0; }
  std::string GetItemText(int, int) const override { return {}; }
  void SetProgressRange(int, int, int) override {}
  void SetProgressPos(int, int) override {}
  void SetPickerTime(int, const ui::PickerTime&) override {}
  ui::PickerTime GetPickerTime(int) const override { return {}; }
  void FillSolidRect(int x, int y, int w, int h, ui::Color c) override {
    ++fills;
    fillSum += static_cast<std::uint64_t>(x + y + w + h) + c;
  }
  void SetTimer(int, unsigned) override {}
  void KillTimer(int) override {}
  void PostMessage(unsigned, std::uintptr_t, std::intptr_t) override {}
  int MessageBox(std::string_view, std::string_view, unsigned) override { return ui::IDOK; }
  void EndDialog(int) override {}
};

}  // namespace mivo::testing
