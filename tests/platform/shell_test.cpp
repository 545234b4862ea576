#include "platform/shell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <vector>

#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using testing_support::TempFolder;

// ---- Desktop folders ----

// Each case runs on the same folders below "@" (the test's own folder): the
// folders common, xdg, abs, home/Desktop, home/Bureau and cfg, and the file
// "file". "@" in a variable or in the user-dirs.dirs text stands for it.
struct DesktopCase {
  const char* name;
  std::map<std::string, std::string> env;
  const char* userDirs;  // the text of user-dirs.dirs; nullptr: no such file
  const char* userDirsFile;
  const char* expected;  // nullptr: no desktop, an error
};

const char* const kHomeDirs = "home/.config/user-dirs.dirs";

const DesktopCase kDesktopCases[] = {
    {"common desktop first",
     {{"VIGILO_COMMON_DESKTOP", "@/common"}, {"XDG_DESKTOP_DIR", "@/xdg"}, {"HOME", "@/home"}},
     nullptr,
     kHomeDirs,
     "@/common"},
    {"common names a file",
     {{"VIGILO_COMMON_DESKTOP", "@/file"}, {"XDG_DESKTOP_DIR", "@/xdg"}, {"HOME", "@/home"}},
     nullptr,
     kHomeDirs,
     "@/xdg"},
    {"common names a missing folder",
     {{"VIGILO_COMMON_DESKTOP", "@/missing"}, {"HOME", "@/home"}},
     nullptr,
     kHomeDirs,
     "@/home/Desktop"},
    {"XDG_DESKTOP_DIR without its trailing slash",
     {{"XDG_DESKTOP_DIR", "@/xdg//"}, {"HOME", "@/home"}},
     nullptr,
     kHomeDirs,
     "@/xdg"},
    {"XDG_DESKTOP_DIR before user-dirs.dirs",
     {{"XDG_DESKTOP_DIR", "@/xdg"}, {"HOME", "@/home"}},
     "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n",
     kHomeDirs,
     "@/xdg"},
    {"relative XDG_DESKTOP_DIR ignored",
     {{"XDG_DESKTOP_DIR", "xdg"}, {"HOME", "@/home"}},
     nullptr,
     kHomeDirs,
     "@/home/Desktop"},
    {"user-dirs.dirs $HOME form",
     {{"XDG_DESKTOP_DIR", "@/missing"}, {"HOME", "@/home"}},
     "# XDG_DESKTOP_DIR=\"$HOME/xdg\"\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
     "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n",
     kHomeDirs,
     "@/home/Bureau"},
    {"user-dirs.dirs absolute form in XDG_CONFIG_HOME",
     {{"XDG_CONFIG_HOME", "@/cfg"}, {"HOME", "@/home"}},
     "XDG_DESKTOP_DIR=\"@/abs\"\r\n",
     "cfg/user-dirs.dirs",
     "@/abs"},
    {"user-dirs.dirs: last line wins, shell quoting",
     {{"HOME", "@/home"}},
     "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_DESKTOP_DIR = \"$HOME/Bur\\eau\"",
     kHomeDirs,
     "@/home/Bureau"},
    {"user-dirs.dirs names a missing folder",
     {{"HOME", "@/home"}},
     "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n",
     kHomeDirs,
     "@/home/Desktop"},
    {"user-dirs.dirs: unquoted, relative, other key, unclosed",
     {{"HOME", "@/home"}},
     "XDG_DESKTOP_DIR=$HOME/Bureau\nXDG_DESKTOP_DIR=\"Bureau\"\nXDG_DESKTOP_DIRS=\"$HOME/Bureau\"\n"
     "XDG_DESKTOP_DIR=\"$HOME/Bureau\n",
     kHomeDirs,
     "@/home/Desktop"},
    {"$HOME/Desktop", {{"HOME", "@/home"}}, nullptr, kHomeDirs, "@/home/Desktop"},
    {"no folder anywhere",
     {{"VIGILO_COMMON_DESKTOP", "@/file"}, {"XDG_DESKTOP_DIR", "@/missing"}, {"HOME", "@/nohome"}},
     nullptr,
     kHomeDirs,
     nullptr},
    {"no variable at all", {}, nullptr, kHomeDirs, nullptr},
};

std::string Expand(const std::string& text, const std::string& root) {
  std::string out;
  for (char c : text) out += c == '@' ? root : std::string(1, c);
  return out;
}

