// The meters at the top of the recorder window: the held peak and its Peak
// box, two level bars with peak marks or two small spectra, drawn on every
// second capture buffer as solid rectangles at fixed client pixels.
//
// All arithmetic that decides a pixel is integer arithmetic with divisions
// truncating toward zero; only the spectrum heights use floating point.
// Nothing here allocates after construction.
#pragma once

#include <array>
#include <cstdint>

#include "platform/ui/window.h"
#include "settings/recorder_settings.h"

namespace mivo {

// Geometry of the two meter fields, in client pixels.
inline constexpr int kMeterWidth = 128;
inline constexpr int kMeterHeight = 16;
inline constexpr int kMeterTop = 16;
inline constexpr int kMeterLeftX = 12;
inline constexpr int kMeterRightX = 148;

inline constexpr ui::Color kMeterGreen = ui::Rgb(0, 255, 0);
inline constexpr ui::Color kMeterGrey = ui::Rgb(153, 153, 153);
inline constexpr ui::Color kMeterRed = ui::Rgb(255, 0, 0);

// Meter types (RecMeterType).
inline constexpr std::int32_t kMeterLevel = 1;
inline constexpr std::int32_t kMeterSpectrum = 2;

// The transform length and the bins the display uses.
inline constexpr int kFftSize = 1024;
inline constexpr int kSpectrumBins = kFftSize / 2;
inline constexpr int kHeightLimit = 15;

// A span or held peak as the meter shows it: with normalization on and the
// automatic level off, the value it will have after the gain
// 32767 / NormalizeLevel2, capped at full scale (unsigned 32-bit arithmetic).
// A NormalizeLevel2 of 0 or below (a hand-edited file) shows the value as it is.
std::uint32_t MeterValue(std::uint32_t value, const RecorderSettings& settings);

// Length in pixels of a bar for a meter value: (value + 511) / 512, 0..128.
int MeterLength(std::uint32_t value);

// Display height of one spectrum bin of power m = re^2 + im^2 for buffers of
// `bufferFrames` frames: r = trunc(ln(sqrt(m)) * 16 / ln(bufferFrames)),
// height 0 when r < 0 (and for m = 0), else 2r limited to 15.
std::int16_t SpectrumHeight(std::int32_t m, std::uint32_t bufferFrames);

// One channel's transform input and output.
struct FftBuffer {
  std::array<std::int32_t, kFftSize> re{};
  std::array<std::int32_t, kFftSize> im{};
};

// The 1024-point radix-2 decimation-in-time forward FFT in integer
// arithmetic, with an overall scale of 1/1024. The sine and cosine tables
// (1024 x sin and cos of -2 pi i / 1024, truncated) are filled once by the
// constructor.
class CIntegerFft {
 public:
  CIntegerFft();

  // Transforms in place. Inputs of magnitude up to 1024 keep every product
  // within 32 bits.
  void Transform(FftBuffer& data) const;

  std::int32_t Sine(int i) const { return m_sin[static_cast<std::size_t>(i)]; }
  std::int32_t Cosine(int i) const { return m_cos[static_cast<std::size_t>(i)]; }

 private:
  std::array<std::int32_t, kFftSize / 2> m_sin{};
  std::array<std::int32_t, kFftSize / 2> m_cos{};
  std::array<std::uint16_t, kFftSize> m_bitReversed{};
};

// The meter state of the recorder window. Window thread only.
class CLevelMeter {
 public:
  CLevelMeter() = default;

  // One captured buffer (the handler's step after the spans): `frames`
  // points at `frameCount` interleaved stereo frames (left, right), spans
  // are largest minus smallest sample per channel. Updates the holds, draws
  // on every second buffer (the first, third, ...) the display chosen by
  // RecMeterType, and writes the held peak into the Peak box when it changed.
  // The spectrum analyses the first 1024 frames; a buffer with fewer frames
  // draws no spectrum.
  void OnBuffer(const std::int16_t* frames, std::uint32_t frameCount, std::uint32_t spanL,
                std::uint32_t spanR, const RecorderSettings& settings, ui::IWindow& window);

  // The Reset button: clears both holds. The Peak box follows at the next
  // buffer, with that buffer's larger span.
  void Reset() {
    m_nPeakHoldL = 0;
    m_nPeakHoldR = 0;
  }

  std::uint32_t PeakHoldL() const { return m_nPeakHoldL; }
  std::uint32_t PeakHoldR() const { return m_nPeakHoldR; }
  std::uint32_t HeldPeak() const { return m_nPeakHoldL > m_nPeakHoldR ? m_nPeakHoldL : m_nPeakHoldR; }
  // The value last written to the Peak box (0 before the first write).
  std::uint32_t ShownPeak() const { return m_nShownPeak; }
  // Heights of the last drawn spectrum, per bin.
  const std::array<std::int16_t, kSpectrumBins>& HeightsL() const { return m_heightL; }
  const std::array<std::int16_t, kSpectrumBins>& HeightsR() const { return m_heightR; }

 private:
  void DrawLevel(std::uint32_t spanL, std::uint32_t spanR, const RecorderSettings& settings,
                 ui::IWindow& window) const;
  void DrawSpectrum(const std::int16_t* frames, std::uint32_t frameCount, ui::IWindow& window);
  void ShowPeak(ui::IWindow& window);

  std::uint32_t m_nPeakHoldL = 0;
  std::uint32_t m_nPeakHoldR = 0;
  std::uint32_t m_nShownPeak = 0;
  bool m_bDrawToggle = false;
  CIntegerFft m_fft;
  FftBuffer m_workL;
  FftBuffer m_workR;
  std::array<std::int16_t, kSpectrumBins> m_heightL{};
  std::array<std::int16_t, kSpectrumBins> m_heightR{};
};

}  // namespace mivo
