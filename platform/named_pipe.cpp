#include "platform/named_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr char kDefaultRuntimeDir[] = "/run/vigilo";
constexpr uint8_t kTokenAccepted = 'A';
constexpr uint8_t kTokenBusy = 'B';
// How long a server leaves its waiting clients alone after an accept failed
// (no descriptor or memory left): the client stays queued and would keep the
// socket readable, turning the wait into a spin.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
constexpr int kRefusalsPerPass = 16;

bool ValidPipeName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.find("..") == std::string::npos;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  return LowerAscii(a) == b;
}

std::string RuntimeDir() {
  std::string dir = GetEnvironmentVariable("VIGILO_RUNTIME_DIR");
  return dir.empty() ? kDefaultRuntimeDir : dir;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

void PutLength(uint8_t* dest, uint32_t value) {
  for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLength(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | static_cast<uint32_t>(src[1]) << 8 |
         static_cast<uint32_t>(src[2]) << 16 | static_cast<uint32_t>(src[3]) << 24;
}

// Transfer results of one non-blocking step.
enum class Step { Done, Again, Failed };

// Receives up to `size` bytes; a closed connection is a broken pipe.
Step ReceiveSome(int fd, uint8_t* dest, size_t size, size_t& got, uint32_t& error) {
  for (;;) {
    ssize_t n = ::recv(fd, dest, size, MSG_DONTWAIT);
    if (n > 0) {
      got = static_cast<size_t>(n);
      return Step::Done;
    }
    if (n == 0) {
      error = kErrorBrokenPipe;
      return Step::Failed;
    }
    if (errno == EINTR) continue;  // a signal before any byte arrived: try again
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
    error = LastErrorFromErrno();
    return Step::Failed;
  }
}

// The spans of a framed message still to go once `done` of its bytes (the
// 4-byte length first, then the body) have gone; returns their number.
int FrameSpans(iovec (&parts)[2], uint8_t* head, uint8_t* body, size_t bodySize, size_t done) {
  int count = 0;
  if (done < 4) parts[count++] = {head + done, 4 - done};
  size_t bodyDone = done < 4 ? 0 : done - 4;
  if (bodySize > bodyDone) parts[count++] = {body + bodyDone, bodySize - bodyDone};
  return count;
}

// Blocking helpers of the client.
uint32_t ReceiveExactly(int fd, uint8_t* dest, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::recv(fd, dest + done, size - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return kErrorBrokenPipe;
    } else if (errno != EINTR) {
      return LastErrorFromErrno();
    }
  }
  return kErrorSuccess;
}

uint32_t SendMessage(int fd, const uint8_t* data, uint32_t size) {
  uint8_t head[4];
  PutLength(head, size);
  size_t total = 4 + static_cast<size_t>(size);
  size_t sent = 0;
  while (sent < total) {
    iovec parts[2];
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen =
        static_cast<size_t>(FrameSpans(parts, head, const_cast<uint8_t*>(data), size, sent));
    ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      return LastErrorFromErrno();
    }
  }
  return kErrorSuccess;
}

// Receives the answer, keeping at most `size` bytes of it in `dest`; `length`
// is the length the server sent. The answer is the last thing a server sends
// on a connection, so its length and body can be asked for in one call.
uint32_t ReceiveAnswer(int fd, uint8_t* dest, uint32_t size, uint32_t& kept, uint32_t& length) {
  uint8_t head[4];
  size_t got = 0;
  size_t keep = size;  // until the length is known
  while (got < 4 + keep) {
    iovec parts[2];
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(FrameSpans(parts, head, dest, keep, got));
    ssize_t n = ::recvmsg(fd, &message, 0);
    if (n == 0) return kErrorBrokenPipe;
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastErrorFromErrno();
    }
    bool lengthKnown = got >= 4;
    got += static_cast<size_t>(n);
    if (!lengthKnown && got >= 4) {
      length = GetLength(head);
      if (length < keep) keep = length;
    }
  }
  kept = static_cast<uint32_t>(keep);
  return kErrorSuccess;
}

class SocketPipeServer : public PipeServerSystem {
 public:
  SocketPipeServer(const std::string& pipePath, int maxInstances,
                   const PipeSecurityAttributes* security)
      : maxInstances_(maxInstances < 0                   ? 0
                      : maxInstances > kPipeMaxInstances ? kPipeMaxInstances
                                                         : maxInstances),
        mode_(security && security->OpenToEveryone ? 0666 : 0600) {
    std::string name;
    pathError_ = LocalPipeName(pipePath, name);
    if (pathError_ == 0) pathError_ = PipeSocketPath(name, socketPath_);
  }

