// ASCII case folding, for names the system compares without regard to case
// (service names, pipe names, switches, section names). Only A-Z and a-z
// change; every other byte, cp1252 letters included, stays as it is: text
// compared the way people read it goes through platform/text. And the
// trimming and unquoting of settings names and values. Header only, with no dependency:
// the mail library uses it too.
#pragma once

#include <string>
#include <string_view>

namespace platform {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiLowerCase(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

// `text` without the bytes of `blanks` at its start and end.
constexpr std::string_view TrimBlanks(std::string_view text, std::string_view blanks = " \t") {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Whether `value` is enclosed in a pair of double quotes or of apostrophes.
constexpr bool EnclosedInQuotes(std::string_view value) {
  return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
         value.back() == value.front();
}

// `value` without the pair of quotes that encloses it, if any.
constexpr std::string_view StripQuotes(std::string_view value) {
  return EnclosedInQuotes(value) ? value.substr(1, value.size() - 2) : value;
}

constexpr bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace platform
