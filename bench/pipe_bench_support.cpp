#include "pipe_bench_support.h"

#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "common/debuglog.h"
#include "pipes/pipe_messages.h"
#include "platform/named_pipe.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace pipebench {

Workspace::Workspace() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vigilo-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot create a temporary folder");
  path_ = buffer.data();
  platform::SetEnvironmentVariable("VIGILO_RUNTIME_DIR", path_);
  SetLogTarget(nullptr, File("pipes.log"));
}

Workspace::~Workspace() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> Request(const char* command, const std::string& payload) {
  std::vector<uint8_t> message(kPipeHeaderSize + payload.size());
  EncodePipeHeader(MakePipeHeader(command, static_cast<uint32_t>(payload.size())),
                   std::span<uint8_t, kPipeHeaderSize>(message.data(), kPipeHeaderSize));
  std::memcpy(message.data() + kPipeHeaderSize, payload.data(), payload.size());
  return message;
}

uint32_t Exchange(const std::string& pipeName, const std::vector<uint8_t>& request,
                  std::vector<uint8_t>& answer) {
  answer.resize(kPipeBufferSize);
  uint32_t count = 0;
  uint32_t rc = platform::CallNamedPipe("\\\\.\\pipe\\" + pipeName, request.data(),
                                        static_cast<uint32_t>(request.size()), answer.data(),
                                        kPipeBufferSize, count);
  answer.resize(count);
  return rc;
}

bool WaitUntilServing(const std::string& pipeName) {
  std::vector<uint8_t> answer;
  for (int i = 0; i < 2000; ++i) {
    uint32_t rc = Exchange(pipeName, Request("REQGETSTATS"), answer);
    if (rc == 0) return true;
    if (rc != platform::kErrorFileNotFound) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace pipebench
