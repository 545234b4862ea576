#include "platform/verres.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempFolder;

void Put(std::string& bytes, size_t at, size_t size, uint64_t value, bool big) {
  for (size_t i = 0; i < size; ++i) {
    size_t index = big ? at + size - 1 - i : at + i;
    bytes[index] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

std::string Le(uint64_t value, size_t size) {
  std::string out(size, '\0');
  Put(out, 0, size, value, false);
  return out;
}

// A version record written from the layout the reader's header documents.
struct TestRecord {
  uint16_t layout = 1;
  uint16_t major = 2, minor = 5, release = 0, build = 17;
  uint32_t flags = 3, mask = 63;
  std::vector<std::pair<uint16_t, uint16_t>> translations = {{0x0409, 0x04E4}};
  struct Table {
    std::string key;
    std::vector<std::pair<std::string, std::string>> strings;
  };
  std::vector<Table> tables = {
      {"040904E4", {{"FileDescription", "Caf\xC3\xA9 tool"}, {"Comments", "note"}}}};
  int64_t sizeAdjust = 0;  // added to the true size
  int translationCountAdjust = 0, tableCountAdjust = 0, stringCountAdjust = 0;
  std::string padding;  // bytes after the record

  std::string Encode() const {
    std::string body;
    for (const auto& t : translations) body += Le(t.first, 2) + Le(t.second, 2);
    for (const auto& table : tables) {
      body += table.key + Le(table.strings.size() + stringCountAdjust, 2);
      for (const auto& s : table.strings)
        body += Le(s.first.size(), 2) + Le(s.second.size(), 2) + s.first + s.second;
    }
    std::string out = "VGVR" + Le(layout, 2) + Le(translations.size() + translationCountAdjust, 2) +
                      Le(32 + body.size() + sizeAdjust, 4) + Le(major, 2) + Le(minor, 2) +
                      Le(release, 2) + Le(build, 2) + Le(flags, 4) + Le(mask, 4) +
                      Le(tables.size() + tableCountAdjust, 2) + Le(0, 2);
    return out + body + padding;
  }
};

// Field positions of the two ELF classes, from the system's own structures.
struct ElfLayout {
  bool is64;
  size_t ehdrSize, shdrSize;
  size_t shoff, shoffSize, shentsize, shnum, shstrndx;
  size_t shName, shType, shOffset, shSize, shLink, addrSize;  // addrSize: sh_offset and sh_size
};

#define LAYOUT(E, S, is64)                                                                        \
  ElfLayout {                                                                                     \
    is64, sizeof(E), sizeof(S), offsetof(E, e_shoff), sizeof(E::e_shoff),                         \
        offsetof(E, e_shentsize), offsetof(E, e_shnum), offsetof(E, e_shstrndx),                  \
        offsetof(S, sh_name), offsetof(S, sh_type), offsetof(S, sh_offset), offsetof(S, sh_size), \
        offsetof(S, sh_link), sizeof(S::sh_offset)                                                \
  }
const ElfLayout kElf64 = LAYOUT(Elf64_Ehdr, Elf64_Shdr, true);
const ElfLayout kElf32 = LAYOUT(Elf32_Ehdr, Elf32_Shdr, false);
#undef LAYOUT

struct Section {
  std::string name;
  std::string data;
  uint32_t type = SHT_PROGBITS;
};

// A minimal ELF file: header, section contents, then the section headers
// (null section, the name table, the given sections in order). The name
// table lists ".shstrtab" first, so the last section's name ends the table.
struct ElfFile {
  const ElfLayout* layout;
  bool big;
  std::string bytes;
  size_t tableOffset = 0;
  size_t count = 0;
  size_t namesSize = 0;

  ElfFile(const ElfLayout& l, bool bigEndian, const std::vector<Section>& sections)
      : layout(&l), big(bigEndian) {
    std::string names = std::string("\0.shstrtab\0", 11);
    std::vector<size_t> nameOffsets;
    for (const auto& s : sections) {
      nameOffsets.push_back(names.size());
      names += s.name + '\0';
    }
    namesSize = names.size();
    bytes.assign(l.ehdrSize, '\0');
    std::vector<size_t> dataOffsets;
    size_t namesOffset = bytes.size();
    bytes += names;
    for (const auto& s : sections) {
      dataOffsets.push_back(bytes.size());
      if (s.type != SHT_NOBITS) bytes += s.data;
    }
    while (bytes.size() % 8) bytes += '\0';
    tableOffset = bytes.size();
    count = sections.size() + 2;
    bytes.append(count * l.shdrSize, '\0');

    memcpy(bytes.data(), ELFMAG, SELFMAG);
    bytes[EI_CLASS] = l.is64 ? ELFCLASS64 : ELFCLASS32;
    bytes[EI_DATA] = big ? ELFDATA2MSB : ELFDATA2LSB;
    bytes[EI_VERSION] = EV_CURRENT;
    Header(l.shoff, l.shoffSize, tableOffset);
    Header(l.shentsize, 2, l.shdrSize);
    Header(l.shnum, 2, count);
    Header(l.shstrndx, 2, 1);
    SectionField(1, l.shName, 4, 1);
    SectionField(1, l.shType, 4, SHT_STRTAB);
    SectionField(1, l.shOffset, l.addrSize, namesOffset);
    SectionField(1, l.shSize, l.addrSize, names.size());
    for (size_t i = 0; i < sections.size(); ++i) {
      SectionField(i + 2, l.shName, 4, nameOffsets[i]);
      SectionField(i + 2, l.shType, 4, sections[i].type);
      SectionField(i + 2, l.shOffset, l.addrSize, dataOffsets[i]);
      SectionField(i + 2, l.shSize, l.addrSize, sections[i].data.size());
    }
  }

  void Header(size_t at, size_t size, uint64_t value) { Put(bytes, at, size, value, big); }
  void SectionField(size_t index, size_t at, size_t size, uint64_t value) {
    Put(bytes, tableOffset + index * layout->shdrSize + at, size, value, big);
  }
  // The same field with the offset/size width of this class.
  void SectionWide(size_t index, size_t at, uint64_t value) {
    SectionField(index, at, layout->addrSize, value);
  }
};

struct Format {
  const char* name;
  const ElfLayout* layout;
  bool big;
};
const Format kFormats[] = {
    {"64-bit little-endian", &kElf64, false},
    {"64-bit big-endian", &kElf64, true},
    {"32-bit little-endian", &kElf32, false},
    {"32-bit big-endian", &kElf32, true},
};

std::vector<Section> VersionedSections(const std::string& record) {
  return {{".text", std::string(40, '\x90')}, {".vigilo_version", record}};
}

void ExpectSampleRecord(const platform::VersionResource& r) {
  EXPECT_EQ(r.Fixed().Major, 2);
  EXPECT_EQ(r.Fixed().Minor, 5);
  EXPECT_EQ(r.Fixed().Release, 0);
  EXPECT_EQ(r.Fixed().Build, 17);
  EXPECT_EQ(r.Fixed().FileFlags, 3u);
  EXPECT_EQ(r.Fixed().FileFlagsMask, 63u);
  ASSERT_EQ(r.Translations().size(), 1u);
  EXPECT_EQ(r.Translations()[0].Language, 0x0409);
  EXPECT_EQ(r.Translations()[0].CodePage, 0x04E4);
  EXPECT_EQ(r.StringValue("040904E4", "FileDescription"), "Caf\xE9 tool");
  EXPECT_EQ(r.StringValue("040904E4", "Comments"), "note");
}

TEST(VersionResource, ReadsEveryElfClassAndByteOrder) {
  TempFolder dir;
  for (const Format& f : kFormats) {
    ElfFile elf(*f.layout, f.big, VersionedSections(TestRecord().Encode()));
    std::string path = dir.Write("sample", elf.bytes);
    std::optional<platform::VersionResource> r = platform::VersionResource::ReadFromFile(path);
    ASSERT_TRUE(r.has_value()) << f.name;
    ExpectSampleRecord(*r);
  }
}

TEST(VersionResource, ExtendedSectionNumbering) {
  TempFolder dir;
  for (const Format& f : kFormats) {
    ElfFile elf(*f.layout, f.big, VersionedSections(TestRecord().Encode()));
    elf.Header(f.layout->shnum, 2, 0);
    elf.Header(f.layout->shstrndx, 2, SHN_XINDEX);
    elf.SectionWide(0, f.layout->shSize, elf.count);
    elf.SectionField(0, f.layout->shLink, 4, 1);
    dir.Write("extended", elf.bytes);
    std::optional<platform::VersionResource> r =
        platform::VersionResource::ReadFromFile(dir.File("extended"));
    ASSERT_TRUE(r.has_value()) << f.name;
    ExpectSampleRecord(*r);
  }
}

TEST(VersionResource, DamagedFilesHaveNoVersion) {
  using Damage = std::function<void(ElfFile&)>;
  const struct {
    const char* name;
    Damage damage;
  } cases[] = {
      {"bad magic", [](ElfFile& e) { e.bytes[1] = 'X'; }},
      {"unknown class", [](ElfFile& e) { e.bytes[EI_CLASS] = 7; }},
      {"unknown byte order", [](ElfFile& e) { e.bytes[EI_DATA] = 0; }},
      {"unknown ELF version", [](ElfFile& e) { e.bytes[EI_VERSION] = 2; }},
      {"no section table", [](ElfFile& e) { e.Header(e.layout->shoff, e.layout->shoffSize, 0); }},
      {"table past the end",
       [](ElfFile& e) { e.Header(e.layout->shoff, e.layout->shoffSize, e.bytes.size()); }},
      {"table cut by the end",
       [](ElfFile& e) {
         e.Header(e.layout->shoff, e.layout->shoffSize, e.bytes.size() - e.layout->shdrSize);
       }},
      {"table offset wraps around",
       [](ElfFile& e) { e.Header(e.layout->shoff, e.layout->shoffSize, ~uint64_t{0}); }},
      {"entry size too small",
       [](ElfFile& e) { e.Header(e.layout->shentsize, 2, e.layout->shdrSize - 1); }},
      {"too many sections", [](ElfFile& e) { e.Header(e.layout->shnum, 2, 0xFEFF); }},
      {"name table index out of range",
       [](ElfFile& e) { e.Header(e.layout->shstrndx, 2, e.count); }},
      {"extended count of zero", [](ElfFile& e) { e.Header(e.layout->shnum, 2, 0); }},
      {"huge extended count",
       [](ElfFile& e) {
         e.Header(e.layout->shnum, 2, 0);
         e.SectionWide(0, e.layout->shSize, ~uint64_t{0} >> 1);
       }},
      {"name table past the end",
       [](ElfFile& e) { e.SectionWide(1, e.layout->shOffset, e.bytes.size()); }},
      {"name table longer than the file",
       [](ElfFile& e) { e.SectionWide(1, e.layout->shSize, e.bytes.size() + 1); }},
      {"name table wraps around",
       [](ElfFile& e) {
         e.SectionWide(1, e.layout->shOffset, ~uint64_t{0} - 4);
         e.SectionWide(1, e.layout->shSize, 16);
       }},
      {"name table without contents",
       [](ElfFile& e) { e.SectionField(1, e.layout->shType, 4, SHT_NOBITS); }},
      {"name offset past the name table",
       [](ElfFile& e) { e.SectionField(3, e.layout->shName, 4, 0xFFFFFF); }},
      {"name without its terminating zero",
       [](ElfFile& e) {
         // The version section's name ends the table; drop its zero.
         e.SectionWide(1, e.layout->shSize, e.namesSize - 1);
       }},
      {"contents past the end",
       [](ElfFile& e) { e.SectionWide(3, e.layout->shOffset, e.bytes.size()); }},
      {"contents longer than the file",
       [](ElfFile& e) { e.SectionWide(3, e.layout->shSize, e.bytes.size()); }},
      {"contents wrap around",
       [](ElfFile& e) { e.SectionWide(3, e.layout->shOffset, ~uint64_t{0} - 8); }},
      {"section without contents",
       [](ElfFile& e) { e.SectionField(3, e.layout->shType, 4, SHT_NOBITS); }},
      {"record magic damaged",
       [](ElfFile& e) {
         size_t recordAt = e.bytes.find("VGVR");
         e.bytes[recordAt] = 'X';
       }},
  };
  TempFolder dir;
  for (const Format& f : kFormats) {
    // The undamaged file reads, so each case below fails for its own damage.
    ElfFile good(*f.layout, f.big, VersionedSections(TestRecord().Encode()));
    dir.Write("good", good.bytes);
    ASSERT_TRUE(platform::VersionResource::ReadFromFile(dir.File("good"))) << f.name;
    for (const auto& c : cases) {
      ElfFile elf = good;
      c.damage(elf);
      dir.Write("damaged", elf.bytes);
      EXPECT_FALSE(platform::VersionResource::ReadFromFile(dir.File("damaged")))
          << f.name << ": " << c.name;
    }
  }
}

TEST(VersionResource, EveryTruncationHasNoVersion) {
  TempFolder dir;
  for (const Format& f : kFormats) {
    ElfFile elf(*f.layout, f.big, VersionedSections(TestRecord().Encode()));
    for (size_t length = 0; length < elf.bytes.size(); ++length) {
      dir.Write("cut", elf.bytes.substr(0, length));
      ASSERT_FALSE(platform::VersionResource::ReadFromFile(dir.File("cut")))
          << f.name << " cut at " << length;
    }
  }
}

TEST(ReadElfSection, FindsTheSectionByItsWholeName) {
  TempFolder dir;
  const struct {
    const char* name;
    std::vector<Section> sections;
    std::optional<std::string> found;
  } cases[] = {
      {"first of two", {{".vigilo_version", "one"}, {".vigilo_version", "two"}}, "one"},
      {"longer name", {{".vigilo_version2", "x"}}, std::nullopt},
      {"prefix of the name", {{".vigilo_versio", "x"}}, std::nullopt},
      {"empty section", {{".other", "x"}, {".vigilo_version", ""}}, ""},
      {"no such section", {{".text", "x"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    dir.Write("f", ElfFile(kElf64, false, c.sections).bytes);
    EXPECT_EQ(platform::ReadElfSection(dir.File("f"), ".vigilo_version", 100), c.found) << c.name;
  }
  dir.Write("big", ElfFile(kElf64, false, {{".vigilo_version", "12345"}}).bytes);
  EXPECT_EQ(platform::ReadElfSection(dir.File("big"), ".vigilo_version", 5), "12345");
  EXPECT_FALSE(platform::ReadElfSection(dir.File("big"), ".vigilo_version", 4));
}

TEST(ReadElfSection, PathsThatAreNoFiles) {
  TempFolder dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  dir.Write("empty", "");
  dir.Write("text", "#!/bin/sh\necho no ELF here\n");
  for (const std::string& path : {dir.Path(), dir.File("fifo"), dir.File("missing"),
                                  dir.File("empty"), dir.File("text"), std::string()}) {
    EXPECT_FALSE(platform::ReadElfSection(path, ".vigilo_version", 1000)) << path;
  }
}

TEST(VersionResource, RecordContents) {
  auto parse = [](const TestRecord& record) {
    return platform::VersionResource::Parse(record.Encode());
  };
  {
    std::optional<platform::VersionResource> r = parse(TestRecord());
    ASSERT_TRUE(r);
    ExpectSampleRecord(*r);
    // Table keys and names are matched without case; absent ones are nullopt.
    EXPECT_EQ(r->StringValue("040904e4", "filedescription"), "Caf\xE9 tool");
    EXPECT_EQ(r->StringValue("040904E4", "LegalCopyright"), std::nullopt);
    EXPECT_EQ(r->StringValue("040C04E4", "Comments"), std::nullopt);
    EXPECT_EQ(r->StringValue("", "Comments"), std::nullopt);
  }
  {
    TestRecord padded;
    padded.padding = std::string(24, '\xAA');
    std::optional<platform::VersionResource> r = parse(padded);
    ASSERT_TRUE(r) << "padding after the record";
    ExpectSampleRecord(*r);
  }
  {
    TestRecord bare;
    bare.translations.clear();
    bare.tables.clear();
    std::optional<platform::VersionResource> r = parse(bare);
    ASSERT_TRUE(r) << "no translation, no string table";
    EXPECT_TRUE(r->Translations().empty());
    EXPECT_EQ(r->Fixed().Build, 17);
    EXPECT_EQ(r->StringValue("040904E4", "Comments"), std::nullopt);
  }
  {
    TestRecord text;
    text.tables[0].strings = {{"Comments", "\xE2\x80\x93 \xE3\x82\xA2"}, {"Comments", "second"}};
    std::optional<platform::VersionResource> r = parse(text);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->StringValue("040904E4", "Comments"), "\x96 ?") << "cp1252, first one wins";
  }

  const struct {
    const char* name;
    std::function<void(TestRecord&)> change;
  } damaged[] = {
      {"unknown layout", [](TestRecord& r) { r.layout = 2; }},
      {"size beyond the bytes", [](TestRecord& r) { r.sizeAdjust = 1; }},
      {"size cuts the last string", [](TestRecord& r) { r.sizeAdjust = -1; }},
      {"size below the header", [](TestRecord& r) { r.sizeAdjust = -1000; }},
      {"more translations than the record holds",
       [](TestRecord& r) {
         r.tables.clear();
         r.translationCountAdjust = 1;
       }},
      {"more string tables than the record holds", [](TestRecord& r) { r.tableCountAdjust = 1; }},
      {"more strings than the table holds", [](TestRecord& r) { r.stringCountAdjust = 1; }},
      {"padding read as strings",
       [](TestRecord& r) {
         r.stringCountAdjust = 1;
         r.padding = std::string(16, '\x7F');
       }},
  };
  for (const auto& c : damaged) {
    TestRecord record;
    c.change(record);
    EXPECT_FALSE(parse(record)) << c.name;
  }
  const std::string good = TestRecord().Encode();
  for (size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(platform::VersionResource::Parse(good.substr(0, length))) << "cut at " << length;
  }
  EXPECT_FALSE(platform::VersionResource::Parse("XGVR" + good.substr(4)));
}

// The section that the build writes into this very program.
TEST(VersionResource, SectionWrittenByTheBuild) {
  std::string self = platform::ExecutablePath();
  std::optional<platform::VersionResource> r = platform::VersionResource::ReadFromFile(self);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Fixed().Major, 7);
  EXPECT_EQ(r->Fixed().Minor, 6);
  EXPECT_EQ(r->Fixed().Release, 5);
  EXPECT_EQ(r->Fixed().Build, 0);
  EXPECT_EQ(r->Fixed().FileFlags, platform::kVersionFlagPreRelease);
  EXPECT_EQ(r->Fixed().FileFlagsMask, 63u);
  ASSERT_EQ(r->Translations().size(), 1u);
  EXPECT_EQ(r->Translations()[0].Language, 0x0409);
  EXPECT_EQ(r->Translations()[0].CodePage, 0x04E4);
  EXPECT_EQ(r->StringValue("040904E4", "FileDescription"),
            "Verres \x96 d\xE9"
            "codage");
  EXPECT_EQ(r->StringValue("040904E4", "Comments"), "Tested; with a semicolon");
  EXPECT_EQ(r->StringValue("040904E4", "LegalCopyright"), std::nullopt);

  // The same bytes as the documented layout gives, and as binutils finds.
  TestRecord expected;
  expected.major = 7, expected.minor = 6, expected.release = 5, expected.build = 0;
  expected.flags = platform::kVersionFlagPreRelease;
  expected.tables = {{"040904E4",
                      {{"FileDescription",
                        "Verres \xE2\x80\x93 d\xC3\xA9"
                        "codage"},
                       {"Comments", "Tested; with a semicolon"}}}};
  std::optional<std::string> section = platform::ReadElfSection(self, ".vigilo_version", 1 << 20);
  ASSERT_TRUE(section);
  EXPECT_EQ(section->substr(0, expected.Encode().size()), expected.Encode());

  TempFolder dir;
  std::string dump = dir.File("section.bin");
  std::string command = "objcopy --dump-section .vigilo_version=" + dump + " " + self + " " +
                        dir.File("copy") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(ReadFile(dump), *section);
}

TEST(VersionResource, DefaultVersionIsTheProjectVersion) {
  std::optional<platform::VersionResource> r =
      platform::VersionResource::ReadFromFile(DEFAULT_VERSION_PROGRAM);
  ASSERT_TRUE(r);
  std::string version = std::to_string(r->Fixed().Major) + "." + std::to_string(r->Fixed().Minor) +
                        "." + std::to_string(r->Fixed().Release) + "." +
                        std::to_string(r->Fixed().Build);
  EXPECT_EQ(version, PROJECT_VERSION_TEXT);
  EXPECT_EQ(r->Fixed().FileFlags, 0u);
  EXPECT_EQ(r->StringValue("040904E4", "FileDescription"), "Default version");
}

}  // namespace
