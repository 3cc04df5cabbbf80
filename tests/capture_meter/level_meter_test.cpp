// The meters as the recorder window shows them: peak hold and the Peak box,
// bar and mark lengths with the normalization preview, the spectrum's
// columns, drawing on every second buffer only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <numbers>
#include <ostream>
#include <vector>

#include "capture/level_meter.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_ids.h"
#include "support/counting_window.h"

namespace {
// Heap allocations made by this thread while counting is on.
thread_local bool g_counting = false;
thread_local int g_allocations = 0;
}  // namespace

// The replacements pair malloc with free, which GCC cannot tell after inlining.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  std::abort();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace mivo::ui {
bool operator==(const HeadlessWindow::Fill& a, const HeadlessWindow::Fill& b) {
  return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h && a.color == b.color;
}
void PrintTo(const HeadlessWindow::Fill& f, std::ostream* os) {
  *os << "{" << f.x << "," << f.y << "," << f.w << "," << f.h << ",#" << std::hex << f.color << std::dec << "}";
}
}  // namespace mivo::ui

namespace mivo {
namespace {

using Fill = ui::HeadlessWindow::Fill;

const ui::DialogTemplate& MeterTemplate() {
  static const ui::DialogTemplate t{
      1, "meter", 200, 60, "ＭＳ Ｐゴシック", 9,
      {{IDC_PEAK, ui::ControlKind::Edit, "", {10, 30, 40, 12}, ui::kReadOnly | ui::kRightAlign},
       {IDC_PEAK_RESET, ui::ControlKind::Button, "Reset", {60, 30, 40, 12}}}};
  return t;
}

// Interleaved stereo frames, each channel from its own function of the frame index.
template <typename L, typename R>
std::vector<std::int16_t> Frames(std::uint32_t count, L left, R right) {
  std::vector<std::int16_t> s(2 * count);
  for (std::uint32_t i = 0; i < count; ++i) {
    s[2 * i] = static_cast<std::int16_t>(left(i));
    s[2 * i + 1] = static_cast<std::int16_t>(right(i));
  }
  return s;
}

auto Constant(int v) {
  return [v](std::uint32_t) { return v; };
}
// Alternates between high and low: a span of high - low.
auto Square(int high, int low) {
  return [high, low](std::uint32_t i) { return i % 2 ? low : high; };
}
// A full-scale sine whose frequency is the centre of transform bin `bin`.
auto BinSine(int bin) {
  return [bin](std::uint32_t i) {
    return static_cast<int>(std::lround(32767.0 * std::sin(2.0 * std::numbers::pi * bin * i / 1024.0)));
  };
}

class MeterTest : public ::testing::Test {
 protected:
  MeterTest() : w(host.Open(dialog)) {}

  // One buffer through the meter, with the spans taken here.
  std::vector<Fill> Feed(const std::vector<std::int16_t>& s) {
    std::int32_t minL = s[0], maxL = s[0], minR = s[1], maxR = s[1];
    for (std::size_t i = 0; i < s.size(); i += 2) {
      minL = std::min<std::int32_t>(minL, s[i]);
      maxL = std::max<std::int32_t>(maxL, s[i]);
      minR = std::min<std::int32_t>(minR, s[i + 1]);
      maxR = std::max<std::int32_t>(maxR, s[i + 1]);
    }
    meter.OnBuffer(s.data(), static_cast<std::uint32_t>(s.size() / 2), static_cast<std::uint32_t>(maxL - minL),
                   static_cast<std::uint32_t>(maxR - minR), settings, w);
    return w.TakeFills();
  }
  // A drawn buffer followed by the undrawn one, so that every call draws.
  std::vector<Fill> FeedDrawn(const std::vector<std::int16_t>& s) {
    std::vector<Fill> fills = Feed(s);
    EXPECT_TRUE(Feed(s).empty());
    return fills;
  }
  // Bar length of a level field as drawn: its green part.
  static int GreenAt(const std::vector<Fill>& fills, int x0) {
    for (const Fill& f : fills) {
      if (f.x == x0 && f.color == kMeterGreen) return f.w;
    }
    return 0;
  }
  // The spectrum's column heights of one field, from the drawn rectangles.
  static std::vector<int> Columns(const std::vector<Fill>& fills, int x0) {
    std::vector<int> h(kMeterWidth, -1);
    for (const Fill& f : fills) {
      const int i = f.x - x0;
      if (i < 0 || i >= kMeterWidth || f.w != 1) continue;
      if (f.color == kMeterGrey) {
        EXPECT_EQ(f.y, kMeterTop);
        if (h[static_cast<std::size_t>(i)] < 0) h[static_cast<std::size_t>(i)] = 16 - f.h;
      } else {
        EXPECT_EQ(f.y + f.h, kMeterTop + kMeterHeight);
        EXPECT_EQ(h[static_cast<std::size_t>(i)], f.h) << "column " << i;
      }
    }
    return h;
  }

