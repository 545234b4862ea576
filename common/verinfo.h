// The version information of an executable, read once when the object is
// created: the file version Major.Minor.Release.Build, the debug and
// pre-release flags, and three texts of its string table.
//
// The object never changes after its constructor, so any thread may read it
// while it exists.
#pragma once

#include <cstdint>
#include <string>

class TVersionInfo {
 public:
  // FileName empty: the running executable. LangCharset empty: the key of the
  // resource's first translation; otherwise the string-table key to use, eight
  // hexadecimal digits (language, then code page). Never throws for a missing,
  // unreadable or damaged file: the numbers stay 0, the flags false, the texts
  // empty and LangCharset as given.
  explicit TVersionInfo(const std::string& FileName = "", const std::string& LangCharset = "");
  virtual ~TVersionInfo() = default;

  // Reads the version information of FileName into the fields. A file without
  // it changes nothing; errors are swallowed, the fields read before keep
  // their values.
  void ReadVersionInfo();

  // Major, then ".Minor", ".Release" and ".Build" for Parts of at least 1, 2
  // and 3 (a negative Parts counts as 0, a larger one as 3): 2.5.0.17 with
  // Parts 1 gives "2.5".
  std::string GetVersionString(int32_t Parts) const;

  const std::string& FileName() const { return FileName_; }
  // Eight characters, upper-case hexadecimal letters, or empty when none is known.
  const std::string& LangCharset() const { return LangCharset_; }
  const std::string& Comments() const { return Comments_; }
  const std::string& LegalCopyright() const { return LegalCopyright_; }
  bool Debug() const { return Debug_; }
  const std::string& FileDescription() const { return FileDescription_; }
  bool PreRelease() const { return PreRelease_; }
  uint16_t Build() const { return Build_; }
  uint16_t Release() const { return Release_; }
  uint16_t Major() const { return Major_; }
  uint16_t Minor() const { return Minor_; }

 private:
  std::string FileName_;
  std::string LangCharset_;
  std::string Comments_;
  std::string LegalCopyright_;
  bool Debug_ = false;
  std::string FileDescription_;
  bool PreRelease_ = false;
  uint16_t Build_ = 0;
  uint16_t Release_ = 0;
  uint16_t Major_ = 0;
  uint16_t Minor_ = 0;
};
