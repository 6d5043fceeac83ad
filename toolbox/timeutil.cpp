#include "toolbox/timeutil.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>

namespace jvb {
namespace {

const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kWeekdaysShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

DateTime FromTm(const struct tm& tm, int ms) {
  DateTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = ms;
  t.weekday = tm.tm_wday;
  return t;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const std::string& s, size_t from, size_t n, int* out) {
  int v = 0;
  for (size_t i = from; i < from + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

DateTime NowLocal() {
  struct timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ToLocal(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

DateTime ToLocal(time_t t, int ms) {
  struct tm tm{};
  localtime_r(&t, &tm);
  return FromTm(tm, ms);
}

DateTime ToGmt(time_t t, int ms) {
  struct tm tm{};
  gmtime_r(&t, &tm);
  return FromTm(tm, ms);
}

std::string FormatLogStamp(const DateTime& t) {
  char b[32];
  snprintf(b, sizeof b, "%02d:%02d:%02d.%02d", t.hour, t.minute, t.second, t.millisecond / 10);
  return b;
}

std::string FormatTraceStamp(const DateTime& t) {
  char b[32];
  snprintf(b, sizeof b, "%02d:%02d:%02d.%3.3d", t.hour, t.minute, t.second, t.millisecond);
  return b;
}

std::string FormatLauncherStamp(const DateTime& t) {
  char b[48];
  snprintf(b, sizeof b, "%04d%02d%02d%02d%02d%02d.%d", t.year, t.month, t.day, t.hour, t.minute,
           t.second, t.millisecond);
  return b;
}

std::string FormatArchiveName(const DateTime& t) {
  char b[32];
  snprintf(b, sizeof b, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
           t.second);
  return b;
}

std::string FormatDayLine(const DateTime& t) {
  char b[80];
  snprintf(b, sizeof b, "@%04d/%02d/%02d (%s %02d:%02d:%02d)", t.year, t.month, t.day,
           WeekdayName(t.weekday), t.hour, t.minute, t.second);
  return b;
}

std::string FormatRfc1123(const DateTime& g) {
  char b[64];
  snprintf(b, sizeof b, "%s, %02d %s %04d %02d:%02d:%02d GMT", WeekdayShort(g.weekday), g.day,
           MonthShort(g.month), g.year, g.hour, g.minute, g.second);
  return b;
}

bool ParseLauncherStamp(const std::string& s, time_t* epoch, int* ms) {
  // yyyymmddhhnnss "." then 1-4 digits of milliseconds
  if (s.size() < 16 || s.size() > 19 || s[14] != '.') return false;
  int y, mo, d, h, mi, se, m;
  if (!Digits(s, 0, 4, &y) || !Digits(s, 4, 2, &mo) || !Digits(s, 6, 2, &d) ||
      !Digits(s, 8, 2, &h) || !Digits(s, 10, 2, &mi) || !Digits(s, 12, 2, &se) ||
      !Digits(s, 15, s.size() - 15, &m))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 59 || m > 999 || y < 1970)
    return false;
  // Local fields to epoch seconds with the offset in force at that moment, so that a DST
  // change never shifts the stamp. Not mktime: it re-reads the time zone on every call,
  // while other threads convert times.
  const int64_t local = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se;
  time_t t = static_cast<time_t>(local);
  struct tm tm{};
  for (int pass = 0; pass < 2; ++pass) {  // the offset near the guess, then at the result
    if (localtime_r(&t, &tm) == nullptr) return false;
    t = static_cast<time_t>(local - tm.tm_gmtoff);
  }
  if (localtime_r(&t, &tm) == nullptr) return false;
  if (tm.tm_mday != d || tm.tm_mon != mo - 1) return false;  // 31 February and the like
  *epoch = t;
  *ms = m;
  return true;
}

int32_t DayNumber(const DateTime& t) {
  return static_cast<int32_t>(DaysFromCivil(t.year, t.month, t.day) + 719163);
}

uint32_t MillisecondsOfDay(const DateTime& t) {
  return static_cast<uint32_t>(((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond);
}

void PutStamp8(unsigned char* out, const DateTime& t) {
  uint32_t ms = MillisecondsOfDay(t);
  uint32_t day = static_cast<uint32_t>(DayNumber(t));
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<unsigned char>(ms >> (8 * i));
    out[4 + i] = static_cast<unsigned char>(day >> (8 * i));
  }
}

int32_t PackDosDateTime(const DateTime& t) {
  if (t.year < 1980 || t.year > 2107) return 0;
  uint32_t v = (static_cast<uint32_t>(t.year - 1980) << 25) | (static_cast<uint32_t>(t.month) << 21) |
               (static_cast<uint32_t>(t.day) << 16) | (static_cast<uint32_t>(t.hour) << 11) |
               (static_cast<uint32_t>(t.minute) << 5) | static_cast<uint32_t>(t.second / 2);
  return static_cast<int32_t>(v);
}

const char* WeekdayName(int w) { return kWeekdays[(w % 7 + 7) % 7]; }
const char* WeekdayShort(int w) { return kWeekdaysShort[(w % 7 + 7) % 7]; }
const char* MonthShort(int m) { return (m >= 1 && m <= 12) ? kMonths[m - 1] : "???"; }

int64_t MonotonicNs() {
  struct timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t MonotonicMs() { return MonotonicNs() / 1000000; }

}  // namespace jvb
