#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "Scheduler.h"

namespace corvane {
namespace {

// 1601-01-01 00:00:00 UTC, the earliest instant calendar conversion accepts,
// in ms since 1970.
constexpr int64_t kEarliestMs = -11644473600000;
// The latest: 100-ns units since 1601 must fit a signed 64-bit number
// (30828-09-14).
constexpr int64_t kLatestMs = INT64_MAX / 10000 + kEarliestMs;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Proleptic Gregorian date of a day count since 1970-01-01.
void CivilFromDays(int64_t days, int32_t* year, int32_t* month, int32_t* day) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  *month = static_cast<int32_t>(m);
  *day = static_cast<int32_t>(d);
}

}  // namespace

void EpochMsToDateTime(DateTime* out, int64_t msSince1970) {
  if (!out) return;
  if (msSince1970 < kEarliestMs || msSince1970 > kLatestMs) {
    // Out of range: the conversion's failure value (day 0, not 1).
    *out = DateTime{1970, 1, 0, 0, 0, 0, 0};
    return;
  }
  const int64_t days = FloorDiv(msSince1970, 86400000);
  int64_t rest = msSince1970 - days * 86400000;
  CivilFromDays(days, &out->year, &out->month, &out->day);
  out->hour = static_cast<int32_t>(rest / 3600000);
  rest %= 3600000;
  out->minute = static_cast<int32_t>(rest / 60000);
  rest %= 60000;
  out->second = static_cast<int32_t>(rest / 1000);
  out->millisecond = static_cast<int32_t>(rest % 1000);
}

std::string TimestampText(int64_t epochSeconds) {
  DateTime dt;
  if (epochSeconds == 0) {
    GetDefaultScheduler()->GetLocalDateTime(&dt);
  } else {
    // Calendar time of the value as given: no zone conversion.
    time_t seconds = static_cast<time_t>(epochSeconds);
    struct tm tmv {};
    if (gmtime_r(&seconds, &tmv) == nullptr) {
      EpochMsToDateTime(&dt, 0);
    } else {
      dt.year = tmv.tm_year + 1900;
      dt.month = tmv.tm_mon + 1;
      dt.day = tmv.tm_mday;
      dt.hour = tmv.tm_hour;
      dt.minute = tmv.tm_min;
      dt.second = tmv.tm_sec;
      dt.millisecond = 0;
    }
  }
  char buf[64];
  snprintf(buf, sizeof(buf), "%02d/%02d/%04d %02d:%02d:%02d.%03d", dt.month, dt.day, dt.year, dt.hour, dt.minute,
           dt.second, dt.millisecond);
  return buf;
}

}  // namespace corvane