  ~SocketPipeServer() override {
    for (int i = 0; i < maxInstances_; ++i) {
      if (slots_[i].created) CloseInstance(i);
    }
  }

  uint32_t CreateInstance(int index) override {
    if (!ValidIndex(index) || slots_[index].created) return kErrorInvalidParameter;
    if (listener_.get() < 0) {
      if (uint32_t rc = OpenListener()) return rc;
    }
    slots_[index] = Slot{};
    slots_[index].created = true;
    ++created_;
    return kErrorSuccess;
  }

  void CloseInstance(int index) override {
    if (!ValidIndex(index) || !slots_[index].created) return;
    Disconnect(index);
    slots_[index].created = false;
    if (--created_ == 0) CloseListener();
  }

  PipeIo Connect(int index, uint32_t& error) override {
    Slot* slot = Usable(index, error);
    if (!slot) return PipeIo::Failed;
    Disconnect(index);
    slot->op = Op::Connect;
    if (std::chrono::steady_clock::now() < acceptAgainAt_) return PipeIo::Pending;
    int fd = -1;
    uint32_t acceptError = 0;
    Step step = Accept(fd, acceptError);
    if (step == Step::Again) return PipeIo::Pending;
    if (step == Step::Failed) {
      // A shortage that passes must not leave the slot idle for good: the
      // failure ends this connect, and the next one waits out the pause.
      FailConnect(*slot, acceptError);
      return PipeIo::Pending;
    }
    slot->op = Op::None;
    Attach(*slot, fd);
    slot->finished = true;
    slot->ok = true;
    return PipeIo::Done;
  }

  PipeIo Read(int index, uint8_t* buffer, uint32_t size, uint32_t& count,
              uint32_t& error) override {
    Slot* slot = Connected(index, error);
    if (!slot) return PipeIo::Failed;
    slot->op = Op::Read;
    slot->buffer = buffer;
    slot->size = size;
    slot->headDone = 0;
    slot->bodyDone = 0;
    return Start(*slot, count, error);
  }

  PipeIo Write(int index, const uint8_t* data, uint32_t size, uint32_t& count,
               uint32_t& error) override {
    Slot* slot = Connected(index, error);
    if (!slot) return PipeIo::Failed;
    if (size > kPipeMessageLimit) {
      error = kErrorInvalidParameter;
      return PipeIo::Failed;
    }
    slot->op = Op::Write;
    slot->data = data;
    slot->dataSize = size;
    PutLength(slot->outHead, size);
    slot->sent = 0;
    return Start(*slot, count, error);
  }

  bool GetResult(int index, uint32_t& count, uint32_t& error) override {
    if (!ValidIndex(index) || !slots_[index].created) {
      error = kErrorInvalidHandle;
      return false;
    }
    Slot& slot = slots_[index];
    if (slot.op != Op::None && !slot.finished) {
      error = kErrorIoIncomplete;
      return false;
    }
    slot.op = Op::None;
    count = slot.count;
    error = slot.error;
    return slot.ok;
  }

  void Disconnect(int index) override {
    if (!ValidIndex(index)) return;
    Slot& slot = slots_[index];
    if (slot.fd >= 0) ::close(slot.fd);
    slot.fd = -1;
    slot.op = Op::None;
    slot.finished = false;
    slot.signalled = false;
  }

  void Signal(int index) override {
    if (ValidIndex(index)) slots_[index].signalled = true;
  }

  int Wait(const PipeEvent& stop, int count, uint32_t& error) override {
    if (count > maxInstances_) count = maxInstances_;
    for (;;) {
      if (stop.IsSet()) return 0;
      for (int i = 0; i < count; ++i) {
        if (slots_[i].created && slots_[i].signalled) {
          slots_[i].signalled = false;
          return i + 1;
        }
      }

      std::array<pollfd, 2 + kPipeMaxInstances> fds;
      std::array<int, 2 + kPipeMaxInstances> slotOf;
      size_t n = 0;
      fds[n++] = {stop.Descriptor(), POLLIN, 0};
      bool listening = false;
      for (int i = 0; i < count; ++i) {
        Slot& slot = slots_[i];
        if (!slot.created || slot.op == Op::None || slot.finished) continue;
        if (slot.op == Op::Connect) {
          listening = true;
          continue;
        }
        slotOf[n] = i;
        fds[n++] = {slot.fd, static_cast<short>(slot.op == Op::Read ? POLLIN : POLLOUT), 0};
      }
      int timeout = -1;
      size_t listenerAt = n;
      if (listener_.get() >= 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= acceptAgainAt_) {
          fds[n++] = {listener_.get(), POLLIN, 0};
        } else {
          timeout = static_cast<int>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(acceptAgainAt_ - now)
                            .count()) +
                    1;
        }
      }

