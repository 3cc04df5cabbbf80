// Template 102: the recorder window, 319 x 275 dialog units (one line more
// than 263, for the timer's note).
//
// The meters are drawn at fixed client pixels (fields of 128 x 16 from
// x 12 and x 148, y 16); the top band of the window is kept free for them.
#include "app/recorder_dlg.h"
#include "settings/recorder_ids.h"

namespace mivo {

using ui::ControlKind;
using ui::ControlTemplate;
using ui::DialogTemplate;
using ui::Rect;

namespace {

DialogTemplate MakeRecorderTemplate() {
  DialogTemplate t;
  t.id = IDD_RECORDER;
  t.title = ui::kAppTitle;
  t.width = 319;
  t.height = 275;
  using K = ControlKind;

  // Meters and their controls.
  t.Add(IDC_METER, K::Canvas, "", Rect{8, 12, 272, 24});  // client pixels
  t.Add(IDC_LEVEL, K::RadioButton, "LEVEL", Rect{148, 4, 44, 10}, ui::kGroup);
  t.Add(IDC_SPECTRUM, K::RadioButton, "SPECTRUM", Rect{148, 14, 56, 10});
  t.Add(-1, K::Static, "Peak", Rect{210, 8, 20, 10});
  t.Add(IDC_PEAK, K::Edit, "", Rect{232, 6, 36, 12}, ui::kReadOnly | ui::kRightAlign);
  t.Add(IDC_PEAK_RESET, K::Button, "Reset", Rect{272, 5, 40, 14});

  // Recording.
  t.Add(-1, K::GroupBox, "録音ファイルの指定", Rect{4, 26, 311, 87});
  t.Add(IDC_REC, K::Button, "REC", Rect{10, 37, 46, 16});
  t.Add(IDC_STOP, K::Button, "STOP", Rect{60, 37, 46, 16});
  t.Add(IDC_SKIP, K::Button, "SKIP", Rect{110, 37, 46, 16});
  t.Add(IDC_STATUS, K::Edit, "", Rect{164, 39, 145, 12}, ui::kReadOnly);
  t.Add(-1, K::Static, "録音ファイル", Rect{10, 59, 56, 10});
  t.Add(IDC_TRACKFILE, K::Edit, "", Rect{70, 57, 239, 12}, ui::kReadOnly);
  t.Add(-1, K::Static, "一時ファイル/WAVファイル フォルダ", Rect{10, 74, 124, 10});
  t.Add(IDC_TEMPFOLDER, K::Edit, "", Rect{136, 72, 151, 12});
  t.Add(IDC_TEMPFOLDER_BROWSE, K::Button, "...", Rect{291, 72, 18, 12});
  t.Add(-1, K::Static, "MP3ファイル/WMAファイル 保存フォルダ", Rect{10, 88, 124, 10});
  t.Add(IDC_RECFOLDER, K::Edit, "", Rect{136, 86, 151, 12});
  t.Add(IDC_RECFOLDER_BROWSE, K::Button, "...", Rect{291, 86, 18, 12});
  t.Add(-1, K::Static, "ファイル名プレフィックス", Rect{10, 100, 124, 10});
  t.Add(IDC_FILEPRE, K::Edit, "", Rect{136, 98, 80, 11});
  t.Add(IDC_RECOVERY_NOTE, K::Static, "", Rect{220, 100, 90, 9});

  // Output formats.
  t.Add(-1, K::GroupBox, "出力形式", Rect{4, 114, 98, 58});
  t.Add(IDC_WAV, K::CheckBox, "WAV", Rect{10, 126, 50, 10});
  t.Add(IDC_MP3, K::CheckBox, "午後る", Rect{10, 140, 50, 10});
  t.Add(IDC_MP3_SETTING, K::Button, "設定", Rect{64, 138, 32, 13});
  t.Add(IDC_WMA, K::CheckBox, "WMA", Rect{10, 155, 50, 10});
  t.Add(IDC_WMA_SETTING, K::Button, "設定", Rect{64, 153, 32, 13});

  // Processing of finished tracks.
  t.Add(-1, K::GroupBox, "変換", Rect{106, 114, 124, 58});
  t.Add(IDC_NORMALIZE, K::CheckBox, "正規化", Rect{112, 126, 76, 10});
  t.Add(IDC_NORMALIZE_SETTING, K::Button, "設定", Rect{192, 124, 32, 13});
  t.Add(IDC_DEEMPHASIS, K::CheckBox, "ディエンファシス", Rect{112, 141, 110, 10});
  t.Add(IDC_4844, K::CheckBox, "48->44", Rect{112, 156, 76, 10});
  t.Add(IDC_4844_SETTING, K::Button, "設定", Rect{192, 154, 32, 13});

  // Silence splitting and input.
  t.Add(-1, K::GroupBox, "無音判断", Rect{234, 114, 81, 30});
  t.Add(IDC_SILENTDIVIDE, K::CheckBox, "無音で区切る", Rect{238, 127, 58, 10});
  t.Add(IDC_SILENCE_SETTING, K::Button, "設定", Rect{285, 125, 26, 13});
  t.Add(-1, K::GroupBox, "入力", Rect{234, 145, 81, 52});
  t.Add(IDC_RATE, K::Static, "", Rect{240, 155, 44, 10});
  t.Add(IDC_FORMAT, K::Static, "", Rect{240, 165, 44, 10});
  t.Add(IDC_INPUT_SETTING, K::Button, "設定", Rect{285, 155, 26, 13});
  t.Add(IDC_INPUT_NOTE, K::Static, "", Rect{238, 176, 74, 9});
  t.Add(IDC_OVERRUNS, K::Static, "", Rect{238, 186, 74, 9});

  // Conversion status.
  t.Add(-1, K::GroupBox, "変換ステータス", Rect{4, 174, 226, 46});
  t.Add(IDC_TIMESTAMP, K::CheckBox, "タイムスタンプを\n録音開始時刻に", Rect{160, 183, 68, 18},
      ui::kMultiLine);
  t.Add(-1, K::Static, "残り", Rect{10, 187, 18, 10});
  t.Add(IDC_REMAINING, K::Edit, "", Rect{30, 185, 30, 12}, ui::kReadOnly | ui::kRightAlign);
  t.Add(-1, K::Static, "曲", Rect{64, 187, 12, 10});
  t.Add(IDC_STAGE_LABEL, K::Static, "-", Rect{80, 187, 76, 10});
  t.Add(IDC_TRACK_PROGRESS, K::ProgressBar, "", Rect{10, 202, 106, 10});
  t.Add(IDC_STAGE_PROGRESS, K::ProgressBar, "", Rect{120, 202, 106, 10});

  t.Add(IDC_ABOUT, K::Button, "About...", Rect{240, 202, 70, 15});

  // Timer.
  t.Add(-1, K::GroupBox, "タイマ", Rect{4, 221, 311, 52});
  t.Add(IDC_TIMER_DATE, K::DatePicker, "", Rect{10, 232, 58, 12});
  t.Add(IDC_TIMER_TIME, K::TimePicker, "", Rect{70, 232, 50, 12});
  t.Add(IDC_TIMER_NOW, K::CheckBox, "今から", Rect{124, 233, 36, 10});
  t.Add(IDC_TIMER_HOURS, K::Edit, "", Rect{164, 232, 22, 12}, ui::kNumber | ui::kRightAlign);
  t.Add(-1, K::Static, "時間", Rect{188, 234, 18, 10});
  t.Add(IDC_TIMER_MINUTES, K::Edit, "", Rect{208, 232, 26, 12}, ui::kNumber | ui::kRightAlign);
  t.Add(-1, K::Static, "分", Rect{236, 234, 10, 10});
  t.Add(IDC_TIMER_SET, K::Button, "セット！", Rect{258, 230, 52, 15});
  t.Add(IDC_POWERDOWN, K::CheckBox, "終了後電源断", Rect{10, 247, 64, 10});
  t.Add(IDC_EWX_FLAG, K::DropList, "LOGOFF\nPOWEROFF\nREBOOT\nSHUTDOWN", Rect{76, 246, 56, 12});
  t.Add(IDC_EWX_FORCE, K::DropList, "通常\nFORCE\nFORCEIFHUNG", Rect{134, 246, 58, 12});
  t.Add(IDC_TIMER_STATUS, K::Edit, "", Rect{196, 247, 114, 12}, ui::kReadOnly);
  t.Add(IDC_TIMER_NOTE, K::Static, "", Rect{10, 261, 300, 10});
  return t;
}

}  // namespace

const DialogTemplate& RecorderTemplate() {
  static const DialogTemplate tmpl = MakeRecorderTemplate();
  return tmpl;
}

}  // namespace mivo
