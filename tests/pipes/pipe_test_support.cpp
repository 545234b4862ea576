#include "pipe_test_support.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "common/debuglog.h"
#include "platform/accounts.h"
#include "platform/eintr.h"
#include "platform/named_pipe.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace pipetest {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vigilo-pipes-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

namespace {

// Sets the runtime folder before any test starts a thread. The tests that
// want an administrators' group make one; the machine's own stays out.
class RuntimeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    RuntimeDir();
    platform::SetEnvironmentVariable("VIGILO_GROUP", "vigilo-pipetest-nogroup");
  }
  // Every test process makes its own folder: it goes with the last test, so
  // that a run leaves none behind. A log line written later is lost.
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(RuntimeDir(), ignored);
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = platform::RetryOnEintr([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = platform::RetryOnEintr([&] { return ::recv(fd, data, size, 0); });
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

const std::string& RuntimeDir() {
  static TempDir* dir = [] {
    auto* made = new TempDir();  // lives until the process ends
    platform::SetEnvironmentVariable("VIGILO_RUNTIME_DIR", made->Path());
    SetLogTarget(nullptr, made->File("pipes.log"));
    return made;
  }();
  return dir->Path();
}

std::string UniquePipeName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + std::to_string(++counter);
}

LogCapture::LogCapture() {
  SetLogTarget(this, dir_.File("test.log"));
}

LogCapture::~LogCapture() {
  SetLogTarget(nullptr, RuntimeDir() + "/pipes.log");
}

void LogCapture::ReportEvent(platform::EventType, const std::string& message) {
  std::lock_guard<std::mutex> guard(lock_);
  messages_.push_back(message);
  changed_.notify_all();
}

std::vector<std::string> LogCapture::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

size_t LogCapture::Count(const std::string& message) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const std::string& m : messages_) n += m == message;
  return n;
}

bool LogCapture::WaitFor(const std::string& message, size_t times,
                         std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, limit, [&] {
    size_t n = 0;
    for (const std::string& m : messages_) n += m == message;
    return n >= times;
  });
}

Answer Call(const std::string& pipeName, const Bytes& request) {
  Answer answer;
  answer.bytes.resize(platform::kPipeMessageLimit);
  uint32_t count = 0;
  answer.error = platform::CallNamedPipe("\\\\.\\pipe\\" + pipeName, request.data(),
                                         static_cast<uint32_t>(request.size()), answer.bytes.data(),
                                         platform::kPipeMessageLimit, count);
  answer.bytes.resize(count);
  return answer;
}

Answer CallWhenReady(const std::string& pipeName, const Bytes& request) {
  Answer answer;
  for (int attempt = 0; attempt < 2000; ++attempt) {
    answer = Call(pipeName, request);
    if (answer.error != platform::kErrorFileNotFound) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return answer;
}

Bytes Request(const std::string& command, uint32_t dataLength, const Bytes& payload) {
  Bytes message(28, 0);
  std::memcpy(message.data(), command.data(), std::min<size_t>(command.size(), 16));
  for (int i = 0; i < 4; ++i) message[24 + i] = static_cast<uint8_t>(dataLength >> (8 * i));
  message.resize(28 + payload.size());
  if (!payload.empty()) std::memcpy(message.data() + 28, payload.data(), payload.size());
  return message;
}

Bytes Request(const std::string& command, const Bytes& payload) {
  return Request(command, static_cast<uint32_t>(payload.size()), payload);
}

namespace {

bool ConnectTo(int fd, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

RawClient::RawClient(const std::string& pipeName) {
  if (platform::PipeSocketPath(pipeName, path_) != 0) return;
  for (int attempt = 0; attempt < 2000 && fd_ < 0; ++attempt) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (ConnectTo(fd_, path_)) break;
    bool notYet = errno == ENOENT || errno == ECONNREFUSED;
    Close();
    if (!notYet) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (fd_ >= 0) ReadToken();
}

RawClient::RawClient(const std::string& pipeName, DeferConnect) {
  if (platform::PipeSocketPath(pipeName, path_) != 0) return;
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool RawClient::Connect() {
  return fd_ >= 0 && ConnectTo(fd_, path_);
}

char RawClient::ReadToken() {
  uint8_t token = 0;
  token_ = fd_ >= 0 && ReceiveAll(fd_, &token, 1) ? static_cast<char>(token) : 0;
  return token_;
}

RawClient::~RawClient() {
  Close();
}

bool RawClient::Send(const Bytes& message) {
  return SendRaw(Framed(message));
}

bool RawClient::SendRaw(const Bytes& bytes) {
  return fd_ >= 0 && SendAll(fd_, bytes.data(), bytes.size());
}

bool RawClient::Receive(Bytes& message) {
  uint8_t head[4];
  if (fd_ < 0 || !ReceiveAll(fd_, head, 4)) return false;
  uint32_t size = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                  static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24;
  message.assign(size, 0);
  return ReceiveAll(fd_, message.data(), size);
}

bool RawClient::ClosedByServer() {
  uint8_t byte;
  ssize_t n = platform::RetryOnEintr([&] { return ::recv(fd_, &byte, 1, 0); });
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Bytes Framed(const Bytes& message) {
  Bytes framed(4 + message.size());
  uint32_t size = static_cast<uint32_t>(message.size());
  for (int i = 0; i < 4; ++i) framed[i] = static_cast<uint8_t>(size >> (8 * i));
  if (!message.empty()) std::memcpy(framed.data() + 4, message.data(), message.size());
  return framed;
}

uint16_t Get16(const Bytes& b, size_t o) {
  return static_cast<uint16_t>(b.at(o) | b.at(o + 1) << 8);
}

uint32_t Get32(const Bytes& b, size_t o) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | b.at(o + static_cast<size_t>(i));
  return v;
}

uint64_t Get64(const Bytes& b, size_t o) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b.at(o + static_cast<size_t>(i));
  return v;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

size_t OpenDescriptorCount() {
  size_t n = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

pid_t StartAs(const std::string& account, std::function<int()> body) {
  // Everything that reads the account databases happens before the fork: the
  // child of a threaded process may only make plain system calls until it
  // runs the body.
  std::optional<platform::Account> user = platform::LookUpAccount(account);
  std::optional<std::vector<gid_t>> groups;
  if (user) groups = platform::GroupsOf(*user);
  pid_t child = ::fork();
  if (child != 0) return child;
  if (!user || !groups || ::setgroups(groups->size(), groups->data()) != 0 ||
      ::setgid(user->gid) != 0 || ::setuid(user->uid) != 0) {
    ::_exit(255);
  }
  ::_exit(body());
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (platform::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); }) < 0) return 253;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 253;
}

int RunAs(const std::string& account, std::function<int()> body) {
  return WaitChild(StartAs(account, std::move(body)));
}

int ExitCode(uint32_t error) {
  return error < 252 ? static_cast<int>(error) : 252;
}

}  // namespace pipetest
