#include "platform/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <optional>
#include <string_view>

#include "platform/file.h"
#include "platform/syserror.h"
#include "platform/text.h"

namespace platform {
namespace {

// ---- Desktop folders ----

// user-dirs.dirs is a short text; anything larger is not one.
constexpr size_t kUserDirsLimit = 64 * 1024;

// A relative path would depend on the current folder of the service.
bool NamesFolder(const std::string& path) {
  return !path.empty() && path.front() == '/' && DirectoryExists(path);
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
}

bool Consume(std::string_view& s, std::string_view prefix) {
  if (s.substr(0, prefix.size()) != prefix) return false;
  s.remove_prefix(prefix.size());
  return true;
}

// The folder that one line of user-dirs.dirs gives the desktop; nullopt for a
// line that sets something else or breaks the form XDG_DESKTOP_DIR="$HOME/Path"
// or XDG_DESKTOP_DIR="/Path". The file is meant to be sourced by a shell, so
// a backslash quotes the character after it.
std::optional<std::string> DesktopLineValue(std::string_view line, const std::string& home) {
  SkipBlanks(line);
  if (!Consume(line, "XDG_DESKTOP_DIR")) return std::nullopt;
  SkipBlanks(line);
  if (!Consume(line, "=")) return std::nullopt;
  SkipBlanks(line);
  if (!Consume(line, "\"")) return std::nullopt;
  std::string value;
  bool closed = false;
  for (size_t i = 0; i < line.size() && !closed; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      value += line[++i];
    } else if (line[i] == '"') {
      closed = true;
    } else {
      value += line[i];
    }
  }
  if (!closed) return std::nullopt;
  std::string_view rest = value;
  if (Consume(rest, "$HOME") && (rest.empty() || rest.front() == '/')) {
    if (home.empty()) return std::nullopt;
    return home + std::string(rest);
  }
  if (!value.empty() && value.front() == '/') return value;
  return std::nullopt;
}

// The desktop that user-dirs.dirs names; "" when it names none. Like a shell
// sourcing the file, the last line that sets it wins.
std::string UserDirsDesktop(const EnvironmentLookup& env) {
  const std::string home = env("HOME");
  std::string configDir = env("XDG_CONFIG_HOME");
  if (configDir.empty() || configDir.front() != '/') {
    if (home.empty()) return "";
    configDir = JoinPath(home, ".config");
  }
  std::string text;
  if (ReadWholeFile(JoinPath(configDir, "user-dirs.dirs"), text, kUserDirsLimit) != 0) return "";
  std::string desktop;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto value = DesktopLineValue(line, home)) desktop = *value;
    start = end + 1;
  }
  return desktop;
}

// ---- Shell link file ----
// Offsets and values from the published description of the format. Every
// integer is little-endian.

constexpr size_t kHeaderSize = 0x4C;
constexpr size_t kClsidOffset = 4;
constexpr size_t kLinkFlagsOffset = 20;
constexpr size_t kFileAttributesOffset = 24;
constexpr size_t kCreationTimeOffset = 28;
constexpr size_t kAccessTimeOffset = 36;
constexpr size_t kWriteTimeOffset = 44;
constexpr size_t kFileSizeOffset = 52;
constexpr size_t kIconIndexOffset = 56;
constexpr size_t kShowCommandOffset = 60;
constexpr size_t kHotKeyOffset = 64;
static_assert(kHotKeyOffset + 2 + 2 + 4 + 4 == kHeaderSize, "hot key, then three reserved fields");

