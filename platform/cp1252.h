// Windows-1252 (cp1252), the 8-bit text of the programs: its bytes as Unicode
// code points and back, its UTF-16 and UTF-8 forms, and UTF-8 text in it.
//
// Header only, on ICU's UTF-8 macros, which link nothing: the mail library,
// which must stay unloadable and so loads no ICU library nor thread-local
// state, shares it with the platform's text. Conversions from cp1252 never
// fail: the five bytes the code page leaves undefined (129, 141, 143, 144,
// 157) become the C1 controls U+0081, U+008D, U+008F, U+0090 and U+009D.
#pragma once

#include <unicode/utf8.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The code points of bytes 128 to 159; every other byte is its own (Latin-1).
inline constexpr std::array<char16_t, 32> kCp1252HighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 128
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 136
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 144
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 152
};

constexpr char16_t Cp1252CodePoint(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kCp1252HighTable[byte - 0x80] : byte;
}

// The byte of code point `cp`, or -1 when cp1252 has none.
constexpr int Cp1252Byte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (size_t i = 0; i < kCp1252HighTable.size(); ++i) {
    if (kCp1252HighTable[i] == cp) return static_cast<int>(0x80 + i);
  }
  return -1;
}

inline std::u16string Cp1252ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[i] = Cp1252CodePoint(static_cast<unsigned char>(text[i]));
  }
  return out;
}

inline std::string Cp1252ToUtf8(std::string_view text) {
  // Every code point of the code page lies in the Basic Multilingual Plane:
  // at most three bytes each.
  std::string out(text.size() * 3, '\0');
  auto* dest = reinterpret_cast<uint8_t*>(out.data());
  size_t length = 0;
  for (char c : text)
    U8_APPEND_UNSAFE(dest, length, Cp1252CodePoint(static_cast<unsigned char>(c)));
  out.resize(length);
  return out;
}

// Characters that cp1252 cannot hold become "?", and so does every byte that is
// not part of a well-formed UTF-8 sequence. U+0081, U+008D, U+008F, U+0090 and
// U+009D become the bytes they came from, so Utf8ToCp1252(Cp1252ToUtf8(s)) == s.
inline std::string Utf8ToCp1252(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = pos;
    UChar32 cp = 0;
    // An ill-formed sequence ends at the first byte that cannot continue it.
    U8_NEXT(bytes, pos, text.size(), cp);
    if (cp < 0) {
      out.append(pos - start, '?');
      continue;
    }
    const int byte = Cp1252Byte(static_cast<char32_t>(cp));
    out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
  }
  return out;
}

}  // namespace platform
