// Reading a number field of a settings dialog on OK, with the messages a
// dialog shows for a text that is not an integer or lies outside its range.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ui/window.h"

namespace mivo {

inline constexpr std::string_view kNotAnInteger = "整数を入力してください。";
// %1 and %2 stand for the limits.
inline constexpr std::string_view kIntegerRange = "%1 から %2 までの整数を入力してください。";

// Decimal text to a 32-bit integer: blanks around it, an optional sign and
// digits, nothing else. Nothing for any other text or a value beyond 32 bits.
std::optional<std::int32_t> ParseFieldInt(std::string_view text);

// "%1 から %2 までの…" with the limits filled in.
std::string IntegerRangeMessage(std::int64_t low, std::int64_t high);

// Reads edit `id` into `value`. A text that is not an integer, or a value
// outside low … high (a limit left out is not checked), shows its message
// in a box owned by the dialog and returns false; the dialog stays open.
bool ReadIntField(ui::IWindow& window, int id, std::optional<std::int32_t> low,
                  std::optional<std::int32_t> high, std::int32_t& value);

}  // namespace mivo