  ui::HeadlessHost host;
  ui::CDialog dialog{MeterTemplate()};
  ui::HeadlessWindow& w;
  RecorderSettings settings;
  CLevelMeter meter;
};

TEST_F(MeterTest, SilenceDrawsGreyFieldsWithoutMarksAndLeavesThePeakBox) {
  w.SetDlgItemText(IDC_PEAK, "untouched");
  const std::vector<Fill> fills = FeedDrawn(Frames(1024, Constant(1234), Constant(-5)));
  EXPECT_EQ(fills, (std::vector<Fill>{{12, 16, 128, 16, kMeterGrey}, {148, 16, 128, 16, kMeterGrey}}));
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "untouched");
  EXPECT_EQ(meter.HeldPeak(), 0u);
}

TEST_F(MeterTest, FullScaleFillsTheBarWithTheMarkOnItsLastPixel) {
  // Left full scale; right 16384 and 16385 straddle a pixel step.
  std::vector<Fill> fills = FeedDrawn(Frames(1024, Square(32767, -32768), Square(8192, -8192)));
  EXPECT_EQ(fills, (std::vector<Fill>{{12, 16, 128, 16, kMeterGreen},
                                      {139, 16, 1, 16, kMeterRed},
                                      {148, 16, 32, 16, kMeterGreen},
                                      {180, 16, 96, 16, kMeterGrey},
                                      {179, 16, 1, 16, kMeterRed}}));
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "65535");
  fills = FeedDrawn(Frames(1024, Constant(0), [](std::uint32_t i) { return i % 2 ? -8193 : 8192; }));
  EXPECT_EQ(GreenAt(fills, 148), 33);

  // A quieter buffer: the bars shrink, the marks stay at the holds.
  fills = FeedDrawn(Frames(1024, [](std::uint32_t i) { return i % 2 ? 0 : 1; }, Constant(7)));
  EXPECT_EQ(fills, (std::vector<Fill>{{12, 16, 1, 16, kMeterGreen},
                                      {13, 16, 127, 16, kMeterGrey},
                                      {139, 16, 1, 16, kMeterRed},
                                      {148, 16, 128, 16, kMeterGrey},
                                      {180, 16, 1, 16, kMeterRed}}));
  EXPECT_EQ(meter.PeakHoldL(), 65535u);
  EXPECT_EQ(meter.PeakHoldR(), 16385u);
}

TEST_F(MeterTest, NormalizationPreviewScalesBarsButNotThePeakBox) {
  settings.RecNormalize = true;
  settings.NormalizeAuto = false;
  settings.NormalizeLevel2 = 16384;
  std::vector<Fill> fills = FeedDrawn(Frames(1024, Square(8192, -8192), Constant(0)));
  EXPECT_EQ(GreenAt(fills, 12), 64);
  fills = FeedDrawn(Frames(1024, Square(20000, -20000), Constant(0)));  // span 40000: capped at full scale
  EXPECT_EQ(GreenAt(fills, 12), 128);
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "40000");

  // The automatic level shows no preview.
  settings.NormalizeAuto = true;
  EXPECT_EQ(GreenAt(FeedDrawn(Frames(1024, Square(8192, -8192), Constant(0))), 12), 32);

  // A level of 1 makes a span of 1 half scale; 0 or below (a hand-edited file)
  // shows the level as it is instead of dividing by it.
  settings.NormalizeAuto = false;
  settings.NormalizeLevel2 = 1;
  EXPECT_EQ(MeterLength(MeterValue(1, settings)), 64);
  EXPECT_EQ(MeterLength(MeterValue(2, settings)), 128);
  for (const int level : {0, -7}) {
    settings.NormalizeLevel2 = level;
    EXPECT_EQ(GreenAt(FeedDrawn(Frames(1024, Square(8192, -8192), Constant(0))), 12), 32) << level;
    EXPECT_EQ(MeterValue(65535, settings), 65535u);
  }
}

TEST_F(MeterTest, DrawsOnTheFirstAndEveryOtherBufferWhilePeakBoxFollowsEach) {
  const auto quiet = Frames(1024, Constant(0), Constant(0));
  const auto tone = Frames(1024, Square(1000, -1001), Constant(0));
  EXPECT_EQ(Feed(quiet).size(), 2u);
  EXPECT_TRUE(Feed(tone).empty());
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), " 2001");
  w.SetDlgItemText(IDC_PEAK, "kept");  // the same held peak is not written again
  EXPECT_FALSE(Feed(tone).empty());
  EXPECT_TRUE(Feed(tone).empty());
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "kept");

  // Another meter type draws nothing; the Peak box still follows.
  for (const int type : {0, 3}) {
    settings.RecMeterType = type;
    EXPECT_TRUE(Feed(Frames(1024, Square(3000, -3001), Constant(0))).empty());
    EXPECT_TRUE(Feed(Frames(1024, Square(3000, -3001), Constant(0))).empty());
  }
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), " 6001");
}

