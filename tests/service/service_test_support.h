// What the service's tests share: the log's texts and one exchange on one of
// the service's pipes.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "pipes/pipe_messages.h"
#include "platform/named_pipe.h"
#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace service_test {

// The log's lines without their date and time.
inline std::vector<std::string> LogTexts(const std::string& path) {
  std::vector<std::string> texts;
  const std::string text = testing_support::ReadFile(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t tab = line.find('\t');
    texts.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    start = end + 2;
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

}  // namespace service_test
