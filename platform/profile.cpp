#include "platform/profile.h"

#include <algorithm>
#include <filesystem>
#include <limits>

#include "platform/accounts.h"
#include "platform/ascii.h"
#include "platform/file.h"
#include "platform/syserror.h"

namespace platform {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Trim(std::string_view s) {
  return std::string(TrimBlanks(s));
}

bool HasLineBreakOrNul(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool ValidSectionName(const std::string& name) {
  return !HasLineBreakOrNul(name) && name.find(']') == std::string::npos;
}

bool ValidKeyName(const std::string& trimmed) {
  return !trimmed.empty() && !HasLineBreakOrNul(trimmed) &&
         trimmed.find('=') == std::string::npos && trimmed.front() != '[';
}

// A read trims the value and drops one pair of enclosing quotes; a value that
// this would change gets a pair of its own to lose.
std::string Protect(const std::string& value) {
  if (value.empty()) return value;
  if (IsBlank(value.front()) || IsBlank(value.back()) || EnclosedInQuotes(value)) {
    return '"' + value + '"';
  }
  return value;
}

// A value is cut to the longest value a read gives. (It already ends before
// its first NUL, as it would for the C profile functions: see Line.)
std::string Cut(std::string value) {
  if (value.size() > kProfileMaxValue) value.resize(kProfileMaxValue);
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseInteger(const std::string& text, int32_t& result) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  // The magnitude is gathered in 64 bits, one above INT32_MAX allowed, so that
  // INT32_MIN fits once the sign is applied.
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    int digit =
        base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) return false;
    value = value * base + digit;
    if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return false;
  result = static_cast<int32_t>(value);
  return true;
}

std::string LockKey(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return path;
  // The file may not exist yet: resolve what exists of the path.
  fs::path canonical = fs::weakly_canonical(p, ec);
  if (ec) return p.lexically_normal().string();
  return canonical.string();
}

}  // namespace

struct ProfileFile::Line {
  enum Kind { kOther, kSection, kKey };
  std::string text;  // the line as it stands, without its line end
  Kind kind = kOther;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed

  static Line FromText(std::string text) {
    Line line;
    line.text = std::move(text);
    const std::string& t = line.text;
    size_t first = 0;
    while (first < t.size() && IsBlank(t[first])) ++first;
    if (first < t.size() && t[first] == '[') {
      size_t close = t.find(']', first + 1);
      if (close != std::string::npos) {
        line.kind = kSection;
        line.name = Trim(t.substr(first + 1, close - first - 1));
        return line;
      }
    }
    size_t eq = t.find('=');
    if (eq != std::string::npos) {
      line.kind = kKey;
      line.name = Trim(t.substr(0, eq));
      // The value ends at a NUL before it is trimmed, so that what a read
      // gives has no blanks at its ends, as a save then writes it.
      std::string value = t.substr(eq + 1);
      value.resize(std::min(value.size(), value.find('\0')));
      line.value = Trim(value);
    }
    return line;
  }
};

std::unique_lock<std::mutex> LockSettingsFile(const std::string& path) {
  static std::mutex tableLock;
  // Never erased: a handful of settings files per process.
  static std::unordered_map<std::string, std::unique_ptr<std::mutex>> locks;
  std::mutex* fileLock;
  {
    std::lock_guard<std::mutex> guard(tableLock);
    auto& slot = locks[LockKey(path)];
    if (!slot) slot = std::make_unique<std::mutex>();
    fileLock = slot.get();
  }
  return std::unique_lock<std::mutex>(*fileLock);
}

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {
  auto lock = LockSettingsFile(path_);
  Read(lock);
}

ProfileFile::ProfileFile(std::string path, const std::unique_lock<std::mutex>& held)
    : path_(std::move(path)) {
  Read(held);
}

ProfileFile::ProfileFile(std::string path, const std::string& text) : path_(std::move(path)) {
  Parse(text);
}

void ProfileFile::Read([[maybe_unused]] const std::unique_lock<std::mutex>& held) {
  std::string data;
  const uint32_t rc = ReadWholeFile(path_, data, kProfileMaxFileSize);
  if (rc == kErrorFileNotFound || rc == kErrorPathNotFound) return;
  if (rc != kErrorSuccess) throw ProfileError("Unable to read " + path_);
  Parse(data);
}

void ProfileFile::Parse(const std::string& data) {
  // A lone CR ends a line too, so that no value read can hold a line break.
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find_first_of("\r\n", start);
    if (end == std::string::npos) end = data.size();
    lines_.push_back(Line::FromText(data.substr(start, end - start)));
    if (end == data.size()) break;
    start = end + 1;
    if (data[end] == '\r' && start < data.size() && data[start] == '\n') ++start;
  }
}

ProfileFile::~ProfileFile() = default;

size_t ProfileFile::FindSection(const std::string& section) const {
  if (!sectionsValid_) {
    sections_.clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].kind == Line::kSection) sections_.emplace(AsciiLowerCase(lines_[i].name), i);
    }
    sectionsValid_ = true;
  }
  auto it = sections_.find(AsciiLowerCase(Trim(section)));
  return it == sections_.end() ? std::string::npos : it->second;
}

size_t ProfileFile::FindKey(size_t header, const std::string& key) const {
  for (size_t i = header + 1; i < lines_.size() && lines_[i].kind != Line::kSection; ++i) {
    if (lines_[i].kind == Line::kKey && AsciiEqualNoCase(lines_[i].name, key)) return i;
  }
  return std::string::npos;
}