TEST_F(MeterTest, ResetDuringAToneShowsTheToneAfterTheNextBuffer) {
  const auto tone = Frames(1024, Square(5000, -5001), Square(3000, -3000));
  FeedDrawn(tone);
  FeedDrawn(Frames(1024, Square(20000, -20001), Constant(0)));
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "40001");
  meter.Reset();
  EXPECT_EQ(meter.HeldPeak(), 0u);
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "40001");
  const std::vector<Fill> fills = FeedDrawn(tone);
  EXPECT_EQ(w.GetDlgItemText(IDC_PEAK), "10001");
  EXPECT_EQ(fills[2], (Fill{12 + 19, 16, 1, 16, kMeterRed}));  // (10001 + 511) / 512 = 20
}

TEST_F(MeterTest, SpectrumOfABinCentredSineReachesTheTop) {
  settings.RecMeterType = kMeterSpectrum;
  const std::vector<Fill> fills = FeedDrawn(Frames(1024, BinSine(64), Constant(0)));
  const std::vector<int> left = Columns(fills, kMeterLeftX);
  const std::vector<int> right = Columns(fills, kMeterRightX);
  EXPECT_EQ(left[16], 15);  // bins 64..67
  EXPECT_EQ(meter.HeightsL()[64], 15);
  EXPECT_EQ(*std::max_element(left.begin() + 20, left.end()), 0);  // far from the tone
  EXPECT_EQ(right, std::vector<int>(kMeterWidth, 0));
  EXPECT_EQ(fills.size(), 256u + static_cast<std::size_t>(std::count_if(
                                     left.begin(), left.end(), [](int h) { return h > 0; })));
}

TEST_F(MeterTest, SpectrumOfConstantChannelsRaisesColumnZeroOnly) {
  settings.RecMeterType = kMeterSpectrum;
  // Samples below 32 in magnitude vanish in the transform input (-63 / 32 is
  // -1, not -2); a DC power of 1 is still height 0, a power of 4 height 2.
  struct Case {
    int value;
    int column0;
  };
  for (const Case c : {Case{31, 0}, Case{32, 0}, Case{63, 0}, Case{-63, 0}, Case{64, 2}, Case{-64, 2},
                       Case{20000, 15}, Case{-32768, 15}}) {
    const std::vector<Fill> fills = FeedDrawn(Frames(1024, Constant(c.value), Constant(0)));
    std::vector<int> expected(kMeterWidth, 0);
    expected[0] = c.column0;
    EXPECT_EQ(Columns(fills, kMeterLeftX), expected) << c.value;
  }

  // Only the first 1024 frames of a longer buffer are analysed.
  const std::vector<Fill> fills =
      FeedDrawn(Frames(2048, [](std::uint32_t i) { return i < 1024 ? 0 : 30000; }, Constant(0)));
  EXPECT_EQ(Columns(fills, kMeterLeftX), std::vector<int>(kMeterWidth, 0));
}

TEST(SpectrumHeight, TakesTheValuesZeroTwoToFourteenAndFifteen) {
  std::vector<int> seen;
  int last = 0;
  for (std::int32_t m = 0; m < (1 << 22); m = m < 64 ? m + 1 : m + m / 64) {
    const int h = SpectrumHeight(m, 1024);
    EXPECT_GE(h, last) << m;
    last = h;
    if (seen.empty() || seen.back() != h) seen.push_back(h);
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 2, 4, 6, 8, 10, 12, 14, 15}));
  // The buffer size scales the rule: ln(sqrt(16)) * 16 / ln(n).
  EXPECT_EQ(SpectrumHeight(700, 1024), 14);  // r = 7.56
  EXPECT_EQ(SpectrumHeight(1023, 1024), 14);
  EXPECT_EQ(SpectrumHeight(1025, 1024), 15);
  EXPECT_EQ(SpectrumHeight(16, 1024), 6);
  EXPECT_EQ(SpectrumHeight(16, 4096), 4);
}

using testing::CountingWindow;

TEST(LevelMeterBuffer, AllocatesNothing) {
  const auto tone = Frames(1024, BinSine(10), Square(9000, -9000));
  RecorderSettings settings;
  CountingWindow window;
  CLevelMeter meter;
  g_counting = true;
  for (const int type : {kMeterLevel, kMeterSpectrum}) {
    settings.RecMeterType = type;
    for (int i = 0; i < 4; ++i) meter.OnBuffer(tone.data(), 1024, 65534, 18000, settings, window);
    meter.Reset();
  }
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
  // The held peak is back at 65534 right after the Reset: the box is not rewritten.
  EXPECT_EQ(window.texts, 1);
  EXPECT_GE(window.fills, 2 * 5 + 2 * 2 * 128);
}

}  // namespace
}  // namespace mivo
