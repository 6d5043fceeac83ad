// Time stamp forms used by the formats: local time everywhere except HTTP dates (GMT),
// monotonic time for every elapsed-time measurement.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace jvb {

// A local (or GMT) broken-down time with milliseconds.
struct DateTime {
  int year = 0, month = 0, day = 0;      // month 1-12
  int hour = 0, minute = 0, second = 0;  // 24 h
  int millisecond = 0;
  int weekday = 0;  // 0 = Sunday
};

DateTime NowLocal();
DateTime ToLocal(time_t t, int ms = 0);
DateTime ToGmt(time_t t, int ms = 0);

// "hh:nn:ss.cc" (hundredths) - system log entries.
std::string FormatLogStamp(const DateTime& t);
// "hh:nn:ss.mmm" - trace lines.
std::string FormatTraceStamp(const DateTime& t);
// "yyyymmddhhnnss.m" with milliseconds unpadded - launcher argument, queue headers.
std::string FormatLauncherStamp(const DateTime& t);
// "yyyymmdd-hhnnss" - log archive names.
std::string FormatArchiveName(const DateTime& t);
// "yyyy/mm/dd" and the day line "@yyyy/mm/dd (Weekday hh:nn:ss)".
std::string FormatDayLine(const DateTime& t);
// RFC 1123 date "Sun, 06 Nov 1994 08:49:37 GMT" of a GMT time.
std::string FormatRfc1123(const DateTime& gmt);

// Parses "yyyymmddhhnnss.m" (characters 16-19 are the milliseconds, as many as there
// are) into epoch seconds and milliseconds, interpreting it as local time with the
// daylight-saving flag left to the C library. False on any malformed input.
bool ParseLauncherStamp(const std::string& s, time_t* epoch, int* ms);

// Day number with 1 January of year 1 as day 1, and milliseconds since midnight.
int32_t DayNumber(const DateTime& t);
uint32_t MillisecondsOfDay(const DateTime& t);
// 8-byte little-endian stamp: milliseconds of day, then day number.
void PutStamp8(unsigned char* out, const DateTime& t);

// Packed DOS date-time of a local time; 0 outside 1980-2107.
int32_t PackDosDateTime(const DateTime& t);

// English names.
const char* WeekdayName(int weekday);     // "Sunday"
const char* WeekdayShort(int weekday);    // "Sun"
const char* MonthShort(int month);        // 1 -> "Jan"

// Monotonic clock in milliseconds / nanoseconds.
int64_t MonotonicMs();
int64_t MonotonicNs();

}  // namespace jvb
