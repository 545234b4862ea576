#include "service/alr_alarminfo.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "common/Comserv.h"
#include "common/exceptions.h"
#include "platform/text.h"
#include "service/alr_resstr.h"

namespace {

constexpr int32_t kWindows1252 = 1252;
constexpr std::string_view kCrLf = "\r\n";

// Names and texts from the settings and the databases reach people's
// browsers: markup characters in them must show as text. Runs without such a
// character are copied whole; a report holds some hundred thousand names and
// texts, nearly all without one, so the scan is one table look-up a byte.
constexpr std::array<bool, 256> kMarkup = [] {
  std::array<bool, 256> markup{};
  for (unsigned char c : {'&', '<', '>', '"'}) markup[c] = true;
  return markup;
}();

std::string_view Entity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    default:
      return "&quot;";
  }
}

void AppendEscaped(std::string& html, std::string_view text) {
  size_t done = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!kMarkup[static_cast<unsigned char>(text[i])]) continue;
    html.append(text.substr(done, i - done));
    html.append(Entity(text[i]));
    done = i + 1;
  }
  html.append(text.substr(done));
}

// A sorted chain's shops lie in memory in the order in which they were
// filed, not in the order of its table, so each row would wait for memory.
// A shop's name, its list of texts and the texts were allocated just after
// the shop itself, so the lines that follow it hold its cells: they are
// fetched a few rows ahead.
constexpr int32_t kShopsAhead = 8;
constexpr size_t kShopLines = 4;

void PrefetchShop(const void* shop) {
  const char* at = static_cast<const char*>(shop);
  for (size_t line = 0; line < kShopLines; ++line) __builtin_prefetch(at + 64 * line);
}

void CheckCodePage(int32_t codePage) {
  if (codePage != kWindows1252) {
    throw EConvertError("Code page " + std::to_string(codePage) + " is not supported");
  }
}

// The position of the first byte of `text` from `from` on that is not ASCII,
// or its size; eight bytes at a time, since a report is mostly ASCII.
size_t FindNonAscii(std::string_view text, size_t from) {
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  size_t i = from;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word & kHighBits) break;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

// Appends the UTF-8 form of the Windows-1252 text: the ASCII runs are copied
// whole and only the runs in between are converted.
void AppendUtf8(std::string& utf8, std::string_view ansi) {
  size_t done = 0;
  while (done < ansi.size()) {
    const size_t other = FindNonAscii(ansi, done);
    utf8.append(ansi.substr(done, other - done));
    size_t back = other;
    while (back < ansi.size() && static_cast<unsigned char>(ansi[back]) >= 0x80) ++back;
    if (other != back) utf8 += platform::Cp1252ToUtf8(ansi.substr(other, back - other));
    done = back;
  }
}

}  // namespace

// ---- TReportList ----

// Keys are made once per entry (the locale's collation is by far the dearest
// step) and then compared as bytes. They lie one after the other in
// keyBytes, which keeps a list's keys together in memory for its sort: the
// key of entry i ends at keyEnds[i], for i < keyEnds.size().
struct TReportList::Lookup {
  std::string keyBytes;
  std::vector<uint32_t> keyEnds;
  // Entry indexes by collation key: an open-addressing table (linear
  // probing, a power of two of slots, each 0 or an entry index + 1) holding
  // the first entry of each key among the first `indexed` entries. No node
  // per entry: a report has some hundred thousand of them.
  std::vector<uint32_t> slots;
  size_t indexed = 0;
  // The last text found and its index: the check run files alarm after alarm
  // of one chain, and the same text always finds the same entry until a sort
  // moves it (an Add only appends after it).
  std::string lastFound;
  int32_t lastIndex = -1;
  // The last text not found and its key, for AddNotFound. Both keep their
  // room from one lookup to the next.
  std::string notFound;
  std::string notFoundKey;
  size_t notFoundHash = 0;
  bool hasNotFound = false;

  std::string_view KeyAt(uint32_t index) const {
    const uint32_t begin = index == 0 ? 0 : keyEnds[index - 1];
    return std::string_view(keyBytes).substr(begin, keyEnds[index] - begin);
  }
  void AppendKey(std::string_view key) {
    if (keyBytes.size() + key.size() > UINT32_MAX) throw std::length_error("report list keys");
    keyBytes.append(key);
    try {
      keyEnds.push_back(static_cast<uint32_t>(keyBytes.size()));
    } catch (...) {
      keyBytes.resize(keyBytes.size() - key.size());
      throw;
    }
  }
  static size_t Hash(std::string_view key) { return std::hash<std::string_view>{}(key); }
  // Gives every entry its collation key and places it in the table.
  void IndexEntries(const std::vector<Entry>& entries);
  // The free slot for a key that is not in the table, found by its hash.
  size_t FreeSlot(size_t hash) const;
  int32_t Find(std::string_view key, size_t hash) const;
};

