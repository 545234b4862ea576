// Profile (INI) files, with the rules the settings files rely on.
//
// A ProfileFile reads its file once, when it is opened, and applies reads and
// writes to that copy in memory. Flush() writes the file once, atomically
// (platform/file WriteFileAtomic), and only when something changed.
//
// Rules:
// - "[name]" opens a section; "key=value" is a value. Section and key names
//   match without regard to ASCII case and with the blanks around them
//   trimmed; the first occurrence of a section or key wins.
// - A read gives the default when the file, section or key is missing. It
//   gives at most 2047 characters, and drops one pair of enclosing quotes
//   (double or single, the same character at both ends); ReadRawString keeps
//   them.
// - Integers are decimal, or hexadecimal after "0x", "0X" or "$"; a value that
//   is no integer (or does not fit 32 bits) gives the default. A Boolean is an
//   integer, any value but 0 being true.
// - Lines end in LF or CR LF when read; CR LF when written. Lines and keys the
//   program does not change stay where they are, byte for byte.
// - A write replaces an existing key's value where it stands, adds a missing
//   key at the end of its section (before trailing blank lines) and a missing
//   section at the end of the file. EraseSection removes a section with all
//   its keys.
// - A value or name holding CR, LF or NUL, and a section name holding "]",
//   is refused: the write throws ProfileError and nothing changes.
// - Flush failures throw ProfileError "Unable to write to <file name>".
//
// Locking: the file's process-wide lock (LockSettingsFile) is held while the
// file is read in the constructor and while Flush replaces it, so that other
// users of the same lock (the control pipe) never see or make a half state.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The process-wide lock of the settings file `path`: one mutex per file,
// found by the file's absolute path.
std::unique_lock<std::mutex> LockSettingsFile(const std::string& path);

class ProfileFile {
 public:
  // Reads `path`; a missing file gives an empty profile. A file that exists but
  // cannot be read throws ProfileError "Unable to read <path>".
  explicit ProfileFile(std::string path);
  ~ProfileFile();
  ProfileFile(const ProfileFile&) = delete;
  ProfileFile& operator=(const ProfileFile&) = delete;

  const std::string& FileName() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  std::string ReadRawString(const std::string& section, const std::string& key,
                            const std::string& def) const;
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void EraseSection(const std::string& section);

  bool Modified() const { return modified_; }
  // Writes the file when it was modified. Throws ProfileError.
  void Flush();

  // The file's text as it would be written now (CR LF line ends).
  std::string Text() const;

 private:
  struct Line;
  std::string path_;
  std::vector<Line> lines_;
  bool modified_ = false;
};

}  // namespace platform