      int rc = ::poll(fds.data(), n, timeout);
      if (rc < 0) {
        if (errno == EINTR) continue;  // a signal is no reason to wake the server
        error = LastErrorFromErrno();
        return -1;
      }
      if (fds[0].revents != 0) continue;

      // A slot whose client has gone listens again as soon as the server has
      // seen it: the next client in the queue is kept for it, not refused.
      bool freeing = false;
      for (size_t k = 1; k < listenerAt; ++k) {
        if (fds[k].revents == 0) continue;
        Slot& slot = slots_[slotOf[k]];
        uint32_t unused = 0;
        Step step = Progress(slot, unused);
        if (step == Step::Again) continue;
        slot.signalled = true;
        if (step == Step::Failed) freeing = true;
      }
      if (listenerAt < n && fds[listenerAt].revents != 0) {
        if (listening) {
          TakeWaitingClients(count);
        } else if (!freeing && !AnyHungUp(fds.data() + 1, listenerAt - 1)) {
          // Every instance is busy: the clients in the queue hear so at once.
          RefuseWaitingClients();
        }
      }
    }
  }

 private:
  enum class Op { None, Connect, Read, Write };

  struct Slot {
    bool created = false;
    int fd = -1;
    Op op = Op::None;
    // The operation has ended; ok, count and error hold its outcome.
    bool finished = false;
    bool ok = false;
    uint32_t count = 0;
    uint32_t error = 0;
    bool signalled = false;
    // The read in progress.
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    uint8_t head[4] = {};
    uint32_t headDone = 0;
    uint32_t length = 0;
    uint32_t bodyDone = 0;
    // The write in progress.
    const uint8_t* data = nullptr;
    uint32_t dataSize = 0;
    uint8_t outHead[4] = {};
    size_t sent = 0;
  };

  bool ValidIndex(int index) const { return index >= 0 && index < maxInstances_; }

  Slot* Usable(int index, uint32_t& error) {
    if (!ValidIndex(index) || !slots_[index].created) {
      error = kErrorInvalidHandle;
      return nullptr;
    }
    return &slots_[index];
  }

  Slot* Connected(int index, uint32_t& error) {
    Slot* slot = Usable(index, error);
    if (!slot) return nullptr;
    slot->signalled = false;
    slot->finished = false;
    if (slot->fd < 0) {
      error = kErrorPipeNotConnected;
      return nullptr;
    }
    return slot;
  }

  PipeIo Start(Slot& slot, uint32_t& count, uint32_t& error) {
    Step step = Progress(slot, error);
    if (step == Step::Again) return PipeIo::Pending;
    slot.op = Op::None;
    if (step == Step::Failed) return PipeIo::Failed;
    count = slot.count;
    // As with overlapped operations, one that ends at once signals too.
    slot.signalled = true;
    return PipeIo::Done;
  }

  // Moves the slot's read or write on as far as the socket allows.
  Step Progress(Slot& slot, uint32_t& error) {
    Step step = slot.op == Op::Read ? ProgressRead(slot) : ProgressWrite(slot);
    if (step == Step::Again) return step;
    slot.finished = true;
    slot.ok = step == Step::Done;
    if (!slot.ok) error = slot.error;
    return step;
  }

  Step ProgressRead(Slot& slot) {
    size_t got = 0;
    while (slot.headDone < 4) {
      Step step =
          ReceiveSome(slot.fd, slot.head + slot.headDone, 4 - slot.headDone, got, slot.error);
      if (step != Step::Done) return step;
      slot.headDone += static_cast<uint32_t>(got);
      if (slot.headDone == 4) {
        slot.length = GetLength(slot.head);
        if (slot.length > slot.size) {
          slot.error = kErrorMoreData;
          return Step::Failed;
        }
      }
    }
    while (slot.bodyDone < slot.length) {
      Step step = ReceiveSome(slot.fd, slot.buffer + slot.bodyDone, slot.length - slot.bodyDone,
                              got, slot.error);
      if (step != Step::Done) return step;
      slot.bodyDone += static_cast<uint32_t>(got);
    }
    slot.count = slot.length;
    return Step::Done;
  }

  Step ProgressWrite(Slot& slot) {
    size_t total = 4 + static_cast<size_t>(slot.dataSize);
    while (slot.sent < total) {
      iovec parts[2];
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = static_cast<size_t>(FrameSpans(
          parts, slot.outHead, const_cast<uint8_t*>(slot.data), slot.dataSize, slot.sent));
      ssize_t n = ::sendmsg(slot.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        slot.sent += static_cast<size_t>(n);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
      slot.error = LastErrorFromErrno();
      return Step::Failed;
    }
    slot.count = slot.dataSize;
    return Step::Done;
  }

  Step Accept(int& fd, uint32_t& error) {
    for (;;) {
      fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) return Step::Done;
      // EINTR: a signal; ECONNABORTED: that client left before we took it.
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
      error = LastErrorFromErrno();
      return Step::Failed;
    }
  }

  void Attach(Slot& slot, int fd) {
    slot.fd = fd;
    // A client that has gone already shows as a failed read later.
    ::send(fd, &kTokenAccepted, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  // poll() looks at its descriptors one after the other: a client may have
  // closed after its slot was looked at and before the next client's connect
  // showed on the socket. Looking again tells whether a slot is freeing now,
  // which the caller's next round then serves.
  static bool AnyHungUp(pollfd* fds, size_t count) {
    if (count == 0) return false;
    int rc;
    do {
      rc = ::poll(fds, count, 0);
    } while (rc < 0 && errno == EINTR);
    for (size_t i = 0; rc > 0 && i < count; ++i) {
      if ((fds[i].revents & (POLLHUP | POLLERR)) != 0) return true;
    }
    return false;
  }

  void TakeWaitingClients(int count) {
    for (int i = 0; i < count; ++i) {
      Slot& slot = slots_[i];
      if (!slot.created || slot.op != Op::Connect || slot.finished) continue;
      int fd = -1;
      uint32_t error = 0;
      Step step = Accept(fd, error);
      if (step == Step::Again) return;
      if (step == Step::Failed) {
        FailConnect(slot, error);
        return;
      }
      slot.finished = true;
      slot.signalled = true;
      slot.ok = true;
      slot.count = 0;
      Attach(slot, fd);
    }
  }

  // Ends the slot's connect with `error` and pauses accepting.
  void FailConnect(Slot& slot, uint32_t error) {
    slot.finished = true;
    slot.signalled = true;
    slot.ok = false;
    slot.count = 0;
    slot.error = error;
    acceptAgainAt_ = std::chrono::steady_clock::now() + kAcceptBackoff;
  }

  void RefuseWaitingClients() {
    // Refused clients may connect again at once: a bounded round keeps them
    // from holding the thread away from the clients it serves.
    for (int i = 0; i < kRefusalsPerPass; ++i) {
      int fd = -1;
      uint32_t error = 0;
      Step step = Accept(fd, error);
      if (step == Step::Again) return;
      if (step == Step::Failed) {
        acceptAgainAt_ = std::chrono::steady_clock::now() + kAcceptBackoff;
        return;
      }
      ::send(fd, &kTokenBusy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
    }
  }

  // True when a server answers on the socket file `path`. A socket closed to
  // this user counts as live: it is someone else's and stays.
  static bool SocketIsLive(const sockaddr_un& address) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (probe.get() < 0) return true;
    int rc;
    do {
      rc = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    return errno != ECONNREFUSED && errno != ENOENT;
  }

  uint32_t OpenListener() {
    if (pathError_) return pathError_;
    std::string dir = ExtractFileDir(socketPath_);
    if (uint32_t rc = CreateDirectories(dir, 0755)) return rc;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return LastErrorFromErrno();
    // In a folder that others may write, or that another user owns, anyone
    // could put their own socket in place of ours.
    if ((st.st_mode & S_IWOTH) != 0 || (st.st_uid != ::geteuid() && st.st_uid != 0)) {
      return kErrorAccessDenied;
    }

    sockaddr_un address;
    if (!FillAddress(socketPath_, address)) return kErrorInvalidName;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return LastErrorFromErrno();
    const sockaddr* raw = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(fd.get(), raw, sizeof address) != 0) {
      if (errno != EADDRINUSE) return LastErrorFromErrno();
      if (SocketIsLive(address)) return kErrorPipeBusy;
      if (::lstat(socketPath_.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        return kErrorAlreadyExists;
      }
      // A socket left behind by a server that ended without removing it.
      ::unlink(socketPath_.c_str());
      if (::bind(fd.get(), raw, sizeof address) != 0) {
        return errno == EADDRINUSE ? kErrorPipeBusy : LastErrorFromErrno();
      }
    }
    // The mode is set before listen(), so no client connects under the
    // umask's mode in between.
    if (::chmod(socketPath_.c_str(), mode_) != 0 || ::stat(socketPath_.c_str(), &st) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
      uint32_t rc = LastErrorFromErrno();
      ::unlink(socketPath_.c_str());
      return rc;
    }
    socketDevice_ = st.st_dev;
    socketInode_ = st.st_ino;
    listener_.reset(fd.release());
    return kErrorSuccess;
  }

  void CloseListener() {
    listener_.reset();
    // Only our own file goes: a later server may have replaced it already.
    struct stat st;
    if (::stat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDevice_ &&
        st.st_ino == socketInode_) {
      ::unlink(socketPath_.c_str());
    }
  }

  const int maxInstances_;
  const mode_t mode_;
  uint32_t pathError_ = 0;
  std::string socketPath_;
  UniqueFd listener_;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  int created_ = 0;
  std::chrono::steady_clock::time_point acceptAgainAt_{};
  std::array<Slot, kPipeMaxInstances> slots_{};
};

}  // namespace

uint32_t PipeSocketPath(const std::string& name, std::string& path) {
  if (!ValidPipeName(name)) return kErrorInvalidName;
  path = JoinPath(JoinPath(RuntimeDir(), "pipe"), LowerAscii(name));
  return kErrorSuccess;
}

uint32_t LocalPipeName(const std::string& pipePath, std::string& name) {
  if (pipePath.size() < 2 || pipePath[0] != '\\' || pipePath[1] != '\\') return kErrorInvalidName;
  size_t hostEnd = pipePath.find('\\', 2);
  if (hostEnd == std::string::npos || hostEnd == 2) return kErrorInvalidName;
  size_t kindEnd = pipePath.find('\\', hostEnd + 1);
  if (kindEnd == std::string::npos ||
      !EqualsNoCase(pipePath.substr(hostEnd + 1, kindEnd - hostEnd - 1), "pipe")) {
    return kErrorInvalidName;
  }
  if (pipePath.compare(2, hostEnd - 2, ".") != 0) return kErrorBadNetPath;
  std::string rest = pipePath.substr(kindEnd + 1);
  if (!ValidPipeName(rest)) return kErrorInvalidName;
  name = rest;
  return kErrorSuccess;
}

PipeEvent::PipeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw SystemError(LastErrorFromErrno());
}

