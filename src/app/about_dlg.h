// The about box: the program version and what is known of the MP3 encoder.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace mivo {

inline constexpr const char* kVersionText = "Mivo Version 0.70";

const ui::DialogTemplate& AboutTemplate();

class CAboutDlg final : public ui::CDialog {
 public:
  explicit CAboutDlg(std::string encoderInfo);
  bool OnInitDialog() override;

 private:
  std::string m_strEncoderInfo;
};

}  // namespace mivo
