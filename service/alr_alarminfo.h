// The alarm report of one check run: a tree of owning lists (the report, its
// chains, each chain's shops, each shop's alarm texts) and the HTML of the
// main report and of one chain's section.
//
// Keys compare with the locale's case-insensitive collation
// (platform::CompareTextLocale): a lookup finds the first entry whose key
// compares equal, adding appends, and sorting orders the entries ascending
// under that same comparison. Nothing here is locked: only the service thread
// fills, sorts and reads the report.
//
// The HTML is assembled as Windows-1252 text and each byte of it converted to
// UTF-8 (without byte-order mark) once. Names and texts that come from the
// settings or the databases are HTML-escaped where they are inserted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/alr_config.h"
#include "common/datetime.h"
#include "common/verinfo.h"

// A list of entries, each a key and an optional owned child list.
class TReportList {
 public:
  TReportList();
  virtual ~TReportList();
  TReportList(const TReportList&) = delete;
  TReportList& operator=(const TReportList&) = delete;

  // Frees every child (last entry first) and removes all entries.
  virtual void Clear();
  // Puts the entries in output order; the base list keeps its order.
  virtual void Prepare() {}
  // Replaces Html by the list's HTML (Windows-1252 text, except for the
  // whole report, which is UTF-8).
  virtual void BuildHtml(std::string& Html) = 0;

  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  // Index from 0; throws std::out_of_range outside the list.
  const std::string& Keys(int32_t Index) const;
  TReportList* Objects(int32_t Index) const;
  // The index of the first entry whose key compares equal to Key, or -1.
  int32_t IndexOf(const std::string& Key) const;
  // Sorts ascending by key; equal keys keep their order.
  void Sort();

  // Replace Html by the fixed document header (ten lines) and footer.
  static void GetHtmlHeader(std::string& Html);
  static void GetHtmlFooter(std::string& Html);
  // 8-bit text of code page CodePage to UTF-8: the bytes that AnsiToWide
  // followed by WideToUtf8 give. Only code page 1252 is known; another one
  // throws EConvertError. The five bytes that Windows-1252 leaves undefined
  // become U+0081, U+008D, U+008F, U+0090 and U+009D.
  static void ConvertToUtf8(const std::string& Ansi, int32_t CodePage, std::string& Utf8);
  static void AnsiToWide(const std::string& Ansi, int32_t CodePage, std::u16string& Wide);
  // An unpaired surrogate becomes U+FFFD.
  static void WideToUtf8(const std::u16string& Wide, std::string& Utf8);

 protected:
  // Appends an entry (no duplicate check) and returns its index.
  int32_t Add(const std::string& Key, std::unique_ptr<TReportList> Object = nullptr);
  // For lists whose entries are added only after a lookup failed (FindOrAdd):
  // the entry takes the collation key that the failed IndexOf(Key) made, so
  // that each key is made once.
  int32_t AddNotFound(const std::string& Key, std::unique_ptr<TReportList> Object);

 private:
  struct Entry {
    std::string Key;
    std::unique_ptr<TReportList> Object;
  };
  // The collation keys and the index of the entries, made by the first lookup
  // or sort, so that a list that is only filled (a shop's alarm texts, a
  // hundred thousand lists in a large report) carries one null pointer.
  struct Lookup;
  Lookup& GetLookup() const;

  std::vector<Entry> entries_;
  mutable std::unique_ptr<Lookup> lookup_;
};

// The alarm texts of one shop, in the order in which they arrived.
class TShopAlarms final : public TReportList {
 public:
  explicit TShopAlarms(const std::string& ShopName) : ShopName(ShopName) {}
  // The shop's two table cells.
  void BuildHtml(std::string& Html) override;
  void AddText(const std::string& Text) { Add(Text); }
  // Appends the cells to Html.
  void AppendHtml(std::string& Html) const;

  const std::string ShopName;
};

// The shops of one chain with alarms.
class TChainAlarms : public TReportList {
 public:
  explicit TChainAlarms(const TChainParams& Chain) : Chain(Chain) {}
  // Sorts the shops.
  void Prepare() override;
  // Prepares, then replaces Html by the chain's section: heading, database
  // line, excluded-days sentence and the table of shops.
  void BuildHtml(std::string& Html) override;
  // "Jours sont exclus du contrôle: " and the excluded days' names from
  // Monday to Sunday, or the sentence that every day is checked.
  void GetExcludedDaysText(std::string& Text) const;

  // The shop entry for ShopName, added when no key compares equal.
  TShopAlarms& FindOrAddShop(const std::string& ShopName);
  TShopAlarms& Shops(int32_t Index) const;
  // Appends the section to Html as the shops stand, without preparing.
  void AppendHtml(std::string& Html) const;

  const TChainParams Chain;
};

// The alarms of one check run, by chain folder name.
class TAlarmReport : public TReportList {
 public:
  // Files the alarm text under the chain's FolderName and the shop name,
  // creating the chain and shop entries when no key compares equal. A new
  // chain entry keeps a copy of Chain.
  void AddAlarm(const TChainParams& Chain, const std::string& ShopName, const std::string& Text);
  // Sorts the chains and each chain's shops.
  void Prepare() override;
  // Prepares, then replaces Html by the whole main report in UTF-8.
  void BuildHtml(std::string& Html) override;
  // "Le rapport est généré par ..." with the service title, the version
  // suffix and the clock's date and time in the locale's short formats. No
  // markup, no line end.
  std::string GetGeneratedByLine() const;

  TChainAlarms& Chains(int32_t Index) const;

  // The service's version information, not owned; while it is null the
  // reports carry no version suffix.
  const TVersionInfo* VersionInfo = nullptr;
  // The date and time of the generated-by line.
  TClock Clock = Now;
  TFormatSettings FormatSettings = LocaleFormatSettings();
};
