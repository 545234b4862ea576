// Profile (INI) files, with the rules the settings files rely on.
//
// A ProfileFile reads its file once, when it is opened, and applies reads and
// writes to that copy in memory. Flush() writes the file once, atomically
// (platform/file WriteFileAtomic), and only when something changed; nothing is
// written before Flush(), and the destructor never writes.
//
// Rules:
// - A line whose first non-blank character is "[" and that holds "]" opens the
//   section named by the text between them; a line holding "=" is a key with
//   the text before the first "=" as its name and the text after it as its
//   value. Names and values have the blanks (spaces, tabs) around them
//   trimmed. Other lines, and lines before the first section, are kept but
//   never read. Section and key names match without regard to ASCII case;
//   the first occurrence of a section or key wins.
// - A read gives the default when the file, section or key is missing. It
//   gives at most 2047 characters, and drops one pair of enclosing quotes
//   (double or single, the same character at both ends) before it cuts;
//   ReadRawString keeps them.
// - Integers are decimal, or hexadecimal after "0x", "0X" or "$", with an
//   optional sign; a value that is no integer (or does not fit 32 signed bits)
//   gives the default. A Boolean is an integer, any value but 0 being true.
// - Lines end in LF, CR LF or a lone CR when read (so no value read holds a
//   line break); CR LF when written. A value read ends at a NUL. Lines and
//   keys the program does not change stay where they are, byte for byte.
// - A write replaces an existing key's value where it stands, adds a missing
//   key at the end of its section (before trailing blank lines) and a missing
//   section at the end of the file (after one blank line). Writing the value a
//   key already has changes nothing. WriteString puts a value that a read
//   would change in double quotes, so that ReadString gives it back;
//   WriteRawString stores it as it is. EraseSection removes every section of
//   that name with all its lines.
// - A name or value holding CR, LF or NUL, a section name holding "]", and a
//   key name that is empty, holds "=" or begins with "[" are refused: the
//   write throws ProfileError "Unable to write to <file name>" and nothing
//   changes. Reads of such names give the default.
// - Flush failures throw ProfileError "Unable to write to <file name>"; the
//   old file then stays whole. A new file gets SettingsFileMode(). A read-only file (platform/file
//   FileIsReadOnly) is not replaced.
//
// Locking: the file's process-wide lock (LockSettingsFile) is held while the
// file is read in the constructor and while Flush replaces it, so that other
// users of the same lock (the control pipe) never see or make a half state.
// The lock is not recursive: do not open or flush a ProfileFile on a file
// whose lock the thread holds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file.h"

namespace platform {

class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The longest value a read gives.
constexpr size_t kProfileMaxValue = 2047;
// The largest file a profile reads; far above any settings file.
constexpr size_t kProfileMaxFileSize = 16 * 1024 * 1024;

// The process-wide lock of the settings file `path`: one mutex per file,
// found by the file's absolute path (symbolic links of its folder resolved).
std::unique_lock<std::mutex> LockSettingsFile(const std::string& path);

// What a new settings file is created with: the settings hold passwords, so
// 0640 to the administrators' group (AdminGroupId) when it exists, else 0600.
// An existing file keeps the mode an administrator gave it.
NewFileMode SettingsFileMode();

// Replaces the settings file `path` by `data` under its lock, atomically
// (WriteFileAtomic; a new file gets SettingsFileMode()). A read-only file (FileIsReadOnly) is
// refused with kErrorAccessDenied, as a write to it would be, though a rename would go through.
// Returns 0 or the error code.
uint32_t ReplaceSettingsFile(const std::string& path, const std::string& data);

class ProfileFile;

// Reads `path`, hands the profile to `edit` and writes it back when `edit`
// changed it, all under the file's lock: nobody replaces the file between the
// read and the write. `edit` must not open or flush a ProfileFile on `path`.
// Throws ProfileError as the constructor and Flush do, and whatever `edit`
// throws (the file then stays as it was).
void UpdateProfileFile(const std::string& path, const std::function<void(ProfileFile&)>& edit);

class ProfileFile {
 public:
  // Reads `path`; a missing file gives an empty profile. A file that exists but
  // cannot be read, or is larger than kProfileMaxFileSize, throws ProfileError
  // "Unable to read <path>".
  explicit ProfileFile(std::string path);
  // A profile of `text`, as if read from `path`: nothing is read, and Flush
  // writes `path` as usual. For callers that must open the file themselves.
  ProfileFile(std::string path, const std::string& text);
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
  // The names of the file's sections in file order, each once (as its first
  // occurrence spells it).
  std::vector<std::string> SectionNames() const;
  bool ValueExists(const std::string& section, const std::string& key) const;

  // Throw ProfileError for a refused name or value (see the rules above).
  // ReadString gives back what WriteString wrote: a value that a read would
  // change (blanks at its ends, a pair of enclosing quotes) is stored in
  // double quotes.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Stores the value as it is, for ReadRawString.
  void WriteRawString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void EraseSection(const std::string& section);

  bool Modified() const { return modified_; }
  // Writes the file when it was modified. Throws ProfileError.
  void Flush();

  // The file's text as it would be written now (CR LF line ends).
  std::string Text() const;

 private:
  friend void UpdateProfileFile(const std::string&, const std::function<void(ProfileFile&)>&);
  struct Line;
  // Reads the file; the caller holds its lock.
  ProfileFile(std::string path, const std::unique_lock<std::mutex>& held);
  void Read(const std::unique_lock<std::mutex>& held);
  void Parse(const std::string& data);
  // Index of the first line of the first section named `section`, or npos.
  size_t FindSection(const std::string& section) const;
  // Index of the key line in the section that starts at `header`, or npos.
  size_t FindKey(size_t header, const std::string& key) const;
  // The raw (trimmed, quotes kept) value, or nullptr when missing.
  const std::string* Find(const std::string& section, const std::string& key) const;
  void Write(const std::string& section, const std::string& key, const std::string& value);
  void Changed(bool structure);

  std::string path_;
  std::vector<Line> lines_;
  bool modified_ = false;
  // Lower-case section name -> index of its first header line; rebuilt after
  // lines are inserted or removed.
  mutable std::unordered_map<std::string, size_t> sections_;
  mutable bool sectionsValid_ = false;
};

}  // namespace platform
