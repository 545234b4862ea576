// Date-times and the broken-down time record.
//
// A TDateTime counts days since 30 December 1899, 00:00 local time; its
// fraction is the time of day, and 0 stands for a time that was never set.
// Conversions work on the civil calendar alone and never consult a time zone,
// so a value means the same local wall-clock time wherever it is read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

using TDateTime = double;

// The broken-down local time: year, month, day of the week (0 = Sunday), day,
// hour, minute, second, milliseconds. All zeros means "not set".
struct TSystemTime {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;
  uint16_t wDayOfWeek = 0;
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
};

// Date and time formats. The format strings use the tokens d, dd, m, mm, yy,
// yyyy, h, hh, n, nn, s, ss, z, zzz in either letter case (the one-letter forms
// without leading zero, h on the 24-hour clock, n the minutes); "/" stands for
// DateSeparator and ":" for TimeSeparator; text in double or single quotes is
// copied, and so is every other character.
struct TFormatSettings {
  char DecimalSeparator = '.';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "dd/mm/yyyy";
  std::string ShortTimeFormat = "hh:nn";
  std::string LongTimeFormat = "hh:nn:ss";
};

// The settings of the user's locale (LC_TIME and LC_NUMERIC of the process
// environment; the C locale gives the fields' defaults but "mm/dd/yy").
TFormatSettings LocaleFormatSettings();

// The settings for a locale's strftime date format (D_FMT), time format
// (T_FMT) and radix character: %d %e %m %y %Y (and %D, %F) become tokens, the
// first separator character of each format becomes DateSeparator and
// TimeSeparator, and the other fields keep their defaults.
TFormatSettings FormatSettingsFromLocaleInfo(const std::string& dateFormat,
                                             const std::string& timeFormat,
                                             const std::string& radix);

// The fixed settings of the settings files and the log: ".", "/", ":",
// "dd/mm/yyyy", "hh:nn", "hh:nn:ss", whatever the locale.
TFormatSettings FixedFormatSettings();

// Years 1 to 9999. Dates before 30 December 1899 are negative and hold their
// time of day as a positive fraction: -1.25 is 29 December 1899, 06:00.
// Throws EConvertError for an invalid date or time.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);

// Values are rounded to the nearest millisecond first, which may carry into
// the next day. A value outside the years 1 to 9999 (or not a number) decodes
// as zeros: date 0/0/0, time 00:00:00.000.
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);

// 1 = Monday ... 7 = Sunday.
int DayOfTheWeek(TDateTime value);

// The whole days of `value` (its date at midnight).
TDateTime DateOf(TDateTime value);

// The local clock.
TDateTime Now();

// A clock that the service and its tests can replace.
using TClock = std::function<TDateTime()>;

std::string FormatDateTime(const std::string& format, TDateTime value,
                           const TFormatSettings& settings);

// The short date, and unless hours, minutes and seconds are all zero a blank
// and the long time (milliseconds alone do not count).
std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings);
std::string DateToStr(TDateTime value, const TFormatSettings& settings);

// Reads a date in the order of the short date format (day and month of one or
// two digits, a year of four, joined by DateSeparator), optionally followed by
// blanks and a time of hours, minutes and optional seconds (one or two digits
// each, joined by TimeSeparator); blanks around the whole are allowed. Throws
// EConvertError "'<text>' is not a valid date and time" for anything else,
// the empty text and invalid dates or times included.
TDateTime StrToDateTime(const std::string& text, const TFormatSettings& settings);

// All zeros for a value outside the years 1 to 9999.
TSystemTime DateTimeToSystemTime(TDateTime value);
// Throws EConvertError when a field is out of range.
TDateTime SystemTimeToDateTime(const TSystemTime& st);
