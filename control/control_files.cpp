#include "control/control_files.h"

#include "common/exceptions.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"

std::string ControlConfigFolder(const TEnvironmentLookup& env) {
  // The XDG base-directory rules ignore a relative XDG_CONFIG_HOME.
  std::string base = env("XDG_CONFIG_HOME");
  if (base.empty() || base.front() != '/') {
    const std::string home = env("HOME");
    if (home.empty()) {
      throw Exception("No configuration folder: neither XDG_CONFIG_HOME nor HOME is set");
    }
    base = platform::JoinPath(home, ".config");
  }
  return platform::JoinPath(base, "vigilo") + "/";
}

std::string ControlConfigFolder() {
  return ControlConfigFolder(platform::GetEnvironmentVariable);
}

std::string ControlLogFile(const std::string& configFolder) {
  return platform::JoinPath(configFolder, "debug.txt");
}

void PrepareConfigFolder(const std::string& folder) {
  if (uint32_t rc = platform::CreateDirectories(folder, kConfigFolderMode)) {
    throw Exception("Cannot create the folder \"" + folder + "\". " +
                    platform::SystemErrorText(rc));
  }
}

std::string FallbackRuntimeFolder(const std::string& configFolder) {
  return platform::JoinPath(configFolder, "run");
}

void PrepareRuntimeFolder(const std::string& configFolder) {
  const std::string session = platform::GetEnvironmentVariable("XDG_RUNTIME_DIR");
  // Qt ignores a relative XDG_RUNTIME_DIR, as the XDG base-directory rules
  // ask, and refuses a link, a folder that others may enter, and another
  // user's folder (a session's, kept across su).
  if (!session.empty() && session.front() == '/' && platform::IsPrivateFolder(session)) return;
  const std::string folder = FallbackRuntimeFolder(configFolder);
  PrepareConfigFolder(folder);
  if (!platform::SetEnvironmentVariable("XDG_RUNTIME_DIR", folder)) {
    throw Exception("Cannot set XDG_RUNTIME_DIR to \"" + folder + "\"");
  }
}