void TReportList::Lookup::IndexEntries(const std::vector<Entry>& entries) {
  while (keyEnds.size() < entries.size()) {
    // A key of its own: AppendCollationKey would grow keyBytes before a
    // failing push_back could undo it.
    AppendKey(platform::CollationKey(entries[keyEnds.size()].Key));
  }
  if (indexed == entries.size()) return;
  // At most half full; on growth every entry is placed again.
  if (entries.size() * 2 > slots.size()) {
    size_t size = 16;
    while (size < entries.size() * 2) size *= 2;
    slots.assign(size, 0);
    indexed = 0;
  }
  const size_t mask = slots.size() - 1;
  for (; indexed < entries.size(); ++indexed) {
    const auto position = static_cast<uint32_t>(indexed);
    const std::string_view key = KeyAt(position);
    size_t slot = Hash(key) & mask;
    // An equal key already there is an earlier entry: it stays the one found.
    while (slots[slot] != 0 && KeyAt(slots[slot] - 1) != key) slot = (slot + 1) & mask;
    if (slots[slot] == 0) slots[slot] = position + 1;
  }
}

size_t TReportList::Lookup::FreeSlot(size_t hash) const {
  const size_t mask = slots.size() - 1;
  size_t slot = hash & mask;
  while (slots[slot] != 0) slot = (slot + 1) & mask;
  return slot;
}

int32_t TReportList::Lookup::Find(std::string_view key, size_t hash) const {
  if (slots.empty()) return -1;
  const size_t mask = slots.size() - 1;
  for (size_t slot = hash & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
    if (KeyAt(slots[slot] - 1) == key) return static_cast<int32_t>(slots[slot] - 1);
  }
  return -1;
}

TReportList::TReportList() = default;

TReportList::~TReportList() {
  TReportList::Clear();
}

void TReportList::Clear() {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) it->Object.reset();
  lookup_.reset();
  entries_.clear();
}

const std::string& TReportList::Keys(int32_t Index) const {
  return entries_.at(static_cast<size_t>(Index)).Key;
}

TReportList* TReportList::Objects(int32_t Index) const {
  return entries_.at(static_cast<size_t>(Index)).Object.get();
}

TReportList::Lookup& TReportList::GetLookup() const {
  if (!lookup_) lookup_ = std::make_unique<Lookup>();
  return *lookup_;
}

int32_t TReportList::IndexOf(const std::string& Key) const {
  Lookup& lookup = GetLookup();
  if (lookup.lastIndex >= 0 && Key == lookup.lastFound) return lookup.lastIndex;
  lookup.hasNotFound = false;
  lookup.notFoundKey.clear();
  platform::AppendCollationKey(Key, lookup.notFoundKey);
  lookup.IndexEntries(entries_);
  lookup.notFoundHash = Lookup::Hash(lookup.notFoundKey);
  const int32_t index = lookup.Find(lookup.notFoundKey, lookup.notFoundHash);
  if (index >= 0) {
    lookup.lastFound = Key;
    lookup.lastIndex = index;
  } else {
    lookup.notFound = Key;
    lookup.hasNotFound = true;
  }
  return index;
}

int32_t TReportList::Add(const std::string& Key, std::unique_ptr<TReportList> Object) {
  entries_.push_back(Entry{Key, std::move(Object)});
  return static_cast<int32_t>(entries_.size() - 1);
}

int32_t TReportList::AddNotFound(const std::string& Key, std::unique_ptr<TReportList> Object) {
  Lookup& lookup = GetLookup();
  // The key only goes with the entry when every entry before it has its own.
  const bool keyed =
      lookup.hasNotFound && Key == lookup.notFound && lookup.keyEnds.size() == entries_.size();
  const int32_t index = Add(Key, std::move(Object));
  lookup.hasNotFound = false;
  if (keyed) {
    try {
      lookup.AppendKey(lookup.notFoundKey);
    } catch (...) {  // out of memory: the next lookup makes the key again
      return index;
    }
    // Every entry before it placed and room left: the key's hash, made by
    // the lookup, places it now.
    if (lookup.indexed + 1 == entries_.size() && entries_.size() * 2 <= lookup.slots.size()) {
      lookup.slots[lookup.FreeSlot(lookup.notFoundHash)] = static_cast<uint32_t>(index) + 1;
      ++lookup.indexed;
    }
  }
  return index;
}

