#include "common/verinfo.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <random>
#include <string>

#include "platform/process.h"
#include "platform/verres.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using testing_support::ReadFile;
using testing_support::TempFolder;

// Nothing read: the state the constructor starts from.
void ExpectNoVersion(const TVersionInfo& v, const std::string& langCharset) {
  EXPECT_EQ(v.Major(), 0);
  EXPECT_EQ(v.Minor(), 0);
  EXPECT_EQ(v.Release(), 0);
  EXPECT_EQ(v.Build(), 0);
  EXPECT_FALSE(v.Debug());
  EXPECT_FALSE(v.PreRelease());
  EXPECT_EQ(v.LangCharset(), langCharset);
  EXPECT_EQ(v.FileDescription(), "");
  EXPECT_EQ(v.LegalCopyright(), "");
  EXPECT_EQ(v.Comments(), "");
  EXPECT_EQ(v.GetVersionString(1), "0.0");
}

void ExpectSampleNumbers(const TVersionInfo& v) {
  EXPECT_EQ(v.Major(), 2);
  EXPECT_EQ(v.Minor(), 5);
  EXPECT_EQ(v.Release(), 0);
  EXPECT_EQ(v.Build(), 17);
  EXPECT_TRUE(v.Debug());
  EXPECT_TRUE(v.PreRelease());
}

TEST(TVersionInfo, ReadsTheSampleProgram) {
  TVersionInfo v(VERINFO_SAMPLE, "");
  EXPECT_EQ(v.FileName(), VERINFO_SAMPLE);
  ExpectSampleNumbers(v);
  EXPECT_EQ(v.LangCharset(), "040904E4");
  // The texts arrive in the programs' own code page.
  EXPECT_EQ(v.FileDescription(),
            "\xC9"
            "chantillon de version");
  EXPECT_EQ(v.LegalCopyright(), "\xA9 2024 CORVANTE");
  EXPECT_EQ(v.Comments(), "Programme de test");
}

TEST(TVersionInfo, FlagsCountWhateverTheFlagsMask) {
  TempFolder dir;
  std::string bytes = ReadFile(VERINFO_SAMPLE);
  const size_t record = bytes.find("VGVR");
  ASSERT_NE(record, std::string::npos);
  ASSERT_EQ(bytes.find("VGVR", record + 1), std::string::npos);
  // Bytes 24 to 27 of the record: a mask that leaves out every flag.
  bytes.replace(record + 24, 4, std::string(4, '\0'));
  const std::string masked = dir.Write("masked", bytes);
  const std::optional<platform::VersionResource> resource =
      platform::VersionResource::ReadFromFile(masked);
  ASSERT_TRUE(resource);
  ASSERT_EQ(resource->Fixed().FileFlagsMask, 0u);

  TVersionInfo v(masked, "");
  ExpectSampleNumbers(v);
}

TEST(TVersionInfo, GetVersionString) {
  TVersionInfo v(VERINFO_SAMPLE, "");
  const struct {
    int32_t parts;
    const char* text;
  } cases[] = {
      {INT32_MIN, "2"}, {-5, "2"},       {0, "2"},         {1, "2.5"},
      {2, "2.5.0"},     {3, "2.5.0.17"}, {10, "2.5.0.17"}, {INT32_MAX, "2.5.0.17"},
  };
  for (const auto& c : cases) EXPECT_EQ(v.GetVersionString(c.parts), c.text) << c.parts;
}

TEST(TVersionInfo, GivenStringTableKey) {
  const struct {
    const char* key;
    bool texts;
  } cases[] = {
      {"040904E4", true},
      {"040904e4", true},   // hexadecimal digits in either case
      {"040C04E4", false},  // French: no such table
      {"04090000", false},
  };
  for (const auto& c : cases) {
    TVersionInfo v(VERINFO_SAMPLE, c.key);
    ExpectSampleNumbers(v);
    EXPECT_EQ(v.LangCharset(), c.key);
    EXPECT_EQ(v.FileDescription().empty(), !c.texts) << c.key;
    EXPECT_EQ(v.LegalCopyright().empty(), !c.texts) << c.key;
    EXPECT_EQ(v.Comments().empty(), !c.texts) << c.key;
  }
}

TEST(TVersionInfo, EmptyFileNameIsTheRunningProgram) {
  TVersionInfo v;
  EXPECT_EQ(v.FileName(), platform::ExecutablePath());
  EXPECT_EQ(v.GetVersionString(3), "3.1.4.1");
  EXPECT_FALSE(v.Debug());
  EXPECT_FALSE(v.PreRelease());
  EXPECT_EQ(v.FileDescription(), "Version tests");
  EXPECT_EQ(v.LegalCopyright(), "");
  EXPECT_EQ(v.Comments(), "");
}

TEST(TVersionInfo, FilesWithoutVersionInformation) {
  TempFolder dir;
  std::string sample = ReadFile(VERINFO_SAMPLE);
  ASSERT_GT(sample.size(), 4096u);

  // Random bytes behind a valid ELF identification.
  std::mt19937 random(20240517);
  std::string garbage = std::string(
      "\x7F"
      "ELF\x02\x01\x01",
      7);
  while (garbage.size() < 4096) garbage += static_cast<char>(random() & 0xFF);
  dir.Write("garbage", garbage);
  // The sample with its section header table pointing into nowhere.
  std::string misplaced = sample;
  for (int i = 0; i < 8; ++i) misplaced[0x28 + i] = '\x7F';  // e_shoff of a 64-bit file
  dir.Write("misplaced", misplaced);
  for (size_t length : {size_t{0}, size_t{4}, size_t{63}, sample.size() / 2, sample.size() - 1}) {
    dir.Write("cut" + std::to_string(length), sample.substr(0, length));
  }
  dir.Write("text", "no program at all\n");

  const std::string paths[] = {
      VERINFO_PLAIN,
      dir.File("missing"),
      dir.File(""),
      dir.File("garbage"),
      dir.File("misplaced"),
      dir.File("text"),
      dir.File("cut0"),
      dir.File("cut4"),
      dir.File("cut63"),
      dir.File("cut" + std::to_string(sample.size() / 2)),
      dir.File("cut" + std::to_string(sample.size() - 1)),
  };
  for (const std::string& path : paths) {
    for (const char* key : {"", "040904E4"}) {
      SCOPED_TRACE(path + " key '" + key + "'");
      TVersionInfo v(path, key);
      EXPECT_EQ(v.FileName(), path);
      ExpectNoVersion(v, key);
    }
  }
}

TEST(TVersionInfo, ReadingAgainKeepsWhatWasRead) {
  TempFolder dir;
  std::string copy = dir.Write("copy", ReadFile(VERINFO_SAMPLE));
  TVersionInfo v(copy, "");
  ExpectSampleNumbers(v);
  v.ReadVersionInfo();
  ExpectSampleNumbers(v);
  EXPECT_EQ(v.LangCharset(), "040904E4");

  // A file that has gone changes nothing.
  fs::remove(copy);
  v.ReadVersionInfo();
  ExpectSampleNumbers(v);
  EXPECT_EQ(v.Comments(), "Programme de test");
}

}  // namespace
