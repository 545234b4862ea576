// Version information of an executable: the section ".vigilo_version" of its
// ELF file, written by the build (cmake/VersionSection.cmake) and read back by
// file name through the ELF section headers. 32- and 64-bit files of either
// byte order are read. A missing, unreadable, foreign or damaged file, or one
// without the section, has no version information; reading never crashes and
// never throws on bad input.
//
// The section holds one version record. Every number is little-endian,
// whatever the byte order of the file; texts are UTF-8 without terminator.
//
//   offset size
//    0     4    magic "VGVR"
//    4     2    layout, 1
//    6     2    T, number of translations
//    8     4    size of the record in bytes, this header included; the
//               section may be longer (alignment padding), never shorter
//   12     2    Major      the file version Major.Minor.Release.Build
//   14     2    Minor
//   16     2    Release
//   18     2    Build
//   20     4    file flags: bit 0 debug, bit 1 pre-release
//   24     4    file flags mask: the flag bits that are meaningful
//   28     2    S, number of string tables
//   30     2    0
//   32          T translations: 2 language identifier, 2 code page
//               S string tables, one after the other:
//                 8  key: language and code page as eight hexadecimal digits
//                    ("040904E4")
//                 2  E, number of strings
//                 E  strings: 2 name length, 2 value length, name, value
//
// Names are ASCII ("FileDescription", "LegalCopyright", "Comments"). Table
// keys and names are matched without regard to ASCII case; the first match wins.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr char kVersionSectionName[] = ".vigilo_version";

inline constexpr uint32_t kVersionFlagDebug = 0x1;
inline constexpr uint32_t kVersionFlagPreRelease = 0x2;

// The root block of the record.
struct FixedFileInfo {
  uint16_t Major = 0;
  uint16_t Minor = 0;
  uint16_t Release = 0;
  uint16_t Build = 0;
  uint32_t FileFlags = 0;
  uint32_t FileFlagsMask = 0;
};

struct VersionTranslation {
  uint16_t Language = 0;
  uint16_t CodePage = 0;
};

class VersionResource {
 public:
  // The record of the ELF file `path`; nullopt when the file has none or it
  // cannot be read.
  static std::optional<VersionResource> ReadFromFile(const std::string& path);
  // The record held in `bytes` (a section's contents); nullopt when damaged.
  static std::optional<VersionResource> Parse(std::string_view bytes);

  // The root block: version numbers and flags.
  const FixedFileInfo& Fixed() const { return fixed_; }
  // "\VarFileInfo\Translation": the translations, in their order; may be empty.
  const std::vector<VersionTranslation>& Translations() const { return translations_; }
  // "\StringFileInfo\<table>\<name>": the string, converted to cp1252;
  // nullopt when the table or the string is not there.
  std::optional<std::string> StringValue(const std::string& table, const std::string& name) const;

 private:
  struct StringEntry {
    std::string name;
    std::string value;  // UTF-8, as stored
  };
  struct StringTable {
    std::string key;
    std::vector<StringEntry> entries;
  };

  FixedFileInfo fixed_;
  std::vector<VersionTranslation> translations_;
  std::vector<StringTable> tables_;
};

// The contents of the first section called `name` in the ELF file `path`, at
// most `maxSize` bytes; nullopt when there is no such section, it is larger,
// or the file is no readable ELF file. Every offset is checked against the file.
std::optional<std::string> ReadElfSection(const std::string& path, const std::string& name,
                                          size_t maxSize);

}  // namespace platform
