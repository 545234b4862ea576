// What the service's tests share: the log's texts and one exchange on one of
// the service's pipes.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "pipes/pipe_messages.h"
#include "platform/named_pipe.h"
#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace service_test {

// The log's lines (UTF-8) without their date and time.
inline std::vector<std::string> LogTexts(const std::string& path) {
  std::vector<std::string> texts;
  const std::string text = testing_support::ReadFile(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t tab = line.find('\t');
    texts.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    start = end + 1;
  }
  return texts;
}

struct PipeAnswer {
  uint32_t error = 0;
  std::vector<uint8_t> bytes;
};

// One request on the local pipe `pipe`: the header with `command` and
// `data`. A server makes its instances on its own thread just after it
// starts: with `waitForServer` a missing pipe is tried again for ten seconds.
inline PipeAnswer CallPipe(const std::string& pipe, const std::string& command,
                           const std::string& data = "", bool waitForServer = true) {
  std::vector<uint8_t> request(kPipeHeaderSize + data.size());
  EncodePipeHeader(MakePipeHeader(command, static_cast<uint32_t>(data.size())),
                   std::span<uint8_t, kPipeHeaderSize>(request.data(), kPipeHeaderSize));
  std::copy(data.begin(), data.end(), request.begin() + kPipeHeaderSize);
  PipeAnswer answer;
  answer.bytes.resize(kPipeBufferSize);
  uint32_t count = 0;
  for (int tries = 0;; ++tries) {
    answer.error = platform::CallNamedPipe(
        "\\\\.\\pipe\\" + pipe, request.data(), static_cast<uint32_t>(request.size()),
        answer.bytes.data(), static_cast<uint32_t>(answer.bytes.size()), count);
    if (!waitForServer || answer.error != platform::kErrorFileNotFound || tries == 1000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  answer.bytes.resize(answer.error == 0 ? count : 0);
  return answer;
}

// The status block of an "ANSGETSTATS" answer; none for a short answer.
inline std::optional<TAlrSrvStatusBlock> StatusOf(const PipeAnswer& answer) {
  if (answer.bytes.size() < kAnsGetStatsStatusOffset + kAlrSrvStatusBlockSize) return std::nullopt;
  return DecodeStatusBlock(std::span<const uint8_t, kAlrSrvStatusBlockSize>(
      answer.bytes.data() + kAnsGetStatsStatusOffset, kAlrSrvStatusBlockSize));
}

// The time of day of `value` as "hh:nn", as check times are written.
inline std::string HoursMinutes(TDateTime value) {
  int hour, minute, second, ms;
  DecodeTime(value, hour, minute, second, ms);
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", hour, minute);
  return text;
}

#ifdef VIGILO_PROGRAM
// Lays out below `root` a program folder ("prog/" unless told) as an installation does
// (vigilo, the mail library, the icon, "Reports/"), the folders of the
// desktop, the runtime and the registrations, and points this process's
// environment, and so the programs it starts, at them. The program folder,
// ending in "/". `folder` names it below `root` (UTF-8, as on disk).
inline std::string MakeInstallation(const testing_support::TempFolder& root,
                                    const std::string& folder = "prog") {
  namespace fs = std::filesystem;
  const std::string prog = root.File(folder) + "/";
  fs::create_directories(prog + "Reports");
  fs::create_directories(root.File("desktop"));
  fs::create_directories(root.File("run"));
  fs::create_directories(root.File("scm/services"));
  ::chmod(root.File("run").c_str(), 0755);
  fs::copy_file(VIGILO_PROGRAM, prog + "vigilo");
  fs::copy_file(QUENNET_LIBRARY, prog + "libquennet.so");
  fs::copy_file(REPORT_ICON, prog + "report.ico");
  ::setenv("VIGILO_RUNTIME_DIR", root.File("run").c_str(), 1);
  ::setenv("VIGILO_SCM_DIR", root.File("scm").c_str(), 1);
  ::setenv("VIGILO_COMMON_DESKTOP", root.File("desktop").c_str(), 1);
  ::unsetenv("VIGILO_SCM_FD");
  return prog;
}
#endif

// Undoes the environment of MakeInstallation.
inline void ClearInstallationEnvironment() {
  for (const char* var : {"VIGILO_RUNTIME_DIR", "VIGILO_SCM_DIR", "VIGILO_COMMON_DESKTOP"}) {
    ::unsetenv(var);
  }
}

}  // namespace service_test