void TReportList::Sort() {
  if (entries_.size() < 2) return;
  Lookup& lookup = GetLookup();
  lookup.IndexEntries(entries_);
  // The names of one list often begin alike ("Magasin ..."), and so do their
  // keys: past the bytes that every key shares, the next eight bytes of each,
  // read as one number, decide most comparisons without a call.
  const std::string_view first = lookup.KeyAt(0);
  size_t common = first.size();
  for (uint32_t i = 1; i < entries_.size() && common > 0; ++i) {
    const std::string_view key = lookup.KeyAt(i).substr(0, common);
    common = static_cast<size_t>(std::mismatch(key.begin(), key.end(), first.begin()).first -
                                 key.begin());
  }
  struct Item {
    uint64_t head;  // bytes common..common+7, the first one highest, zeros past the end
    uint32_t position;
  };
  std::vector<Item> order;
  order.reserve(entries_.size());
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    const std::string_view rest = lookup.KeyAt(i).substr(common);
    uint64_t head = 0;
    for (size_t b = 0; b < 8; ++b) {
      head = head << 8 | (b < rest.size() ? static_cast<unsigned char>(rest[b]) : 0u);
    }
    order.push_back({head, i});
  }
  // Equal heads leave it to the whole keys; entries whose keys compare equal
  // keep their order.
  std::sort(order.begin(), order.end(), [&lookup, common](const Item& a, const Item& b) {
    if (a.head != b.head) return a.head < b.head;
    const int c =
        lookup.KeyAt(a.position).substr(common).compare(lookup.KeyAt(b.position).substr(common));
    return c < 0 || (c == 0 && a.position < b.position);
  });
  std::vector<Entry> sorted;
  std::string keyBytes;
  std::vector<uint32_t> keyEnds;
  sorted.reserve(entries_.size());
  keyBytes.reserve(lookup.keyBytes.size());
  keyEnds.reserve(entries_.size());
  for (const Item& item : order) {
    keyBytes.append(lookup.KeyAt(item.position));
    keyEnds.push_back(static_cast<uint32_t>(keyBytes.size()));
    sorted.push_back(std::move(entries_[item.position]));
  }
  entries_ = std::move(sorted);
  lookup.keyBytes = std::move(keyBytes);
  lookup.keyEnds = std::move(keyEnds);
  // The next lookup indexes the entries where they now stand.
  lookup.slots.clear();
  lookup.indexed = 0;
  lookup.lastIndex = -1;
  lookup.hasNotFound = false;
}

void TReportList::GetHtmlHeader(std::string& Html) {
  Html =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
      "\"http://www.w3.org/TR/html4/strict.dtd\">\r\n"
      "<html>\r\n"
      "<head>\r\n"
      "<meta charset=\"utf-8\">\r\n"
      "<style type=\"text/css\">\r\n"
      "table { text-align: top; background: #fffff0; }\r\n"
      "tr.even { background: #fff8dc; }\r\n"
      "</style>\r\n"
      "</head>\r\n"
      "<body>\r\n";
}

void TReportList::GetHtmlFooter(std::string& Html) {
  Html = "</body>\r\n</html>\r\n";
}

void TReportList::ConvertToUtf8(const std::string& Ansi, int32_t CodePage, std::string& Utf8) {
  CheckCodePage(CodePage);
  // The same bytes as AnsiToWide followed by WideToUtf8, in one pass.
  std::string utf8;
  utf8.reserve(Ansi.size() + Ansi.size() / 16);
  AppendUtf8(utf8, Ansi);
  Utf8 = std::move(utf8);  // Ansi and Utf8 may be one string
}

void TReportList::AnsiToWide(const std::string& Ansi, int32_t CodePage, std::u16string& Wide) {
  CheckCodePage(CodePage);
  Wide = platform::Cp1252ToUtf16(Ansi);
}

void TReportList::WideToUtf8(const std::u16string& Wide, std::string& Utf8) {
  Utf8 = platform::Utf16ToUtf8(Wide);
}

// ---- TShopAlarms ----

void TShopAlarms::BuildHtml(std::string& Html) {
  Html.clear();
  AppendHtml(Html);
}

void TShopAlarms::AppendHtml(std::string& Html) const {
  Html += "<td valign=\"top\"><b>";
  AppendEscaped(Html, ShopName);
  Html += "</b></td>\r\n<td valign=\"top\">\r\n";
  const int32_t count = Count();
  for (int32_t i = 0; i < count; ++i) {
    AppendEscaped(Html, Keys(i));
    Html += i + 1 < count ? std::string_view("<br>\r\n") : kCrLf;
  }
  Html += "</td>\r\n";
}

// ---- TChainAlarms ----

void TChainAlarms::Prepare() {
  Sort();
  for (int32_t i = Count() - 1; i >= 0; --i) Shops(i).Prepare();
}

void TChainAlarms::BuildHtml(std::string& Html) {
  Prepare();
  Html.clear();
  AppendHtml(Html);
}

