#include "common/datetime.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "common/exceptions.h"
#include "platform/ascii.h"
#include "platform/text.h"

namespace {

constexpr int64_t kMsPerDay = 86400000;
// Days from 1 January 1970 back to the epoch of TDateTime, 30 December 1899.
constexpr int64_t kUnixEpochDays = 25569;
// The serials of 1 January 0001 and of 1 January 10000.
constexpr int64_t kMinSerial = -693593;
constexpr int64_t kEndSerial = 2958466;

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1 January 1970 of a proleptic Gregorian date (the civil-from-days
// algorithms count from 1 March, so that the leap day ends a year).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// A value split into its day serial and its time of day in milliseconds. A
// negative value holds its time of day as a positive fraction (-1.25 is
// 29 December 1899, 06:00). Rounding to the millisecond may carry into the
// day. False for values outside the years 1 to 9999.
bool Split(TDateTime value, int64_t& serial, int64_t& ms) {
  if (!std::isfinite(value) || value <= kMinSerial - 1 || value >= kEndSerial) return false;
  const double whole = std::trunc(value);
  serial = static_cast<int64_t>(whole);
  ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms == kMsPerDay) {  // the last half millisecond of a day is the next midnight
    ms = 0;
    ++serial;
  }
  return serial >= kMinSerial && serial < kEndSerial;
}

// Date plus time of day, with the sign rule of negative values.
TDateTime Compose(TDateTime date, TDateTime time) {
  return date >= 0 ? date + time : date - time;
}

std::string TwoDigits(int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", value);
  return buffer;
}

std::string Digits(int value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
  return buffer;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads 1 to maxDigits decimal digits at text[pos]; exactly maxDigits when
// exact is set.
bool ReadNumber(const std::string& text, size_t& pos, size_t maxDigits, bool exact, int& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && IsDigit(text[pos]) && pos - start < maxDigits) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  size_t count = pos - start;
  if (count == 0 || (exact && count != maxDigits)) return false;
  // More digits than allowed: the number is too long, not two numbers.
  return pos >= text.size() || !IsDigit(text[pos]);
}

bool Expect(const std::string& text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

void SkipBlanks(const std::string& text, size_t& pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
}

enum class DateOrder { DMY, MDY, YMD };

DateOrder OrderOf(const std::string& format) {
  std::string letters;
  for (char c : format) {
    char l = platform::AsciiLower(c);
    if ((l == 'd' || l == 'm' || l == 'y') && letters.find(l) == std::string::npos) letters += l;
  }
  if (letters.rfind("md", 0) == 0) return DateOrder::MDY;
  if (letters.rfind("y", 0) == 0) return DateOrder::YMD;
  return DateOrder::DMY;
}

bool TryParseDateTime(const std::string& text, const TFormatSettings& settings, TDateTime& result) {
  size_t pos = 0;
  SkipBlanks(text, pos);
  int parts[3];
  int year = 0, month = 0, day = 0;
  const DateOrder order = OrderOf(settings.ShortDateFormat);
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && !Expect(text, pos, settings.DateSeparator)) return false;
    const bool isYear = (order == DateOrder::YMD) ? i == 0 : i == 2;
    if (!ReadNumber(text, pos, isYear ? 4 : 2, isYear, parts[i])) return false;
  }
  switch (order) {
    case DateOrder::DMY:
      day = parts[0], month = parts[1], year = parts[2];
      break;
    case DateOrder::MDY:
      month = parts[0], day = parts[1], year = parts[2];
      break;
    case DateOrder::YMD:
      year = parts[0], month = parts[1], day = parts[2];
      break;
  }
  TDateTime date;
  if (!TryEncodeDate(year, month, day, date)) return false;

  const size_t dateEnd = pos;
  SkipBlanks(text, pos);
  TDateTime time = 0;
  if (pos < text.size()) {
    if (pos == dateEnd) return false;  // the time must follow a blank
    int hour, minute, second = 0;
    if (!ReadNumber(text, pos, 2, false, hour)) return false;
    if (!Expect(text, pos, settings.TimeSeparator)) return false;
    if (!ReadNumber(text, pos, 2, false, minute)) return false;
    if (pos < text.size() && text[pos] == settings.TimeSeparator) {
      ++pos;
      if (!ReadNumber(text, pos, 2, false, second)) return false;
    }
    SkipBlanks(text, pos);
    if (pos != text.size()) return false;
    if (!TryEncodeTime(hour, minute, second, 0, time)) return false;
  }
  result = Compose(date, time);
  return true;
}

// A literal piece of a date format, quoted where its characters would be read
// as tokens or separators.
void AppendLiteral(std::string& format, char c, char dateSeparator) {
  if (c == dateSeparator) {
    format += '/';
  } else if (c == '"') {
    format += "'\"'";
  } else if ((platform::AsciiLower(c) >= 'a' && platform::AsciiLower(c) <= 'z') || c == '/' ||
             c == ':' || c == '\'') {
    format += '"';
    format += c;
    format += '"';
  } else {
    format += c;
  }
}

