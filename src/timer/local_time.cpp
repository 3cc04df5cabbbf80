#include "timer/local_time.h"

#include <cstdio>
#include <ctime>

namespace mivo {
namespace {

bool ToLocal(std::int64_t moment, std::tm* local) {
  const std::time_t t = static_cast<std::time_t>(moment);
  return localtime_r(&t, local) != nullptr;
}

}  // namespace

std::optional<std::int64_t> LocalMoment(const ui::PickerTime& date, const ui::PickerTime& time) {
  std::tm local{};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.day;
  local.tm_hour = time.hour;
  local.tm_min = time.minute;
  local.tm_sec = time.second;
  local.tm_isdst = -1;  // the zone's rules decide
  const std::time_t t = std::mktime(&local);
  // -1 is also the last second of 1969, which no timer starts at.
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

ui::PickerTime LocalFields(std::int64_t moment) {
  std::tm local{};
  if (!ToLocal(moment, &local)) return {};
  return ui::PickerTime{true, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                        local.tm_hour, local.tm_min, local.tm_sec};
}

std::int64_t NextWholeHour(std::int64_t now) {
  std::tm local{};
  // Cut in absolute seconds: the local hour began the local minutes and
  // seconds ago, whatever the zone's offset, even in a repeated hour.
  if (!ToLocal(now, &local)) return now - now % 3600 + 3600;
  return now - (local.tm_min * 60 + local.tm_sec) + 3600;
}

std::string FormatCountdown(std::string_view prefix, std::int64_t span) {
  if (span < 0) span = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(span / 3600 % 24),
                static_cast<int>(span / 60 % 60), static_cast<int>(span % 60));
  return std::string(prefix) + text;
}

std::string FormatLocal(std::int64_t moment, bool offset) {
  std::tm local{};
  if (!ToLocal(moment, &local)) return "-";
  char text[48];
  const std::size_t n = std::strftime(text, sizeof text, offset ? "%Y/%m/%d %H:%M:%S %z" : "%Y/%m/%d %H:%M:%S", &local);
  return n == 0 ? std::string("-") : std::string(text, n);
}

}  // namespace mivo