TEST(DesktopFolderTest, ChoiceFollowsTheEnvironment) {
  TempFolder temp;
  const std::string root = temp.Path();
  for (const char* dir :
       {"common", "xdg", "abs", "home/Desktop", "home/Bureau", "home/.config", "cfg"}) {
    fs::create_directories(temp.File(dir));
  }
  temp.Write("file", "not a folder");

  for (const DesktopCase& c : kDesktopCases) {
    SCOPED_TRACE(c.name);
    for (const char* file : {kHomeDirs, "cfg/user-dirs.dirs"}) fs::remove(temp.File(file));
    if (c.userDirs) temp.Write(c.userDirsFile, Expand(c.userDirs, root));
    EnvironmentLookup env = [&](const std::string& name) {
      auto it = c.env.find(name);
      return it == c.env.end() ? std::string() : Expand(it->second, root);
    };
    if (c.expected) {
      EXPECT_EQ(DesktopFolder(env), Expand(c.expected, root));
    } else {
      try {
        DesktopFolder(env);
        ADD_FAILURE() << "no error";
      } catch (const SystemError& e) {
        EXPECT_EQ(e.Code(), kErrorPathNotFound);
        EXPECT_NE(std::string(e.what()).find("desktop"), std::string::npos) << e.what();
      }
    }
  }
}

// ---- Shell link file ----

uint32_t U32(const std::string& d, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d.at(at + i));
  return v;
}
uint16_t U16(const std::string& d, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(d.at(at)) |
                               static_cast<unsigned char>(d.at(at + 1)) << 8);
}
uint64_t U64(const std::string& d, size_t at) {
  return U32(d, at) | (static_cast<uint64_t>(U32(d, at + 4)) << 32);
}

// A counted UTF-16 string of the string data at `at`; `at` moves past it.
std::u16string CountedString(const std::string& d, size_t& at) {
  std::u16string s;
  uint16_t count = U16(d, at);
  at += 2;
  for (uint16_t i = 0; i < count; ++i, at += 2) s.push_back(static_cast<char16_t>(U16(d, at)));
  return s;
}

const ShellLinkTargetFacts kFacts = {kFileAttributeNormal, 0x0102030405060708, 0x1112131415161718,
                                     0x2122232425262728,   0x11223344,         0xCAFEBABE};

struct LinkCase {
  const char* description;
  const char* arguments;
  // HasLinkInfo 0x02 and IsUnicode 0x80, with HasName 0x04, HasWorkingDir 0x10,
  // HasArguments 0x20 and HasIconLocation 0x40 for the texts that are not empty.
  uint32_t flags;
};

TEST(ShellLinkTest, BytesFollowTheFormat) {
  const LinkCase cases[] = {
      {"Alert report \x80", "", 0xD6},  // the euro sign in cp1252
      {"Alert report \x80", "--open now", 0xF6},
      {"", "--open now", 0xF2},
  };
  for (LinkCase c : cases) {
    SCOPED_TRACE(c.arguments);
    ShellLink link;
    link.Description = c.description;
    link.Target = "/srv/Reports/r\xE9sum\xE9.html";
    link.Arguments = c.arguments;
    link.WorkingDir = "/srv/Reports";
    link.IconFile = "/srv/report.ico";
    link.IconIndex = -2;
    const std::string d = EncodeShellLink(link, kFacts);

    EXPECT_EQ(U32(d, 0), 0x4Cu) << "header size";
    const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    EXPECT_EQ(d.substr(4, 16), std::string(reinterpret_cast<const char*>(clsid), 16));
    EXPECT_EQ(U32(d, 20), c.flags);
    EXPECT_EQ(U32(d, 24), 0x80u);
    EXPECT_EQ(U64(d, 28), kFacts.CreationTime);
    EXPECT_EQ(U64(d, 36), kFacts.AccessTime);
    EXPECT_EQ(U64(d, 44), kFacts.WriteTime);
    EXPECT_EQ(U32(d, 52), 0x11223344u);
    EXPECT_EQ(U32(d, 56), 0xFFFFFFFEu) << "icon index -2";
    EXPECT_EQ(U32(d, 60), 1u) << "SW_SHOWNORMAL";
    EXPECT_EQ(d.substr(64, 12), std::string(12, '\0')) << "no hot key, reserved fields zero";

    // Link info: the volume and the target as local base path, 8-bit and UTF-16.
    const size_t info = 0x4C;
    const uint32_t infoSize = U32(d, info);
    ASSERT_GE(U32(d, info + 4), 0x24u) << "with the Unicode offsets";
    EXPECT_EQ(U32(d, info + 8), 1u) << "VolumeIDAndLocalBasePath";
    const size_t volume = info + U32(d, info + 12);
    EXPECT_GT(U32(d, volume), 0x10u);
    EXPECT_EQ(U32(d, volume + 4), 3u) << "DRIVE_FIXED";
    EXPECT_EQ(U32(d, volume + 8), 0xCAFEBABEu);
    EXPECT_EQ(std::string(d.c_str() + info + U32(d, info + 16)), link.Target);
    EXPECT_EQ(std::string(d.c_str() + info + U32(d, info + 24)), "") << "common path suffix";
    size_t wide = info + U32(d, info + 28);
    EXPECT_EQ(U16(d, wide + 2 * 14), 0xE9u) << "é of the UTF-16 path";
    EXPECT_EQ(U16(d, wide + 2 * link.Target.size()), 0u);

    size_t at = info + infoSize;
    if (*c.description) {
      EXPECT_EQ(CountedString(d, at), u"Alert report \u20AC");
    }
    EXPECT_EQ(CountedString(d, at), u"/srv/Reports");
    if (*c.arguments) {
      EXPECT_EQ(CountedString(d, at), u"--open now");
    }
    EXPECT_EQ(CountedString(d, at), u"/srv/report.ico");
    EXPECT_EQ(d.size(), at + 4) << "the terminal block ends the file";
    EXPECT_EQ(U32(d, at), 0u);
  }
}

