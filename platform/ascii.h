// ASCII case folding, for names the system compares without regard to case
// (service names, pipe names, switches, section names). Only A-Z and a-z
// change; every other byte, cp1252 letters included, stays as it is: text
// compared the way people read it goes through platform/text.
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

constexpr bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace platform
