#include "service/alr_alarminfo.h"

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
// browsers: markup characters in them must show as text.
void AppendEscaped(std::string& html, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        html += "&amp;";
        break;
      case '<':
        html += "&lt;";
        break;
      case '>':
        html += "&gt;";
        break;
      case '"':
        html += "&quot;";
        break;
      default:
        html += c;
    }
  }
}

void CheckCodePage(int32_t codePage) {
  if (codePage != kWindows1252) {
    throw EConvertError("Code page " + std::to_string(codePage) + " is not supported");
  }
}

}  // namespace

// ---- TReportList ----

bool TReportList::LocaleLess::operator()(const std::string& a, const std::string& b) const {
  return platform::CompareTextLocale(a, b) < 0;
}

TReportList::~TReportList() {
  TReportList::Clear();
}

void TReportList::Clear() {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) it->Object.reset();
  index_.clear();
  entries_.clear();
}

const std::string& TReportList::Keys(int32_t Index) const {
  return entries_.at(static_cast<size_t>(Index)).Key;
}

TReportList* TReportList::Objects(int32_t Index) const {
  return entries_.at(static_cast<size_t>(Index)).Object.get();
}

int32_t TReportList::IndexOf(const std::string& Key) const {
  // Equal keys stand in index order, so the first of them is the first entry.
  const auto it = index_.lower_bound(Key);
  if (it == index_.end() || index_.key_comp()(Key, it->first)) return -1;
  return static_cast<int32_t>(it->second);
}

int32_t TReportList::Add(const std::string& Key, std::unique_ptr<TReportList> Object) {
  const size_t position = entries_.size();
  entries_.push_back(Entry{Key, std::move(Object)});
  // A multimap inserts after the keys that compare equal, keeping index order.
  index_.emplace(Key, position);
  return static_cast<int32_t>(position);
}

void TReportList::Sort() {
  if (entries_.size() < 2) return;
  std::vector<Entry> sorted;
  sorted.reserve(entries_.size());
  for (auto& [key, position] : index_) {
    sorted.push_back(std::move(entries_[position]));
    position = sorted.size() - 1;
  }
  entries_ = std::move(sorted);
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
  Utf8 = platform::Cp1252ToUtf8(Ansi);
}

void TReportList::AnsiToWide(const std::string& Ansi, int32_t CodePage, std::u16string& Wide) {
  CheckCodePage(CodePage);
  // Windows-1252 lies in the Basic Multilingual Plane: its UTF-8 form has
  // sequences of one to three bytes only.
  const std::string utf8 = platform::Cp1252ToUtf8(Ansi);
  Wide.clear();
  Wide.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    auto next = [&](size_t k) { return static_cast<unsigned char>(utf8[i + k]) & 0x3Fu; };
    if (b < 0x80) {
      Wide += static_cast<char16_t>(b);
      i += 1;
    } else if (b < 0xE0) {
      Wide += static_cast<char16_t>(((b & 0x1Fu) << 6) | next(1));
      i += 2;
    } else {
      Wide += static_cast<char16_t>(((b & 0x0Fu) << 12) | (next(1) << 6) | next(2));
      i += 3;
    }
  }
}

void TReportList::WideToUtf8(const std::u16string& Wide, std::string& Utf8) {
  Utf8.clear();
  Utf8.reserve(Wide.size() * 3 / 2 + 1);
  auto put = [&](unsigned value) { Utf8 += static_cast<char>(value); };
  for (size_t i = 0; i < Wide.size(); ++i) {
    uint32_t cp = Wide[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < Wide.size() && Wide[i + 1] >= 0xDC00 &&
        Wide[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (Wide[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
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
  for (int32_t k = 0; k < Count(); ++k) {
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
  if (i < 0) i = Add(ShopName, std::make_unique<TShopAlarms>(ShopName));
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
    i = Add(key, std::move(chain));
  }
  Chains(i).FindOrAddShop(ShopName).AddText(Text);
}

void TAlarmReport::Prepare() {
  Sort();
  for (int32_t i = Count() - 1; i >= 0; --i) Chains(i).Prepare();
}

std::string TAlarmReport::GetGeneratedByLine() const {
  const std::string suffix = VersionString.empty() ? "" : "(v " + VersionString + ")";
  const TDateTime now = Clock();
  const std::string when = FormatDateTime(FormatSettings.ShortDateFormat, now, FormatSettings) +
                           " " +
                           FormatDateTime(FormatSettings.ShortTimeFormat, now, FormatSettings);
  return resstr::Format(resstr::SReportGeneratedBy, {resstr::SServiceTitle, suffix, when});
}

void TAlarmReport::BuildHtml(std::string& Html) {
  Prepare();
  std::string document;
  GetHtmlHeader(document);
  document += GetGeneratedByLine();
  if (Count() == 0) {
    document += "<h4>";
    document += resstr::SNoAlarmFound;
    document += "</h4>\r\n";
  } else {
    // The chains are prepared already: append their sections directly.
    for (int32_t i = 0; i < Count(); ++i) Chains(i).AppendHtml(document);
  }
  std::string footer;
  GetHtmlFooter(footer);
  document += footer;
  ConvertToUtf8(document, kWindows1252, Html);
}

TChainAlarms& TAlarmReport::Chains(int32_t Index) const {
  // Only AddAlarm adds entries here, each with a TChainAlarms.
  return static_cast<TChainAlarms&>(*Objects(Index));
}
