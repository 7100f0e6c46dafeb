#include "widgets/date_time.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

struct CivilDate {
  std::int64_t year;
  int month;
  int day;
};

// Days since 1970-01-01 to a Gregorian date (H. Hinnant's civil_from_days),
// exact for the whole 64-bit range of seconds divided into days.
CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const auto day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  const auto month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  return CivilDate{yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

void FormatUnixTime(std::int64_t seconds, std::string& text) {
  // The date serial (days since 30 December 1899 plus the fraction of the
  // day) names the same moment; whole seconds are kept in integers so that
  // 23:59:59 never rounds to the next minute.
  std::int64_t days = seconds / kSecondsPerDay;
  std::int64_t ofDay = seconds % kSecondsPerDay;
  if (ofDay < 0) {
    ofDay += kSecondsPerDay;
    --days;
  }
  const CivilDate date = CivilFromDays(days);
  const auto year = static_cast<int>((date.year % 100 + 100) % 100);
  std::array<char, 32> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%02d/%02d/%02d %02d:%02d", date.day, date.month,
                year, static_cast<int>(ofDay / 3600), static_cast<int>(ofDay % 3600 / 60));
  text = buffer.data();
}
