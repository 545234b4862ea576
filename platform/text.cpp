#include "platform/text.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace platform {
namespace {

// The code points of cp1252's bytes 128 to 159; the rest of the code page is
// Latin-1. The five undefined bytes keep their C1 control code points.
constexpr std::array<char16_t, 32> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 128
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 136
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 144
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 152
};

char16_t DecodeByte(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHighTable[byte - 0x80];
  return byte;
}

// The cp1252 byte of `cp`, or -1 when the code page has none.
int EncodeCodePoint(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (size_t i = 0; i < kHighTable.size(); ++i) {
    if (kHighTable[i] == cp) return static_cast<int>(0x80 + i);
  }
  return -1;
}

constexpr std::array<unsigned char, 256> MakeUpperTable() {
  std::array<unsigned char, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = static_cast<unsigned char>(b);
  for (int b = 'a'; b <= 'z'; ++b) table[b] = static_cast<unsigned char>(b - 0x20);
  // à..þ sit 32 above their capitals, except ÷ (247), which is no letter.
  for (int b = 0xE0; b <= 0xFE; ++b) {
    if (b != 0xF7) table[b] = static_cast<unsigned char>(b - 0x20);
  }
  table[0x9A] = 0x8A;  // š Š
  table[0x9C] = 0x8C;  // œ Œ
  table[0x9E] = 0x8E;  // ž Ž
  table[0xFF] = 0x9F;  // ÿ Ÿ
  return table;
}

constexpr std::array<unsigned char, 256> kUpperTable = MakeUpperTable();

std::u16string DecodeToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(DecodeByte(static_cast<unsigned char>(c)));
  return out;
}

// The ICU locale id for a POSIX locale name such as "fr_FR.UTF-8@euro": the
// code set and modifier are dropped; "C" and "POSIX" are the root locale.
std::string IcuLocaleId(const std::string& posixName) {
  std::string id = posixName.substr(0, posixName.find_first_of(".@"));
  if (id == "C" || id == "POSIX") return "";
  return id;
}

// POSIX order of precedence; an empty variable counts as unset.
std::string LocaleFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return IcuLocaleId(value);
  }
  return "";
}

struct Prototype {
  std::string localeName;
  std::unique_ptr<icu::Collator> collator;  // null when ICU could not build one
};

Prototype BuildPrototype() {
  Prototype p;
  p.localeName = LocaleFromEnvironment();
  icu::Locale locale =
      p.localeName.empty() ? icu::Locale::getRoot() : icu::Locale(p.localeName.c_str());
  if (locale.isBogus()) {
    p.localeName.clear();
    locale = icu::Locale::getRoot();
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status) || !collator) return p;
  // Secondary strength: base letters and accents count, case does not.
  collator->setStrength(icu::Collator::SECONDARY);
  p.collator = std::move(collator);
  return p;
}

const Prototype& GetPrototype() {
  static const Prototype prototype = BuildPrototype();
  return prototype;
}

// Comparing on one ICU collator from several threads is not safe in every ICU
// version, so each thread works on a clone of the process's collator.
icu::Collator* ThreadCollator() {
  thread_local std::unique_ptr<icu::Collator> collator(
      GetPrototype().collator ? GetPrototype().collator->clone() : nullptr);
  return collator.get();
}

// Without a collator (no ICU data), byte order of the capitals still ignores
// the case of every cp1252 letter.
int CompareUpperBytes(const std::string& a, const std::string& b) {
  int r = UpperCaseCp1252(a).compare(UpperCaseCp1252(b));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one well-formed UTF-8 sequence at text[pos] into cp and returns its
// length, or 0 when the bytes there are not one (overlong forms, surrogates,
// code points above U+10FFFF, stray or missing continuation bytes).
size_t DecodeUtf8(const std::string& text, size_t pos, char32_t& cp) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  struct Form {
    unsigned char firstLead, lastLead, leadMask;
    size_t length;
    char32_t min;
  };
  static constexpr Form kForms[] = {
      {0x00, 0x7F, 0x7F, 1, 0x0},
      {0xC2, 0xDF, 0x1F, 2, 0x80},
      {0xE0, 0xEF, 0x0F, 3, 0x800},
      {0xF0, 0xF4, 0x07, 4, 0x10000},
  };
  unsigned char lead = byte(pos);
  const Form* form = nullptr;
  for (const Form& f : kForms) {
    if (lead >= f.firstLead && lead <= f.lastLead) form = &f;
  }
  if (!form) return 0;
  size_t length = form->length;
  char32_t min = form->min;
  cp = lead & form->leadMask;
  if (text.size() - pos < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

int CompareTextLocale(const std::string& a, const std::string& b) {
  icu::Collator* collator = ThreadCollator();
  if (!collator || a.size() > INT32_MAX || b.size() > INT32_MAX) return CompareUpperBytes(a, b);
  std::u16string ua = DecodeToUtf16(a);
  std::u16string ub = DecodeToUtf16(b);
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = collator->compare(ua.data(), static_cast<int32_t>(ua.size()), ub.data(),
                                         static_cast<int32_t>(ub.size()), status);
  if (U_FAILURE(status)) return CompareUpperBytes(a, b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

std::string CollationKey(const std::string& text) {
  icu::Collator* collator = ThreadCollator();
  if (!collator || text.size() > INT32_MAX) return UpperCaseCp1252(text);
  const std::u16string wide = DecodeToUtf16(text);
  const auto length = static_cast<int32_t>(wide.size());
  // Most keys fit the first guess; ICU says how long one is when it does not.
  std::string key(text.size() * 2 + 16, '\0');
  for (;;) {
    const int32_t size =
        collator->getSortKey(wide.data(), length, reinterpret_cast<uint8_t*>(key.data()),
                             static_cast<int32_t>(key.size()));
    if (size <= 0) return UpperCaseCp1252(text);
    if (static_cast<size_t>(size) <= key.size()) {
      key.resize(static_cast<size_t>(size) - 1);  // without its terminating zero
      return key;
    }
    key.assign(static_cast<size_t>(size), '\0');
  }
}

std::string CollationLocaleName() {
  return GetPrototype().localeName;
}

std::string UpperCaseCp1252(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(kUpperTable[static_cast<unsigned char>(c)]);
  return out;
}

std::string Cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) AppendUtf8(out, DecodeByte(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1252(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    size_t length = DecodeUtf8(text, pos, cp);
    if (length == 0) {
      out.push_back('?');
      ++pos;
      continue;
    }
    int byte = EncodeCodePoint(cp);
    out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
    pos += length;
  }
  return out;
}

}  // namespace platform
