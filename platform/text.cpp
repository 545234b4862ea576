#include "platform/text.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "platform/ascii.h"

namespace platform {
namespace {

constexpr std::array<unsigned char, 256> MakeUpperTable() {
  std::array<unsigned char, 256> table{};
  for (int b = 0; b < 256; ++b) {
    table[b] = static_cast<unsigned char>(AsciiUpper(static_cast<char>(b)));
  }
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

}  // namespace

int CompareTextLocale(const std::string& a, const std::string& b) {
  icu::Collator* collator = ThreadCollator();
  if (!collator || a.size() > INT32_MAX || b.size() > INT32_MAX) return CompareUpperBytes(a, b);
  std::u16string ua = Cp1252ToUtf16(a);
  std::u16string ub = Cp1252ToUtf16(b);
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = collator->compare(ua.data(), static_cast<int32_t>(ua.size()), ub.data(),
                                         static_cast<int32_t>(ub.size()), status);
  if (U_FAILURE(status)) return CompareUpperBytes(a, b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

std::string CollationKey(const std::string& text) {
  std::string key;
  AppendCollationKey(text, key);
  return key;
}

void AppendCollationKey(std::string_view text, std::string& key) {
  icu::Collator* collator = ThreadCollator();
  if (!collator || text.size() > INT32_MAX) {
    key += UpperCaseCp1252(std::string(text));
    return;
  }
  // A report makes a key for every shop name: the UTF-16 form goes into a
  // buffer of the thread's that keeps its room (a name's, not a long text's).
  constexpr size_t kKeptRoom = 1024;
  thread_local std::u16string kept;
  std::u16string local;
  std::u16string& wide = text.size() <= kKeptRoom ? kept : local;
  wide.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    wide[i] = Cp1252CodePoint(static_cast<unsigned char>(text[i]));
  }
  const auto length = static_cast<int32_t>(wide.size());
  const size_t start = key.size();
  // Most keys fit the first guess; ICU says how long one is when it does not.
  size_t room = text.size() * 2 + 16;
  for (;;) {
    key.resize(start + room);
    const int32_t size =
        collator->getSortKey(wide.data(), length, reinterpret_cast<uint8_t*>(key.data() + start),
                             static_cast<int32_t>(room));
    if (size <= 0) {
      key.resize(start);
      key += UpperCaseCp1252(std::string(text));
      return;
    }
    if (static_cast<size_t>(size) <= room) {
      key.resize(start + static_cast<size_t>(size) - 1);  // without its terminating zero
      return;
    }
    room = static_cast<size_t>(size);
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

std::string Utf16ToUtf8(std::u16string_view text) {
  if (text.empty()) return {};
  // Three bytes at most for each unit: a pair of surrogates gives four.
  std::string out(text.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  if (text.size() <= INT32_MAX / 3) {
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  } else {
    status = U_INDEX_OUTOFBOUNDS_ERROR;
  }
  if (U_FAILURE(status)) throw std::length_error("text too long for UTF-8 conversion");
  out.resize(static_cast<size_t>(length));
  return out;
}

}  // namespace platform