// Replaces the composite conversions by the simple ones they stand for.
std::string ExpandComposites(const std::string& format) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      switch (format[i + 1]) {
        case 'D':
          out += "%m/%d/%y";
          ++i;
          continue;
        case 'F':
          out += "%Y-%m-%d";
          ++i;
          continue;
        case 'T':
          out += "%H:%M:%S";
          ++i;
          continue;
        case 'R':
          out += "%H:%M";
          ++i;
          continue;
        case 'r':
          out += "%I:%M:%S %p";
          ++i;
          continue;
        default:
          out += format[i];
          out += format[++i];
          continue;
      }
    }
    out += format[i];
  }
  return out;
}

// The first plain ASCII character of a strftime format that is no blank and
// not part of a conversion; `fallback` when there is none.
char FirstSeparator(const std::string& format, char fallback) {
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%') {
      ++i;
      while (i < format.size() &&
             std::string("_-0^#EO123456789").find(format[i]) != std::string::npos)
        ++i;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(format[i]);
    if (c > ' ' && c < 0x80 && !IsDigit(format[i]) &&
        !(platform::AsciiLower(format[i]) >= 'a' && platform::AsciiLower(format[i]) <= 'z'))
      return format[i];
  }
  return fallback;
}

}  // namespace

TFormatSettings FixedFormatSettings() {
  return TFormatSettings{};
}

TFormatSettings FormatSettingsFromLocaleInfo(const std::string& dateFormat,
                                             const std::string& timeFormat,
                                             const std::string& radix) {
  TFormatSettings settings;
  const std::string date = ExpandComposites(dateFormat);
  settings.DateSeparator = FirstSeparator(date, '/');
  settings.TimeSeparator = FirstSeparator(ExpandComposites(timeFormat), ':');
  if (radix.size() == 1) settings.DecimalSeparator = radix[0];

  std::string format;
  for (size_t i = 0; i < date.size(); ++i) {
    if (date[i] != '%') {
      AppendLiteral(format, date[i], settings.DateSeparator);
      continue;
    }
    bool unpadded = false;
    ++i;
    while (i < date.size() && std::string("_-0^#EO123456789").find(date[i]) != std::string::npos) {
      if (date[i] == '-') unpadded = true;
      ++i;
    }
    if (i >= date.size()) break;
    switch (date[i]) {
      case 'd':
        format += unpadded ? "d" : "dd";
        break;
      case 'e':
        format += "d";
        break;
      case 'm':
        format += unpadded ? "m" : "mm";
        break;
      case 'y':
        format += "yy";
        break;
      case 'Y':
        format += "yyyy";
        break;
      case '%':
        AppendLiteral(format, '%', settings.DateSeparator);
        break;
      default:
        break;  // names of days and months have no token here
    }
  }
  if (!format.empty()) settings.ShortDateFormat = format;
  return settings;
}

