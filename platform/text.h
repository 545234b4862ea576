// Text of the programs: 8-bit Windows-1252 (cp1252) strings.
//
// Comparison follows the process locale (LC_ALL, else LC_COLLATE, else LANG;
// the root locale when none is set or it is "C" or "POSIX") through ICU's
// collator at secondary strength, so that letter case is ignored and accents
// are not. The collator is built once per process; every thread compares with
// its own copy, so the functions may be called from any thread. Upper-casing
// uses the cp1252 table; platform/cp1252.h converts between cp1252 and
// UTF-16 or UTF-8, and the other UTF conversions here go through ICU.
#pragma once

#include <string>
#include <string_view>

#include "platform/cp1252.h"

namespace platform {

// <0, 0 or >0 as a sorts before, equal to, or after b, ignoring case.
int CompareTextLocale(const std::string& a, const std::string& b);
inline bool SameTextLocale(const std::string& a, const std::string& b) {
  return CompareTextLocale(a, b) == 0;
}

// The collation key of `text`: comparing two texts' keys bytewise
// (std::string's compare) gives CompareTextLocale's order and equality for
// them. A key costs about one comparison to make; lists that compare each
// name many times make its key once. (Texts above 2 GiB, which
// CompareTextLocale compares by their capitals, are keyed by their capitals.)
std::string CollationKey(const std::string& text);
// Appends CollationKey(text) to `key`; a string whose room is reused from one
// call to the next makes keys without allocating.
void AppendCollationKey(std::string_view text, std::string& key);

// The ICU name of the locale CompareTextLocale follows ("" for the root locale).
std::string CollationLocaleName();

// The text with every cp1252 letter in capitals, ÿ becoming Ÿ (byte 159); the
// letters whose capital lies outside cp1252 (µ, ß, ƒ) are kept.
std::string UpperCaseCp1252(const std::string& text);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. Throws
// std::length_error for a text of more than 700 million units.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace platform
