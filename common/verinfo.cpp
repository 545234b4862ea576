#include "common/verinfo.h"

#include <cstdio>
#include <exception>
#include <optional>

#include "platform/process.h"
#include "platform/verres.h"

TVersionInfo::TVersionInfo(const std::string& FileName, const std::string& LangCharset)
    : FileName_(FileName.empty() ? platform::ExecutablePath() : FileName),
      LangCharset_(LangCharset) {
  ReadVersionInfo();
}

void TVersionInfo::ReadVersionInfo() {
  try {
    std::optional<platform::VersionResource> resource =
        platform::VersionResource::ReadFromFile(FileName_);
    if (!resource) return;

    // The flags mask is not applied: a flag set in the file counts.
    const platform::FixedFileInfo& fixed = resource->Fixed();
    Major_ = fixed.Major;
    Minor_ = fixed.Minor;
    Release_ = fixed.Release;
    Build_ = fixed.Build;
    Debug_ = (fixed.FileFlags & platform::kVersionFlagDebug) != 0;
    PreRelease_ = (fixed.FileFlags & platform::kVersionFlagPreRelease) != 0;

    if (LangCharset_.empty() && !resource->Translations().empty()) {
      const platform::VersionTranslation& first = resource->Translations().front();
      char key[9];
      std::snprintf(key, sizeof key, "%4.4X%4.4X", first.Language, first.CodePage);
      LangCharset_ = key;
    }
    if (LangCharset_.empty()) return;

    // Each text is a zero-terminated string: whatever follows a zero is not part of it.
    auto text = [&](const char* name, std::string& field) {
      std::optional<std::string> value = resource->StringValue(LangCharset_, name);
      if (value) field = value->substr(0, value->find('\0'));
    };
    text("FileDescription", FileDescription_);
    text("LegalCopyright", LegalCopyright_);
    text("Comments", Comments_);
  } catch (const std::exception&) {
    // A version that cannot be read is no error of the program's.
  }
}

std::string TVersionInfo::GetVersionString(int32_t Parts) const {
  std::string s = std::to_string(Major_);
  if (Parts >= 1) s += "." + std::to_string(Minor_);
  if (Parts >= 2) s += "." + std::to_string(Release_);
  if (Parts >= 3) s += "." + std::to_string(Build_);
  return s;
}
