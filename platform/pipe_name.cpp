#include <string>

#include "platform/ascii.h"
#include "platform/file.h"
#include "platform/named_pipe.h"
#include "platform/syserror.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

bool ValidPipeName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.find("..") == std::string::npos;
}

}  // namespace

uint32_t PipeSocketPathIn(const std::string& runtimeDir, const std::string& name,
                          std::string& path) {
  if (!ValidPipeName(name)) return kErrorInvalidName;
  path = JoinPath(JoinPath(runtimeDir, "pipe"), AsciiLowerCase(name));
  return kErrorSuccess;
}

uint32_t PipeSocketPath(const std::string& name, std::string& path) {
  return PipeSocketPathIn(RuntimeDir(), name, path);
}

uint32_t SplitPipePath(const std::string& pipePath, std::string& machine, std::string& name) {
  if (pipePath.size() < 2 || pipePath[0] != '\\' || pipePath[1] != '\\') return kErrorInvalidName;
  size_t hostEnd = pipePath.find('\\', 2);
  if (hostEnd == std::string::npos || hostEnd == 2) return kErrorInvalidName;
  size_t kindEnd = pipePath.find('\\', hostEnd + 1);
  if (kindEnd == std::string::npos ||
      !AsciiEqualNoCase(pipePath.substr(hostEnd + 1, kindEnd - hostEnd - 1), "pipe")) {
    return kErrorInvalidName;
  }
  std::string rest = pipePath.substr(kindEnd + 1);
  if (!ValidPipeName(rest)) return kErrorInvalidName;
  machine = pipePath.compare(2, hostEnd - 2, ".") == 0 ? "" : pipePath.substr(2, hostEnd - 2);
  name = rest;
  return kErrorSuccess;
}

uint32_t LocalPipeName(const std::string& pipePath, std::string& name) {
  std::string machine;
  std::string rest;
  if (uint32_t rc = SplitPipePath(pipePath, machine, rest)) return rc;
  if (!machine.empty()) return kErrorBadNetPath;
  name = rest;
  return kErrorSuccess;
}

}  // namespace platform
