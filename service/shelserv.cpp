#include "service/shelserv.h"

#include "common/Comserv.h"
#include "common/exceptions.h"
#include "platform/shell.h"
#include "platform/syserror.h"
#include "platform/text.h"

void GetDesktopFolder(uintptr_t /*Owner*/, std::string& Path) {
  std::string folder;
  try {
    folder = platform::DesktopFolder();
  } catch (const platform::SystemError& e) {
    throw Exception(e.what());
  }
  try {
    Path = PathFromDisk(folder);
  } catch (const Exception&) {
    // A folder cp1252 cannot spell is one the shell finds but cannot name.
  }
}

void CreateShortcut(const std::string& LinkFile, const std::string& Description,
                    const std::string& Target, const std::string& Arguments,
                    const std::string& WorkDir, const std::string& IconFile, int32_t IconIndex) {
  platform::ShellLink link;
  link.Description = Description;
  link.Target = Target;
  link.Arguments = Arguments;
  link.WorkingDir = WorkDir;
  link.IconFile = IconFile;
  link.IconIndex = IconIndex;
  try {
    platform::WriteShellLink(PathOnDisk(LinkFile), link);
  } catch (const platform::SystemError& e) {
    // The text may name a folder on disk, in UTF-8.
    throw Exception(platform::Utf8ToCp1252(e.what()));
  }
}
