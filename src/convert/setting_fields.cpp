#include "convert/setting_fields.h"

#include <limits>

namespace mivo {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::optional<std::int32_t> ParseFieldInt(std::string_view text) {
  std::size_t i = 0, end = text.size();
  while (i < end && IsBlank(text[i])) ++i;
  while (end > i && IsBlank(text[end - 1])) --end;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == end) return std::nullopt;
  std::int64_t magnitude = 0;
  for (; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > std::int64_t{1} << 32) return std::nullopt;
  }
  const std::int64_t v = negative ? -magnitude : magnitude;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(v);
}

std::string IntegerRangeMessage(std::int64_t low, std::int64_t high) {
  std::string text(kIntegerRange);
  text.replace(text.find("%1"), 2, std::to_string(low));
  text.replace(text.find("%2"), 2, std::to_string(high));
  return text;
}

bool ReadIntField(ui::IWindow& window, int id, std::optional<std::int32_t> low,
                  std::optional<std::int32_t> high, std::int32_t& value) {
  const std::optional<std::int32_t> parsed = ParseFieldInt(window.GetDlgItemText(id));
  if (!parsed) {
    window.MessageBox(kNotAnInteger, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    window.SetFocus(id);
    return false;
  }
  if ((low && *parsed < *low) || (high && *parsed > *high)) {
    const std::int64_t lo = low ? *low : std::numeric_limits<std::int32_t>::min();
    const std::int64_t hi = high ? *high : std::numeric_limits<std::int32_t>::max();
    window.MessageBox(IntegerRangeMessage(lo, hi), ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    window.SetFocus(id);
    return false;
  }
  value = *parsed;
  return true;
}

}  // namespace mivo
