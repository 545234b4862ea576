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
// yyyy, h, hh, n, nn, s, ss, zzz; "/" stands for DateSeparator and ":" for
// TimeSeparator; text in double or single quotes is copied.
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

// The fixed settings of the settings files and the log: ".", "/", ":",
// "dd/mm/yyyy", "hh:nn", "hh:nn:ss", whatever the locale.
TFormatSettings FixedFormatSettings();

// Throws EConvertError for an invalid date or time.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);

void DecodeDate(TDateTime value, int& year, int& month, int& day);
// Milliseconds are rounded to the nearest one.
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

// The short date, and when the time of day is not exactly midnight a blank and
// the long time.
std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings);
std::string DateToStr(TDateTime value, const TFormatSettings& settings);

// Reads a date in the order of the short date format, optionally followed by
// blanks and a time of hours, minutes and optional seconds. Throws
// EConvertError "'<text>' is not a valid date and time".
TDateTime StrToDateTime(const std::string& text, const TFormatSettings& settings);

TSystemTime DateTimeToSystemTime(TDateTime value);
// Throws EConvertError when a field is out of range.
TDateTime SystemTimeToDateTime(const TSystemTime& st);
