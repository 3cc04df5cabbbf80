// Local time as the system's zone rules give it, daylight saving included:
// the pickers' fields, the countdown and the texts that show a moment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ui/window.h"

namespace mivo {

// The moment named by a date picker's day and a time picker's time of day
// in local time, the system deciding whether daylight saving applies.
// Nothing when the system cannot represent it.
std::optional<std::int64_t> LocalMoment(const ui::PickerTime& date, const ui::PickerTime& time);

// The local fields of a moment, as both pickers take them; invalid when the
// system cannot convert it.
ui::PickerTime LocalFields(std::int64_t moment);

// The next whole local hour after `now`: the hour `now` lies in, plus 3600 s.
std::int64_t NextWholeHour(std::int64_t now);

// `prefix` followed by a span as "HH:MM:SS": the hours within a day (whole
// days are not shown), the minutes, the seconds. A span that has run out
// reads 00:00:00.
std::string FormatCountdown(std::string_view prefix, std::int64_t span);

// "YYYY/MM/DD HH:MM:SS" in local time; with `offset`, " +HHMM" follows so
// that the repeated hour of a daylight-saving change stays unambiguous.
std::string FormatLocal(std::int64_t moment, bool offset);

}  // namespace mivo
