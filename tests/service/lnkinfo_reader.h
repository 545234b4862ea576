// A shortcut file as Debian's lnkinfo (liblnk-utils) reads it: an independent
// reader of the shell link format.
#pragma once

#include <sys/wait.h>
#include <cstdio>
#include <map>
#include <string>

namespace testing_support {

struct LnkInfo {
  int exitStatus = -1;
  // "Local path", "Description", "Working directory", "Command line arguments",
  // "Icon location", "Icon index", "Modification time"... as lnkinfo prints them.
  std::map<std::string, std::string> fields;
  std::string output;
};

inline LnkInfo ReadWithLnkinfo(const std::string& path) {
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  LnkInfo info;
  FILE* pipe = ::popen(("lnkinfo " + quoted + " 2>&1").c_str(), "r");
  if (!pipe) return info;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) info.output.append(buffer, n);
  int status = ::pclose(pipe);
  info.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // Field lines are "\tName\t\t: value"; the name holds no colon.
  size_t start = 0;
  while (start < info.output.size()) {
    size_t end = info.output.find('\n', start);
    if (end == std::string::npos) end = info.output.size();
    std::string line = info.output.substr(start, end - start);
    start = end + 1;
    size_t colon = line.find(':');
    if (line.empty() || line[0] != '\t' || colon == std::string::npos) continue;
    std::string name = line.substr(1, line.find('\t', 1) - 1);
    std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
    info.fields[name] = value;
  }
  return info;
}

}  // namespace testing_support
