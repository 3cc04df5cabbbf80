#include "capture/level_meter.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string_view>
#include <utility>

#include "settings/recorder_ids.h"

namespace mivo {
namespace {

// The spectrum's height rule with ln(bufferFrames) already taken.
std::int16_t HeightFor(std::int32_t m, double lnFrames) {
  if (m <= 0) return 0;
  const double r = std::log(std::sqrt(static_cast<double>(m))) * 16.0 / lnFrames;
  // r < 0 gives 0; from r = 8 on, 2r is beyond the limit (this also keeps
  // the conversion below in range).
  if (!(r >= 0.0)) return 0;
  if (r >= 8.0) return kHeightLimit;
  return static_cast<std::int16_t>(2 * static_cast<int>(r));
}

int BitReverse(int index, int bits) {
  int reversed = 0;
  for (int b = 0; b < bits; ++b) {
    reversed = (reversed << 1) | ((index >> b) & 1);
  }
  return reversed;
}

}  // namespace

std::uint32_t MeterValue(std::uint32_t value, const RecorderSettings& settings) {
  if (!settings.RecNormalize || settings.NormalizeAuto || settings.NormalizeLevel2 <= 0) {
    return value;
  }
  const auto level = static_cast<std::uint32_t>(settings.NormalizeLevel2);
  const std::uint32_t scaled = value * 32767u;
  const std::uint32_t cap = level * 65535u;
  return (scaled < cap ? scaled : cap) / level;
}

int MeterLength(std::uint32_t value) {
  const std::uint64_t length = (static_cast<std::uint64_t>(value) + 511u) / 512u;
  // Values above full scale cannot come from 16-bit spans; keep them in the field.
  return length > static_cast<std::uint64_t>(kMeterWidth) ? kMeterWidth : static_cast<int>(length);
}

std::int16_t SpectrumHeight(std::int32_t m, std::uint32_t bufferFrames) {
  if (bufferFrames < 2) return 0;
  return HeightFor(m, std::log(static_cast<double>(bufferFrames)));
}

CIntegerFft::CIntegerFft() {
  for (int i = 0; i < kFftSize / 2; ++i) {
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(kFftSize);
    // Conversion to an integer truncates toward zero.
    m_sin[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(1024.0 * std::sin(angle));
    m_cos[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(1024.0 * std::cos(angle));
  }
  for (int i = 0; i < kFftSize; ++i) {
    m_bitReversed[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(BitReverse(i, 10));
  }
}

void CIntegerFft::Transform(FftBuffer& data) const {
  std::int32_t* re = data.re.data();
  std::int32_t* im = data.im.data();

  for (int i = 0; i < kFftSize; ++i) {
    const int j = m_bitReversed[static_cast<std::size_t>(i)];
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }

  // Each product is divided on its own, truncating toward zero. The products
  // are formed in 64 bits; their quotients fit 32 bits for inputs up to 1024.
  for (int b = 1; b < kFftSize; b *= 2) {
    for (int k = 0; k < b; ++k) {
      const int t = k * (kFftSize / 2) / b;
      const std::int64_t c = m_cos[static_cast<std::size_t>(t)];
      const std::int64_t s = m_sin[static_cast<std::size_t>(t)];
      for (int p = k; p < kFftSize; p += 2 * b) {
        const int q = p + b;
        const std::int64_t rq = re[q];
        const std::int64_t iq = im[q];
        const auto tr = static_cast<std::int32_t>(rq * c / 1024 - iq * s / 1024);
        const auto ti = static_cast<std::int32_t>(iq * c / 1024 + rq * s / 1024);
        re[q] = re[p] - tr;
        im[q] = im[p] - ti;
        re[p] = re[p] + tr;
        im[p] = im[p] + ti;
      }
    }
  }

  for (int i = 0; i < kFftSize; ++i) {
    re[i] /= 1024;
    im[i] /= 1024;
  }
}

void CLevelMeter::OnBuffer(const std::int16_t* frames, std::uint32_t frameCount, std::uint32_t spanL,
                           std::uint32_t spanR, const RecorderSettings& settings, ui::IWindow& window) {
  if (m_nPeakHoldL < spanL) m_nPeakHoldL = spanL;
  if (m_nPeakHoldR < spanR) m_nPeakHoldR = spanR;

  m_bDrawToggle = !m_bDrawToggle;
  if (m_bDrawToggle) {
    if (settings.RecMeterType == kMeterLevel) {
      DrawLevel(spanL, spanR, settings, window);
    } else if (settings.RecMeterType == kMeterSpectrum) {
      DrawSpectrum(frames, frameCount, window);
    }
  }

  ShowPeak(window);
}

void CLevelMeter::DrawLevel(std::uint32_t spanL, std::uint32_t spanR, const RecorderSettings& settings,
                            ui::IWindow& window) const {
  const auto field = [&](int x0, std::uint32_t span, std::uint32_t hold) {
    const int w = MeterLength(MeterValue(span, settings));
    const int p = MeterLength(MeterValue(hold, settings));
    if (w > 0) window.FillSolidRect(x0, kMeterTop, w, kMeterHeight, kMeterGreen);
    if (w < kMeterWidth) window.FillSolidRect(x0 + w, kMeterTop, kMeterWidth - w, kMeterHeight, kMeterGrey);
    // The mark sits on the last pixel of a bar of length p.
    if (p != 0) window.FillSolidRect(x0 - 1 + p, kMeterTop, 1, kMeterHeight, kMeterRed);
  };
  field(kMeterLeftX, spanL, m_nPeakHoldL);
  field(kMeterRightX, spanR, m_nPeakHoldR);
}

void CLevelMeter::DrawSpectrum(const std::int16_t* frames, std::uint32_t frameCount, ui::IWindow& window) {
  if (frames == nullptr || frameCount < static_cast<std::uint32_t>(kFftSize)) return;

  for (int i = 0; i < kFftSize; ++i) {
    const auto n = static_cast<std::size_t>(i);
    // Division truncates toward zero.
    m_workL.re[n] = frames[2 * n] / 32;
    m_workL.im[n] = 0;
    m_workR.re[n] = frames[2 * n + 1] / 32;
    m_workR.im[n] = 0;
  }
  m_fft.Transform(m_workL);
  m_fft.Transform(m_workR);

  const double lnFrames = std::log(static_cast<double>(frameCount));
  for (std::size_t k = 0; k < static_cast<std::size_t>(kSpectrumBins); ++k) {
    m_heightL[k] = HeightFor(m_workL.re[k] * m_workL.re[k] + m_workL.im[k] * m_workL.im[k], lnFrames);
    m_heightR[k] = HeightFor(m_workR.re[k] * m_workR.re[k] + m_workR.im[k] * m_workR.im[k], lnFrames);
  }

  const auto field = [&](int x0, const std::array<std::int16_t, kSpectrumBins>& heights) {
    for (int i = 0; i < kMeterWidth; ++i) {
      int h = 0;
      for (int j = 4 * i; j < 4 * i + 4; ++j) {
        const int bin = heights[static_cast<std::size_t>(j)];
        h = bin > h ? bin : h;
      }
      // Heights stop at 15, so the grey part is never empty.
      window.FillSolidRect(x0 + i, kMeterTop, 1, kMeterHeight - h, kMeterGrey);
      if (h > 0) window.FillSolidRect(x0 + i, kMeterTop + kMeterHeight - h, 1, h, kMeterGreen);
    }
  };
  field(kMeterLeftX, m_heightL);
  field(kMeterRightX, m_heightR);
}

void CLevelMeter::ShowPeak(ui::IWindow& window) {
  const std::uint32_t held = HeldPeak();
  if (held == m_nShownPeak) return;
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%5d", static_cast<int>(held));
  window.SetDlgItemText(IDC_PEAK, std::string_view(text, static_cast<std::size_t>(n)));
  m_nShownPeak = held;
}

}  // namespace mivo
