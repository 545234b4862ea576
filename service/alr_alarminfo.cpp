#include "service/alr_alarminfo.h"

#include <algorithm>
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
// character are copied whole.
void AppendEscaped(std::string& html, std::string_view text) {
  size_t done = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    std::string_view entity;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      default:
        continue;
    }
    html.append(text.substr(done, i - done));
    html.append(entity);
    done = i + 1;
  }
  html.append(text.substr(done));
}

void CheckCodePage(int32_t codePage) {
  if (codePage != kWindows1252) {
    throw EConvertError("Code page " + std::to_string(codePage) + " is not supported");
  }
}

// Appends the UTF-8 form of the Windows-1252 text. A report is mostly ASCII,
// which stays as it is: those runs are copied whole and only the runs in
// between are converted.
void AppendUtf8(std::string& utf8, std::string_view ansi) {
  const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  auto it = ansi.begin();
  while (it != ansi.end()) {
    const auto other = std::find_if_not(it, ansi.end(), ascii);
    utf8.append(it, other);
    const auto back = std::find_if(other, ansi.end(), ascii);
    if (other != back) utf8 += platform::Cp1252ToUtf8(std::string_view(other, back));
    it = back;
  }
}

}  // namespace

// ---- TReportList ----

TReportList::~TReportList() {
  TReportList::Clear();
}

void TReportList::Clear() {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) it->Object.reset();
  slots_.clear();
  indexed_ = 0;
  keyBytes_.clear();
  keyEnds_.clear();
  lastIndex_ = -1;
  entries_.clear();
}

const std::string& TReportList::Keys(int32_t Index) const {
  return entries_.at(static_cast<size_t>(Index)).Key;
}

TReportList* TReportList::Objects(int32_t Index) const {
  return entries_.at(static_cast<size_t>(Index)).Object.get();
}

void TReportList::AppendKey(std::string_view key) const {
  if (keyBytes_.size() + key.size() > UINT32_MAX) throw std::length_error("report list keys");
  keyBytes_.append(key);
  try {
    keyEnds_.push_back(static_cast<uint32_t>(keyBytes_.size()));
  } catch (...) {
    keyBytes_.resize(keyBytes_.size() - key.size());
    throw;
  }
}

void TReportList::MakeKeys() const {
  while (keyEnds_.size() < entries_.size()) {
    AppendKey(platform::CollationKey(entries_[keyEnds_.size()].Key));
  }
}

void TReportList::IndexEntries() const {
  MakeKeys();
  if (indexed_ == entries_.size()) return;
  // At most half full; on growth every entry is placed again.
  if (entries_.size() * 2 > slots_.size()) {
    size_t size = 16;
    while (size < entries_.size() * 2) size *= 2;
    slots_.assign(size, 0);
    indexed_ = 0;
  }
  const size_t mask = slots_.size() - 1;
  for (; indexed_ < entries_.size(); ++indexed_) {
    const auto position = static_cast<uint32_t>(indexed_);
    const std::string_view key = KeyAt(position);
    size_t slot = std::hash<std::string_view>{}(key)&mask;
    // An equal key already there is an earlier entry: it stays the one found.
    while (slots_[slot] != 0 && KeyAt(slots_[slot] - 1) != key) slot = (slot + 1) & mask;
    if (slots_[slot] == 0) slots_[slot] = position + 1;
  }
}

int32_t TReportList::Find(const std::string& CollationKey) const {
  IndexEntries();
  if (slots_.empty()) return -1;
  const size_t mask = slots_.size() - 1;
  const std::string_view key = CollationKey;
  for (size_t slot = std::hash<std::string_view>{}(key)&mask; slots_[slot] != 0;
       slot = (slot + 1) & mask) {
    if (KeyAt(slots_[slot] - 1) == key) return static_cast<int32_t>(slots_[slot] - 1);
  }
  return -1;
}

int32_t TReportList::IndexOf(const std::string& Key) const {
  std::string collationKey;
  return IndexOf(Key, collationKey);
}

int32_t TReportList::IndexOf(const std::string& Key, std::string& CollationKey) const {
  if (lastIndex_ >= 0 && Key == lastFound_) return lastIndex_;
  CollationKey = platform::CollationKey(Key);
  const int32_t index = Find(CollationKey);
  if (index >= 0) {
    lastFound_ = Key;
    lastIndex_ = index;
  }
  return index;
}

int32_t TReportList::Add(const std::string& Key, std::unique_ptr<TReportList> Object) {
  entries_.push_back(Entry{Key, std::move(Object)});
  return static_cast<int32_t>(entries_.size() - 1);
}

int32_t TReportList::Add(const std::string& Key, std::unique_ptr<TReportList> Object,
                         std::string CollationKey) {
  // The key only goes with the entry when every entry before it has its own.
  const bool keyed = keyEnds_.size() == entries_.size();
  const int32_t index = Add(Key, std::move(Object));
  if (keyed) {
    try {
      AppendKey(CollationKey);
    } catch (...) {  // out of memory: the next lookup makes the key again
    }
  }
  return index;
}

void TReportList::Sort() {
  if (entries_.size() < 2) return;
  MakeKeys();
  struct Item {
    std::string_view key;
    uint32_t position;
  };
  std::vector<Item> order;
  order.reserve(entries_.size());
  for (uint32_t i = 0; i < entries_.size(); ++i) order.push_back({KeyAt(i), i});
  // Entries whose keys compare equal keep their order.
  std::sort(order.begin(), order.end(), [](const Item& a, const Item& b) {
    const int c = a.key.compare(b.key);
    return c < 0 || (c == 0 && a.position < b.position);
  });
  std::vector<Entry> sorted;
  std::string keyBytes;
  std::vector<uint32_t> keyEnds;
  sorted.reserve(entries_.size());
  keyBytes.reserve(keyBytes_.size());
  keyEnds.reserve(entries_.size());
  for (const Item& item : order) {
    keyBytes.append(item.key);
    keyEnds.push_back(static_cast<uint32_t>(keyBytes.size()));
    sorted.push_back(std::move(entries_[item.position]));
  }
  entries_ = std::move(sorted);
  keyBytes_ = std::move(keyBytes);
  keyEnds_ = std::move(keyEnds);
  // The next lookup indexes the entries where they now stand.
  slots_.clear();
  indexed_ = 0;
  lastIndex_ = -1;
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
  Html += "</b></td>\r\n";
  Html += "<td valign=\"top\">\r\n";
  const int32_t count = Count();
  for (int32_t i = 0; i < count; ++i) {
    AppendEscaped(Html, Keys(i));
    if (i + 1 < count) Html += "<br>";
    Html += kCrLf;
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
  std::string key;
  int32_t i = IndexOf(ShopName, key);
  if (i < 0) i = Add(ShopName, std::make_unique<TShopAlarms>(ShopName), std::move(key));
  return Shops(i);
}

TShopAlarms& TChainAlarms::Shops(int32_t Index) const {
  // Only FindOrAddShop adds entries here, each with a TShopAlarms.
  return static_cast<TShopAlarms&>(*Objects(Index));
}

// ---- TAlarmReport ----

void TAlarmReport::AddAlarm(const TChainParams& Chain, const std::string& ShopName,
                            const std::string& Text) {
  std::string collationKey;
  int32_t i = IndexOf(Chain.FolderName, collationKey);
  if (i < 0) {
    auto chain = std::make_unique<TChainAlarms>(Chain);
    const std::string key = chain->Chain.FolderName;
    i = Add(key, std::move(chain), std::move(collationKey));
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