// CLSID 00021401-0000-0000-C000-000000000046 in its stored byte order.
constexpr std::array<uint8_t, 16> kShellLinkClsid = {
    0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

enum : uint32_t {
  kHasLinkInfo = 0x02,
  kHasName = 0x04,
  kHasWorkingDir = 0x10,
  kHasArguments = 0x20,
  kHasIconLocation = 0x40,
  kIsUnicode = 0x80,
};

constexpr uint32_t kShowNormal = 1;

// Link info with the optional Unicode offsets: nine 32-bit fields.
constexpr uint32_t kLinkInfoHeaderSize = 0x24;
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x01;
// Volume id: size, drive type, serial number, label offset, then the label.
constexpr uint32_t kVolumeIdHeaderSize = 0x10;
constexpr uint32_t kDriveFixed = 3;

// The format counts string lengths in 16 bits.
constexpr size_t kMaxStringUnits = 0xFFFF;

void PutAt(std::string& out, size_t offset, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Append(std::string& out, uint64_t value, size_t bytes) {
  out.append(bytes, '\0');
  PutAt(out, out.size() - bytes, value, bytes);
}

void AppendUtf16(std::string& out, const std::u16string& text) {
  for (char16_t unit : text) Append(out, unit, 2);
}

void CheckText(const std::string& text) {
  // Each cp1252 byte is one UTF-16 unit.
  if (text.size() > kMaxStringUnits || text.find('\0') != std::string::npos) {
    throw SystemError(kErrorInvalidParameter);
  }
}

std::string Header(uint32_t flags, const ShellLinkTargetFacts& facts, int32_t iconIndex) {
  std::string header(kHeaderSize, '\0');
  PutAt(header, 0, kHeaderSize, 4);
  for (size_t i = 0; i < kShellLinkClsid.size(); ++i) {
    header[kClsidOffset + i] = static_cast<char>(kShellLinkClsid[i]);
  }
  PutAt(header, kLinkFlagsOffset, flags, 4);
  PutAt(header, kFileAttributesOffset, facts.Attributes, 4);
  PutAt(header, kCreationTimeOffset, facts.CreationTime, 8);
  PutAt(header, kAccessTimeOffset, facts.AccessTime, 8);
  PutAt(header, kWriteTimeOffset, facts.WriteTime, 8);
  PutAt(header, kFileSizeOffset, facts.Size, 4);
  PutAt(header, kIconIndexOffset, static_cast<uint32_t>(iconIndex), 4);
  PutAt(header, kShowCommandOffset, kShowNormal, 4);
  return header;
}

// The link info: the target as the local base path on a fixed volume, in the
// 8-bit code page and in UTF-16, with an empty common path suffix.
std::string LinkInfo(const std::string& target, uint32_t volumeSerial) {
  std::string volume;
  Append(volume, kVolumeIdHeaderSize + 1, 4);
  Append(volume, kDriveFixed, 4);
  Append(volume, volumeSerial, 4);
  Append(volume, kVolumeIdHeaderSize, 4);  // the label follows the header
  volume.push_back('\0');                  // an empty label

  const std::u16string wideTarget = Cp1252ToUtf16(target);
  const uint32_t volumeOffset = kLinkInfoHeaderSize;
  const uint32_t basePathOffset = volumeOffset + static_cast<uint32_t>(volume.size());
  const uint32_t suffixOffset = basePathOffset + static_cast<uint32_t>(target.size()) + 1;
  const uint32_t basePathUnicodeOffset = suffixOffset + 1;
  const uint32_t suffixUnicodeOffset =
      basePathUnicodeOffset + 2 * (static_cast<uint32_t>(wideTarget.size()) + 1);
  const uint32_t size = suffixUnicodeOffset + 2;

  std::string info;
  Append(info, size, 4);
  Append(info, kLinkInfoHeaderSize, 4);
  Append(info, kVolumeIdAndLocalBasePath, 4);
  Append(info, volumeOffset, 4);
  Append(info, basePathOffset, 4);
  Append(info, 0, 4);  // no network link
  Append(info, suffixOffset, 4);
  Append(info, basePathUnicodeOffset, 4);
  Append(info, suffixUnicodeOffset, 4);
  info += volume;
  info += target;
  info.push_back('\0');
  info.push_back('\0');  // the empty common path suffix
  AppendUtf16(info, wideTarget);
  Append(info, 0, 2);
  Append(info, 0, 2);  // the empty common path suffix
  return info;
}

void AppendStringData(std::string& out, const std::string& text) {
  const std::u16string wide = Cp1252ToUtf16(text);
  Append(out, wide.size(), 2);
  AppendUtf16(out, wide);
}

uint64_t FileTime(const struct statx_timestamp& t) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  if (t.tv_sec < -kSecondsFrom1601To1970) return 0;
  return static_cast<uint64_t>(t.tv_sec + kSecondsFrom1601To1970) * 10000000u + t.tv_nsec / 100;
}

}  // namespace

