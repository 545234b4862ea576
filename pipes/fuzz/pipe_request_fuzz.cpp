// Sends each input as one request to a running endpoint, through the sockets
// as a client would: the first byte picks the control pipe (odd) or the info
// pipe (even), the rest is the request. Besides the sanitizers' findings, it
// fails when a request of 1 to 16384 bytes gets no answer, or an answer that
// is no message of the endpoint.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/debuglog.h"
#include "pipes/alr_control.h"
#include "platform/named_pipe.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace {

struct Endpoints {
  Endpoints() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vigilo-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) std::abort();
    dir = buffer.data();
    platform::SetEnvironmentVariable("VIGILO_RUNTIME_DIR", dir);
    SetLogTarget(nullptr, dir + "/fuzz.log");
    control = std::make_unique<TAlrSrvControl>("FuzzControl", 1, dir + "/vigilo.ini");
    info = std::make_unique<TAlrSrvInfo>("FuzzInfo", 4);
    info->OnGetStatus.Set([](TAlrSrvInfo&, TAlrSrvStatusBlock& status) {
      status.BlockSize = kAlrSrvStatusBlockSize;
      SetStatusText(status.LastEventText, std::string(300, 'e'));
    });
  }
  std::string dir;
  std::unique_ptr<TAlrSrvControl> control;
  std::unique_ptr<TAlrSrvInfo> info;
};

bool IsReply(const std::vector<uint8_t>& answer) {
  if (answer.size() < kPipeHeaderSize) return false;
  std::span<const uint8_t, kPipeCommandSize> command(answer.data(), kPipeCommandSize);
  for (std::string_view name : {kAnsGetStats, kAnsGetConfig, kAnsSetConfig, kAnsReqUnknown}) {
    if (PipeCommandIs(command, name)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Endpoints* endpoints = new Endpoints();  // serves until the process ends
  if (size == 0 || size - 1 > platform::kPipeMessageLimit) return 0;
  std::string pipe = (data[0] & 1) ? "\\\\.\\pipe\\FuzzControl" : "\\\\.\\pipe\\FuzzInfo";
  std::vector<uint8_t> answer(platform::kPipeMessageLimit);
  uint32_t count = 0;
  uint32_t rc;
  // The servers' threads may not be listening yet on the first inputs.
  for (int attempt = 0;; ++attempt) {
    rc = platform::CallNamedPipe(pipe, data + 1, static_cast<uint32_t>(size - 1), answer.data(),
                                 platform::kPipeMessageLimit, count);
    if (rc != platform::kErrorFileNotFound || attempt == 1000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  answer.resize(count);
  if (size == 1) {
    // An empty message is not answered: the server drops the connection.
    if (rc == 0) std::abort();
    return 0;
  }
  if (rc != 0 || !IsReply(answer)) {
    std::fprintf(stderr, "no proper answer: error %u (%s), %u bytes\n", rc,
                 platform::SystemErrorText(rc).c_str(), count);
    std::abort();
  }
  (void)endpoints;
  return 0;
}