TFormatSettings LocaleFormatSettings() {
  // Each category on its own, so that one unknown locale name does not take
  // the other category down with it.
  auto info = [](int mask, nl_item item) -> std::string {
    // LC_CTYPE comes along for the code set the texts are written in, when it
    // is a known locale too.
    locale_t loc = ::newlocale(mask | LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) loc = ::newlocale(mask, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) loc = ::newlocale(mask, "C", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return "";
    std::string value = ::nl_langinfo_l(item, loc);
    // The programs' texts are cp1252: literal characters of a UTF-8 locale's
    // formats (such as the Japanese date's) are converted here, once, so that
    // no UTF-8 byte lands in a cp1252 text and is encoded a second time.
    const bool utf8 = std::string(::nl_langinfo_l(CODESET, loc)) == "UTF-8";
    ::freelocale(loc);
    return utf8 ? platform::Utf8ToCp1252(value) : value;
  };
  return FormatSettingsFromLocaleInfo(info(LC_TIME_MASK, D_FMT), info(LC_TIME_MASK, T_FMT),
                                      info(LC_NUMERIC_MASK, RADIXCHAR));
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  result = static_cast<TDateTime>(DaysFromCivil(year, month, day) + kUnixEpochDays);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    return false;
  const int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  result = static_cast<TDateTime>(ms) / static_cast<TDateTime>(kMsPerDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result;
  if (!TryEncodeDate(year, month, day, result))
    throw EConvertError("Invalid argument to date encode");
  return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  TDateTime result;
  if (!TryEncodeTime(hour, minute, second, millisecond, result))
    throw EConvertError("Invalid argument to time encode");
  return result;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  int64_t serial, ms;
  if (!Split(value, serial, ms)) {
    year = month = day = 0;
    return;
  }
  CivilFromDays(serial - kUnixEpochDays, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  int64_t serial, ms;
  if (!Split(value, serial, ms)) ms = 0;
  hour = static_cast<int>(ms / 3600000);
  minute = static_cast<int>(ms / 60000 % 60);
  second = static_cast<int>(ms / 1000 % 60);
  millisecond = static_cast<int>(ms % 1000);
}

int DayOfTheWeek(TDateTime value) {
  int64_t serial, ms;
  if (!Split(value, serial, ms)) serial = 0;
  // Serial 0, 30 December 1899, was a Saturday.
  int64_t fromMonday = (serial + 5) % 7;
  if (fromMonday < 0) fromMonday += 7;
  return static_cast<int>(fromMonday) + 1;
}

TDateTime DateOf(TDateTime value) {
  int64_t serial, ms;
  if (!Split(value, serial, ms)) return 0;
  return static_cast<TDateTime>(serial);
}

TDateTime Now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  // localtime_r alone keeps the zone it first read; tzset follows a change of
  // the machine's zone while the service runs. The C library guards the zone
  // with a lock of its own that ThreadSanitizer cannot see; ours says the same
  // for the pipe threads, the log and the service thread calling at once.
  static std::mutex zoneLock;
  struct tm local;
  {
    std::lock_guard<std::mutex> guard(zoneLock);
    ::tzset();
    if (::localtime_r(&ts.tv_sec, &local) == nullptr) return 0;
  }
  // A leap second reads as the last second of its minute.
  const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
  TDateTime date, time;
  if (!TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date)) return 0;
  TryEncodeTime(local.tm_hour, local.tm_min, second, static_cast<int>(ts.tv_nsec / 1000000), time);
  return Compose(date, time);
}

std::string FormatDateTime(const std::string& format, TDateTime value,
                           const TFormatSettings& settings) {
  int year, month, day, hour, minute, second, ms;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, ms);
  std::string out;
  size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    const char l = platform::AsciiLower(c);
    size_t run = 1;
    while (i + run < format.size() && platform::AsciiLower(format[i + run]) == l) ++run;
    switch (l) {
      case '"':
      case '\'': {
        size_t close = format.find(c, i + 1);
        if (close == std::string::npos) close = format.size();
        out.append(format, i + 1, close - i - 1);
        i = close + 1;
        continue;
      }
      case '/':
        out += settings.DateSeparator;
        ++i;
        continue;
      case ':':
        out += settings.TimeSeparator;
        ++i;
        continue;
      case 'y':
        out += run <= 2 ? TwoDigits(year % 100) : Digits(year, 4);
        i += run;
        continue;
      case 'z':
        if (run >= 3) {
          out += Digits(ms, 3);
          i += 3;
        } else {
          out += std::to_string(ms);
          i += run;
        }
        continue;
      case 'd':
      case 'm':
      case 'h':
      case 'n':
      case 's': {
        const int v = l == 'd'   ? day
                      : l == 'm' ? month
                      : l == 'h' ? hour
                      : l == 'n' ? minute
                                 : second;
        if (run >= 2) {
          out += TwoDigits(v);
          i += 2;
        } else {
          out += std::to_string(v);
          i += 1;
        }
        continue;
      }
      default:
        out += c;
        ++i;
        continue;
    }
  }
  return out;
}

std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings) {
  int hour, minute, second, ms;
  DecodeTime(value, hour, minute, second, ms);
  std::string text = FormatDateTime(settings.ShortDateFormat, value, settings);
  if (hour != 0 || minute != 0 || second != 0)
    text += " " + FormatDateTime(settings.LongTimeFormat, value, settings);
  return text;
}

std::string DateToStr(TDateTime value, const TFormatSettings& settings) {
  return FormatDateTime(settings.ShortDateFormat, value, settings);
}

TDateTime StrToDateTime(const std::string& text, const TFormatSettings& settings) {
  TDateTime result;
  if (!TryParseDateTime(text, settings, result))
    throw EConvertError("'" + text + "' is not a valid date and time");
  return result;
}

TSystemTime DateTimeToSystemTime(TDateTime value) {
  TSystemTime st;
  int64_t serial, ms;
  if (!Split(value, serial, ms)) return st;
  int year, month, day, hour, minute, second, millisecond;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, millisecond);
  st.wYear = static_cast<uint16_t>(year);
  st.wMonth = static_cast<uint16_t>(month);
  st.wDayOfWeek = static_cast<uint16_t>(DayOfTheWeek(value) % 7);
  st.wDay = static_cast<uint16_t>(day);
  st.wHour = static_cast<uint16_t>(hour);
  st.wMinute = static_cast<uint16_t>(minute);
  st.wSecond = static_cast<uint16_t>(second);
  st.wMilliseconds = static_cast<uint16_t>(millisecond);
  return st;
}

TDateTime SystemTimeToDateTime(const TSystemTime& st) {
  return Compose(EncodeDate(st.wYear, st.wMonth, st.wDay),
                 EncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds));
}