PipeEvent::~PipeEvent() {
  ::close(fd_);
}

void PipeEvent::Set() {
  if (set_.exchange(true)) return;
  uint64_t one = 1;
  // The counter cannot overflow with one write, so this only fails on a bad
  // descriptor, which the constructor rules out.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool PipeEvent::IsSet() const {
  return set_.load(std::memory_order_acquire);
}

bool PipeEvent::WaitFor(std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!IsSet()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd = {fd_, POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left.count()) + 1);
  }
  return true;
}

std::unique_ptr<PipeServerSystem> CreatePipeServerSystem(const std::string& pipePath,
                                                         int maxInstances,
                                                         const PipeSecurityAttributes* security) {
  return std::make_unique<SocketPipeServer>(pipePath, maxInstances, security);
}

uint32_t CallNamedPipe(const std::string& pipePath, const uint8_t* request, uint32_t requestSize,
                       uint8_t* answer, uint32_t answerSize, uint32_t& answerCount) {
  answerCount = 0;
  if (requestSize > kPipeMessageLimit) return kErrorInvalidParameter;
  std::string name;
  std::string path;
  if (uint32_t rc = LocalPipeName(pipePath, name)) return rc;
  if (uint32_t rc = PipeSocketPath(name, path)) return rc;
  sockaddr_un address;
  if (!FillAddress(path, address)) return kErrorInvalidName;

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return LastErrorFromErrno();
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    switch (errno) {
      case ENOENT:
      case ECONNREFUSED:  // a socket file without its server
        return kErrorFileNotFound;
      case EAGAIN:  // the server's queue is full: busy, as the caller does not wait
        return kErrorPipeBusy;
      default:
        return LastErrorFromErrno();
    }
  }
  // From here on the exchange waits for the server, as CallNamedPipe does once
  // connected. The socket was made with no other status flag to keep.
  if (::fcntl(fd.get(), F_SETFL, 0) != 0) return LastErrorFromErrno();

  uint8_t token = 0;
  if (uint32_t error = ReceiveExactly(fd.get(), &token, 1)) return error;
  if (token == kTokenBusy) return kErrorPipeBusy;
  if (token != kTokenAccepted) return kErrorBadPipe;

  if (uint32_t error = SendMessage(fd.get(), request, requestSize)) return error;
  uint32_t kept = 0;
  uint32_t length = 0;
  if (uint32_t error = ReceiveAnswer(fd.get(), answer, answerSize, kept, length)) return error;
  answerCount = kept;
  return length > answerSize ? kErrorMoreData : kErrorSuccess;
}

}  // namespace platform