TEST(ShellLinkTest, TextsTheFormatCannotHoldAreRefused) {
  struct {
    std::string description;
    bool accepted;
  } cases[] = {
      {std::string(65535, 'x'), true},
      {std::string(65536, 'x'), false},
      {std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) {
    ShellLink link;
    link.Target = "/t";
    link.Description = c.description;
    if (c.accepted) {
      EXPECT_NO_THROW(EncodeShellLink(link, {}));
    } else {
      try {
        EncodeShellLink(link, {});
        ADD_FAILURE() << "accepted " << c.description.size() << " bytes";
      } catch (const SystemError& e) {
        EXPECT_EQ(e.Code(), kErrorInvalidParameter);
      }
    }
  }
}

TEST(ShellLinkTest, TargetFactsComeFromTheFile) {
  TempFolder temp;
  const std::string file = temp.Write("report.html", std::string(300, 'r'));
  // 2024-01-02 03:04:05.123456789 UTC.
  const timespec times[2] = {{1704164645, 123456789}, {1704164645, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  ShellLinkTargetFacts facts = ReadShellLinkTargetFacts(file);
  EXPECT_EQ(facts.Attributes, kFileAttributeNormal);
  EXPECT_EQ(facts.WriteTime, 133486382451234567u) << "100 ns steps since 1601";
  EXPECT_EQ(facts.AccessTime, 133486382451234567u);
  EXPECT_EQ(facts.Size, 300u);

  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_EQ(ReadShellLinkTargetFacts(file).Attributes, kFileAttributeReadOnly);
  EXPECT_EQ(ReadShellLinkTargetFacts(temp.Path()).Attributes, kFileAttributeDirectory);

  facts = ReadShellLinkTargetFacts(temp.File("missing"));
  EXPECT_EQ(facts.Attributes, 0u);
  EXPECT_EQ(facts.WriteTime, 0u);
  EXPECT_EQ(facts.Size, 0u);
}

TEST(ShellLinkTest, WriteReplacesTheFileAndLeavesNothingElse) {
  TempFolder temp;
  ShellLink link;
  link.Target = temp.Write("report.html", "<html/>");
  link.Description = "Alert report";
  const std::string file = temp.Write("Alert_Report.lnk", "an older shortcut");

  WriteShellLink(file, link);
  EXPECT_EQ(testing_support::ReadFile(file),
            EncodeShellLink(link, ReadShellLinkTargetFacts(link.Target)));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(temp.Path())) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Alert_Report.lnk", "report.html"}));

  try {
    WriteShellLink(temp.File("missing/Alert_Report.lnk"), link);
    ADD_FAILURE() << "no error";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.Code(), kErrorFileNotFound);
    EXPECT_STREQ(e.what(), "The system cannot find the file specified");
  }
}

}  // namespace
