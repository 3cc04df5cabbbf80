// The real recorder window with a tone playing through the file input: the
// level bars, the peak mark and the Peak box, then the spectrum, as a person
// sees them. The pictures stay in the screenshot folder. Built into
// app_qt_tests, whose main() makes the QApplication.
#include <QImage>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "app/recorder_dlg.h"
#include "platform/ui/qt/qt_dialog_host.h"
#include "platform/wavein/wavein.h"
#include "settings/recorder_ids.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

constexpr int kRate = 44100;
constexpr int kAmplitudeL = 16000;  // 1 kHz, a span of about 32000: half the bar
constexpr int kAmplitudeR = 6000;   // 3 kHz, about 12000

std::string ShotPath(const std::string& name) {
  std::filesystem::create_directories(MIVO_SCREENSHOT_DIR);
  return std::string(MIVO_SCREENSHOT_DIR) + "/" + name;
}

void Put(std::ofstream& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Ten seconds of a 1 kHz tone on the left and a 3 kHz tone on the right.
bool WriteTone(const std::string& path) {
  const std::uint32_t frames = 10 * kRate;
  std::ofstream out(path, std::ios::binary);
  out.write("RIFF", 4);
  Put(out, 36 + frames * 4, 4);
  out.write("WAVEfmt ", 8);
  Put(out, 16, 4);
  Put(out, 1, 2);
  Put(out, 2, 2);
  Put(out, kRate, 4);
  Put(out, kRate * 4, 4);
  Put(out, 4, 2);
  Put(out, 16, 2);
  out.write("data", 4);
  Put(out, frames * 4, 4);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    Put(out, static_cast<std::uint16_t>(std::lround(kAmplitudeL * std::sin(2 * std::numbers::pi * 1000 * t))), 2);
    Put(out, static_cast<std::uint16_t>(std::lround(kAmplitudeR * std::sin(2 * std::numbers::pi * 3000 * t))), 2);
  }
  return static_cast<bool>(out);
}

QRgb Pixel(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFF; }
constexpr QRgb kGreen = 0x00FF00;
constexpr QRgb kGrey = 0x999999;
constexpr QRgb kRed = 0xFF0000;

TEST(MeterScreenshot, LevelAndSpectrumFollowATonePlayingThroughTheFileInput) {
  testing::TempFolder dir;
  ASSERT_TRUE(dir.Ok());
  const std::string wav = dir.PathOf("tone.wav");
  ASSERT_TRUE(WriteTone(wav));
  platform::WaveInOptions options;
  options.inputFile = wav;
  std::string error;
  std::unique_ptr<platform::IWaveIn> waveIn = platform::CreateSystemWaveIn(options, &error);
  ASSERT_TRUE(waveIn) << error;

  ui::QtDialogHost host;
  RecorderEnvironment env;
  env.host = &host;
  env.settingsPath = dir.PathOf("mivo.ini");
  env.encoderInfo = "No MP3 Encoder.";
  env.waveIn = waveIn.get();
  CRecorderDlg dlg(env, false);

  std::string peak;
  QImage level, spectrum;
  // The file plays at real-time pace: after a second some twenty buffers
  // have been drawn.
  QTimer::singleShot(1200, [&] {
    ui::IWindow& w = dlg.Wnd();
    peak = w.GetDlgItemText(IDC_PEAK);
    EXPECT_TRUE(ui::SaveWindowPng(w, ShotPath("mivo-meter-level.png")));
    level.load(QString::fromStdString(ShotPath("mivo-meter-level.png")));
    w.CheckDlgButton(IDC_LEVEL, false);
    w.CheckDlgButton(IDC_SPECTRUM, true);
    dlg.OnCommand(IDC_SPECTRUM, ui::BN_CLICKED);
    QTimer::singleShot(600, [&] {
      EXPECT_TRUE(ui::SaveWindowPng(dlg.Wnd(), ShotPath("mivo-meter-spectrum.png")));
      spectrum.load(QString::fromStdString(ShotPath("mivo-meter-spectrum.png")));
      dlg.HandleRemoteCommand("quit");
    });
  });
  host.DoModal(dlg, nullptr);

  // The held peak is the left tone's span, at most 2 x 16000 + 1.
  const int held = std::atoi(peak.c_str());
  EXPECT_EQ(peak.size(), 5u) << peak;
  EXPECT_GT(held, 2 * kAmplitudeL * 99 / 100);
  EXPECT_LE(held, 2 * kAmplitudeL + 1);

  ASSERT_FALSE(level.isNull());
  const int mark = (held + 511) / 512;  // the left hold is the larger one
  EXPECT_EQ(Pixel(level, 12, 24), kGreen);
  EXPECT_EQ(Pixel(level, 12 + 55, 24), kGreen);
  EXPECT_EQ(Pixel(level, 11 + mark, 24), kRed);
  EXPECT_EQ(Pixel(level, 12 + 100, 24), kGrey);
  EXPECT_EQ(Pixel(level, 148 + 20, 24), kGreen);
  EXPECT_EQ(Pixel(level, 148 + 40, 24), kGrey);

  // 1 kHz lies in bin 23 (column 5), 3 kHz in bin 69 (column 17); the
  // columns' tops stay grey.
  ASSERT_FALSE(spectrum.isNull());
  EXPECT_EQ(Pixel(spectrum, 12 + 5, 31), kGreen);
  EXPECT_EQ(Pixel(spectrum, 12 + 5, 16), kGrey);
  EXPECT_EQ(Pixel(spectrum, 148 + 17, 31), kGreen);
  EXPECT_EQ(Pixel(spectrum, 148 + 17, 16), kGrey);
}

}  // namespace
}  // namespace mivo
