#include "common/timelist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/exceptions.h"

namespace {

constexpr int32_t kSecondsPerDay = 86400;

bool IsControlOrBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsControlOrBlank(text[begin])) ++begin;
  while (end > begin && IsControlOrBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Decimal digits with an optional sign, within 32 bits.
bool ToInt(const std::string& text, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  return value >= INT32_MIN && value <= INT32_MAX;
}

// The time of day of T in whole seconds, an exact half going to the even
// second; 86400 just before midnight. A negative date holds its time of day
// as a positive fraction.
int64_t SecondOfDay(TDateTime T) {
  if (!std::isfinite(T)) return 0;
  const double seconds = std::fabs(T - std::trunc(T)) * kSecondsPerDay;
  double whole = std::floor(seconds);
  const double rest = seconds - whole;
  if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
  return static_cast<int64_t>(whole);
}

// GetField without its 255-character limit, so that a long token is judged
// as written and not by its first 255 characters.
std::string Field(const std::string& text, char sep, int32_t index) {
  size_t begin = 0;
  for (int32_t i = 0; i < index; ++i) {
    begin = text.find(sep, begin);
    if (begin == std::string::npos) return "";
    ++begin;
  }
  const size_t end = text.find(sep, begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace

int32_t CompareTimes(int32_t A, int32_t B) {
  return A - B;
}

TTimeList::TTimeList(const std::string& Text) {
  SetText(Text);
}

std::string TTimeList::GetText() const {
  return ToString(':');
}

void TTimeList::SetText(const std::string& Text) {
  ParseSorted(Text, ':');
}

std::string TTimeList::GetLocalText() const {
  return ToString(LocaleFormatSettings().TimeSeparator);
}

void TTimeList::SetLocalText(const std::string& Text) {
  ParseSorted(Text, LocaleFormatSettings().TimeSeparator);
}

void TTimeList::ParseSorted(const std::string& Text, char Sep) {
  Parse(Text, Sep);
  std::stable_sort(times_.begin(), times_.end(),
                   [](int32_t a, int32_t b) { return CompareTimes(a, b) < 0; });
}

TDateTime TTimeList::Nearest(TDateTime T) const {
  const int64_t t = SecondOfDay(T);
  int32_t best = -1;
  int64_t bestDistance = 2147483647;
  for (int32_t entry : times_) {
    const int64_t distance = t > entry ? t - entry : entry - t;
    if (distance < bestDistance) {
      best = entry;
      bestDistance = distance;
    }
  }
  return best / static_cast<TDateTime>(kSecondsPerDay);
}

TDateTime TTimeList::NextAfter(TDateTime T) const {
  // The smallest later entry, not the first one in list order: a parse that
  // failed leaves the list unsorted.
  const int64_t t = SecondOfDay(T);
  int32_t next = -1;
  for (int32_t entry : times_) {
    if (entry > t && (next < 0 || entry < next)) next = entry;
  }
  return next < 0 ? -1 : next / static_cast<TDateTime>(kSecondsPerDay);
}

std::string TTimeList::ToString(char Sep) const {
  std::string text;
  for (int32_t entry : times_) {
    char piece[32];
    std::snprintf(piece, sizeof piece, "%2.2d%c%2.2d", entry / 3600, Sep, entry % 3600 / 60);
    if (!text.empty()) text += ' ';
    text += piece;
  }
  return text;
}

void TTimeList::Parse(const std::string& Text, char Sep) {
  times_.clear();
  // Tokens are the runs between blanks: a run of blanks counts as one, and a
  // tab inside the text stays part of its token, which then is a bad one. The
  // trim leaves no blank at either end, so no token is empty.
  const std::string text = Trim(Text);
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t end = std::min(text.find(' ', begin), text.size());
    const std::string token = text.substr(begin, end - begin);
    begin = text.find_first_not_of(' ', end);  // npos after the last token
    int64_t hours, minutes, seconds = 0;
    const std::string secondsText = Field(token, Sep, 2);
    const bool valid = ToInt(Field(token, Sep, 0), hours) && ToInt(Field(token, Sep, 1), minutes) &&
                       (secondsText.empty() || ToInt(secondsText, seconds)) && hours >= 0 &&
                       hours <= 23 && minutes >= 0 && minutes <= 59 && seconds >= 0 &&
                       seconds <= 59;
    if (!valid) throw Exception("Wrong time value \"" + token + "\"");
    times_.push_back(static_cast<int32_t>(hours * 3600 + minutes * 60 + seconds));
  }
}