const std::string* ProfileFile::Find(const std::string& section, const std::string& key) const {
  std::string name = Trim(key);
  if (!ValidSectionName(section) || !ValidKeyName(name)) return nullptr;
  size_t header = FindSection(section);
  if (header == std::string::npos) return nullptr;
  size_t at = FindKey(header, name);
  return at == std::string::npos ? nullptr : &lines_[at].value;
}

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& def) const {
  const std::string* value = Find(section, key);
  return value ? Cut(std::string(StripQuotes(*value))) : def;
}

std::string ProfileFile::ReadRawString(const std::string& section, const std::string& key,
                                       const std::string& def) const {
  const std::string* value = Find(section, key);
  return value ? Cut(*value) : def;
}

int32_t ProfileFile::ReadInteger(const std::string& section, const std::string& key,
                                 int32_t def) const {
  const std::string* value = Find(section, key);
  if (!value) return def;
  int32_t result;
  return ParseInteger(Cut(std::string(StripQuotes(*value))), result) ? result : def;
}

bool ProfileFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool ProfileFile::SectionExists(const std::string& section) const {
  return ValidSectionName(section) && FindSection(section) != std::string::npos;
}

std::vector<std::string> ProfileFile::SectionNames() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Line::kSection && FindSection(lines_[i].name) == i) {
      names.push_back(lines_[i].name);
    }
  }
  return names;
}

bool ProfileFile::ValueExists(const std::string& section, const std::string& key) const {
  return Find(section, key) != nullptr;
}

void ProfileFile::Changed(bool structure) {
  modified_ = true;
  if (structure) sectionsValid_ = false;
}

void ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
  Write(section, key, Protect(value));
}

void ProfileFile::WriteRawString(const std::string& section, const std::string& key,
                                 const std::string& value) {
  Write(section, key, value);
}

void ProfileFile::Write(const std::string& section, const std::string& key,
                        const std::string& value) {
  std::string sectionName = Trim(section);
  std::string keyName = Trim(key);
  if (!ValidSectionName(sectionName) || !ValidKeyName(keyName) || HasLineBreakOrNul(value)) {
    throw ProfileError("Unable to write to " + path_);
  }
  Line line;
  line.kind = Line::kKey;
  line.value = Trim(value);
  size_t header = FindSection(sectionName);
  if (header != std::string::npos) {
    size_t at = FindKey(header, keyName);
    if (at != std::string::npos) {
      // Keep the file's spelling of the key.
      line.name = lines_[at].name;
      line.text = line.name + "=" + value;
      if (line.text == lines_[at].text) return;
      lines_[at] = std::move(line);
      Changed(false);
      return;
    }
    line.name = keyName;
    line.text = keyName + "=" + value;
    size_t end = header + 1;
    while (end < lines_.size() && lines_[end].kind != Line::kSection) ++end;
    while (end > header + 1 && Trim(lines_[end - 1].text).empty()) --end;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end), std::move(line));
    Changed(true);
    return;
  }
  if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back(Line{});
  Line head;
  head.kind = Line::kSection;
  head.name = sectionName;
  head.text = "[" + sectionName + "]";
  lines_.push_back(std::move(head));
  line.name = keyName;
  line.text = keyName + "=" + value;
  lines_.push_back(std::move(line));
  Changed(true);
}

void ProfileFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void ProfileFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void ProfileFile::EraseSection(const std::string& section) {
  std::string name = Trim(section);
  if (!ValidSectionName(name)) throw ProfileError("Unable to write to " + path_);
  std::vector<Line> kept;
  kept.reserve(lines_.size());
  bool erasing = false;
  bool erased = false;
  for (Line& line : lines_) {
    if (line.kind == Line::kSection) erasing = AsciiEqualNoCase(line.name, name);
    if (erasing) {
      erased = true;
      continue;
    }
    kept.push_back(std::move(line));
  }
  lines_ = std::move(kept);
  if (erased) Changed(true);
}

namespace {

uint32_t ReplaceLocked(const std::string& path, const std::string& data) {
  return FileIsReadOnly(path) ? kErrorAccessDenied
                              : WriteFileAtomic(path, data, SettingsFileMode());
}

}  // namespace

NewFileMode SettingsFileMode() {
  if (std::optional<gid_t> group = AdminGroupId()) return {0640, group};
  return kPrivateFile;
}

uint32_t ReplaceSettingsFile(const std::string& path, const std::string& data) {
  auto lock = LockSettingsFile(path);
  return ReplaceLocked(path, data);
}

void ProfileFile::Flush() {
  if (!modified_) return;
  if (ReplaceSettingsFile(path_, Text()) != kErrorSuccess) {
    throw ProfileError("Unable to write to " + path_);
  }
  modified_ = false;
}

void UpdateProfileFile(const std::string& path, const std::function<void(ProfileFile&)>& edit) {
  auto lock = LockSettingsFile(path);
  ProfileFile file(path, lock);
  edit(file);
  if (!file.modified_) return;
  if (ReplaceLocked(path, file.Text()) != kErrorSuccess) {
    throw ProfileError("Unable to write to " + path);
  }
  file.modified_ = false;
}

std::string ProfileFile::Text() const {
  std::string text;
  for (const Line& line : lines_) {
    text += line.text;
    text += "\r\n";
  }
  return text;
}

}  // namespace platform