void TChainAlarms::AppendHtml(std::string& Html) const {
  Html += "<h2>";
  AppendEscaped(Html, Chain.FolderName);
  Html += "</h2>\r\n";
  Html += resstr::SDatabase;
  Html += ": ";
  AppendEscaped(Html, Chain.ConnectionString);
  Html += "<br>\r\n";
  std::string days;
  GetExcludedDaysText(days);
  Html += days;
  Html += "<br>\r\n";
  Html += "<table>\r\n";
  const int32_t count = Count();
  for (int32_t k = 0; k < count; ++k) {
    if (k + kShopsAhead < count) PrefetchShop(Objects(k + kShopsAhead));
    Html += (k % 2 == 0) ? "<tr>\r\n" : "<tr class=\"even\">\r\n";
    Shops(k).AppendHtml(Html);
    Html += "</tr>\r\n";
  }
  Html += "</table>\r\n";
}

void TChainAlarms::GetExcludedDaysText(std::string& Text) const {
  const std::string dayNames(resstr::SDayNames);
  std::string names;
  for (int32_t n = 1; n <= 7; ++n) {
    if (!Chain.DaysNoCheck[static_cast<size_t>(n)]) continue;
    if (!names.empty()) names += ", ";
    // The list starts with Sunday, so Monday (1) to Saturday (6) are their own
    // fields and Sunday (7) is field 0.
    names += GetField(dayNames, '|', n % 7);
  }
  if (names.empty()) {
    Text = resstr::SAllDaysIncluded;
  } else {
    Text = resstr::SDaysExcluded;
    Text += names;
  }
}

TShopAlarms& TChainAlarms::FindOrAddShop(const std::string& ShopName) {
  int32_t i = IndexOf(ShopName);
  if (i < 0) i = AddNotFound(ShopName, std::make_unique<TShopAlarms>(ShopName));
  return Shops(i);
}

TShopAlarms& TChainAlarms::Shops(int32_t Index) const {
  // Only FindOrAddShop adds entries here, each with a TShopAlarms.
  return static_cast<TShopAlarms&>(*Objects(Index));
}

// ---- TAlarmReport ----

void TAlarmReport::AddAlarm(const TChainParams& Chain, const std::string& ShopName,
                            const std::string& Text) {
  int32_t i = IndexOf(Chain.FolderName);
  if (i < 0) {
    auto chain = std::make_unique<TChainAlarms>(Chain);
    const std::string key = chain->Chain.FolderName;
    i = AddNotFound(key, std::move(chain));
  }
  Chains(i).FindOrAddShop(ShopName).AddText(Text);
}

void TAlarmReport::Prepare() {
  Sort();
  for (int32_t i = Count() - 1; i >= 0; --i) Chains(i).Prepare();
}

std::string TAlarmReport::GetGeneratedByLine() const {
  const std::string suffix = VersionInfo ? "(v " + VersionInfo->GetVersionString(1) + ")" : "";
  const TDateTime now = Clock();
  const std::string when = FormatDateTime(FormatSettings.ShortDateFormat, now, FormatSettings) +
                           " " +
                           FormatDateTime(FormatSettings.ShortTimeFormat, now, FormatSettings);
  return resstr::Format(resstr::SReportGeneratedBy, {resstr::SServiceTitle, suffix, when});
}

void TAlarmReport::BuildHtml(std::string& Html) {
  Prepare();
  // Each byte converts on its own, so the document is converted piece by
  // piece as it is assembled: a report of many megabytes is then held once,
  // in UTF-8, and not a second time in Windows-1252.
  std::string utf8;
  // About what a shop's row takes with one alarm; pages reserved and never
  // written cost nothing.
  size_t shops = 0;
  for (int32_t i = 0; i < Count(); ++i) shops += static_cast<size_t>(Chains(i).Count());
  utf8.reserve(1024 + shops * 160);
  std::string piece;
  GetHtmlHeader(piece);
  piece += GetGeneratedByLine();
  if (Count() == 0) {
    piece += "<h4>";
    piece += resstr::SNoAlarmFound;
    piece += "</h4>\r\n";
  }
  AppendUtf8(utf8, piece);
  // The chains are prepared already: their sections as they stand.
  for (int32_t i = 0; i < Count(); ++i) {
    piece.clear();
    Chains(i).AppendHtml(piece);
    AppendUtf8(utf8, piece);
  }
  GetHtmlFooter(piece);
  AppendUtf8(utf8, piece);
  Html = std::move(utf8);
}

TChainAlarms& TAlarmReport::Chains(int32_t Index) const {
  // Only AddAlarm adds entries here, each with a TChainAlarms.
  return static_cast<TChainAlarms&>(*Objects(Index));
}