std::string CommonDesktopFolder(const EnvironmentLookup& env) {
  std::string common = env("VIGILO_COMMON_DESKTOP");
  return NamesFolder(common) ? WithoutTrailingSlash(common) : "";
}

std::string AccountDesktopFolder(const EnvironmentLookup& env) {
  if (std::string dir = env("XDG_DESKTOP_DIR"); NamesFolder(dir)) return WithoutTrailingSlash(dir);
  if (std::string dir = UserDirsDesktop(env); NamesFolder(dir)) return WithoutTrailingSlash(dir);
  if (std::string home = env("HOME"); !home.empty()) {
    if (std::string dir = JoinPath(home, "Desktop"); NamesFolder(dir)) return dir;
  }
  return "";
}

std::string DesktopFolder(const EnvironmentLookup& env) {
  if (std::string common = CommonDesktopFolder(env); !common.empty()) return common;
  if (std::string account = AccountDesktopFolder(env); !account.empty()) return account;
  // Short enough for the service's status line, which carries 127
  // characters; the manual page says where else the desktop is looked for.
  throw SystemError(kErrorPathNotFound, "No desktop folder: set VIGILO_COMMON_DESKTOP");
}

ShellLinkTargetFacts ReadShellLinkTargetFacts(const std::string& path) {
  ShellLinkTargetFacts facts;
  struct statx st;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return facts;
  if (S_ISDIR(st.stx_mode)) {
    facts.Attributes = kFileAttributeDirectory;
  } else {
    facts.Attributes = kFileAttributeNormal;
  }
  // Without any write bit the file stays read-only even for root.
  if ((st.stx_mode & 0222) == 0) {
    facts.Attributes = (facts.Attributes & ~kFileAttributeNormal) | kFileAttributeReadOnly;
  }
  // Not every file system keeps a birth time.
  if (st.stx_mask & STATX_BTIME) facts.CreationTime = FileTime(st.stx_btime);
  facts.AccessTime = FileTime(st.stx_atime);
  facts.WriteTime = FileTime(st.stx_mtime);
  facts.Size = static_cast<uint32_t>(st.stx_size);
  facts.VolumeSerial = static_cast<uint32_t>(makedev(st.stx_dev_major, st.stx_dev_minor));
  return facts;
}

std::string EncodeShellLink(const ShellLink& link, const ShellLinkTargetFacts& facts) {
  for (const std::string* text :
       {&link.Description, &link.Target, &link.Arguments, &link.WorkingDir, &link.IconFile}) {
    CheckText(*text);
  }
  // An empty text is left out with its flag, as the shell does: readers
  // (liblnk among them) refuse a string of length zero.
  const std::pair<uint32_t, const std::string*> strings[] = {
      {kHasName, &link.Description},
      {kHasWorkingDir, &link.WorkingDir},
      {kHasArguments, &link.Arguments},
      {kHasIconLocation, &link.IconFile},
  };
  uint32_t flags = kHasLinkInfo | kIsUnicode;
  for (const auto& [flag, text] : strings) {
    if (!text->empty()) flags |= flag;
  }

  std::string data = Header(flags, facts, link.IconIndex);
  data += LinkInfo(link.Target, facts.VolumeSerial);
  // The strings follow in the order the format fixes.
  for (const auto& [flag, text] : strings) {
    if (flags & flag) AppendStringData(data, *text);
  }
  Append(data, 0, 4);  // the terminal block ends the extra data
  return data;
}

void WriteShellLink(const std::string& linkFile, const ShellLink& link) {
  const std::string data =
      EncodeShellLink(link, ReadShellLinkTargetFacts(Cp1252ToUtf8(link.Target)));
  std::string why;
  if (uint32_t rc = WriteFileAtomic(linkFile, data, kPublicFile, &why)) throw SystemError(rc, why);
}

}  // namespace platform
