#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>

#include "platform/accounts.h"
#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/named_pipe.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

// How long a server leaves its waiting clients alone after an accept failed
// (no descriptor or memory left): the client stays queued and would keep the
// socket readable, turning the wait into a spin.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// Refused clients may connect again at once: a bounded round of refusals per
// pass keeps them from holding the thread away from the clients it serves.
constexpr int kRefusalsPerPass = 16;

// Transfer results of one non-blocking step.
enum class Step { Done, Again, Failed };

// Receives up to `size` bytes; a closed connection is a broken pipe.
Step ReceivePart(int fd, uint8_t* dest, size_t size, size_t& got, uint32_t& error) {
  switch (ReceiveSome(fd, dest, size, got, error)) {
    case TransferStep::Done:
      return Step::Done;
    case TransferStep::Again:
      return Step::Again;
    case TransferStep::Closed:
      error = kErrorBrokenPipe;
      return Step::Failed;
    case TransferStep::Failed:
      break;
  }
  return Step::Failed;
}

class SocketPipeServer : public PipeServerSystem {
 public:
  SocketPipeServer(const std::string& pipePath, int maxInstances,
                   const PipeSecurityAttributes* security, std::chrono::milliseconds requestTime)
      : maxInstances_(maxInstances < 0                   ? 0
                      : maxInstances > kPipeMaxInstances ? kPipeMaxInstances
                                                         : maxInstances),
        slotCount_(PipeSlotCount(maxInstances_)),
        openToEveryone_(security && security->OpenToEveryone),
        requestTime_(requestTime),
        serverUid_(::geteuid()) {
    std::string name;
    pathError_ = LocalPipeName(pipePath, name);
    if (pathError_ == 0) pathError_ = PipeSocketPath(name, socketPath_);
    runtimeDir_ = ExtractFileDir(ExtractFileDir(socketPath_));
  }

  ~SocketPipeServer() override {
    for (int i = 0; i < slotCount_; ++i) {
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
    if (--created_ == 0) listener_.Close();
  }

  PipeIo Connect(int index, uint32_t& error) override {
    Slot* slot = Usable(index, error);
    if (!slot) return PipeIo::Failed;
    Disconnect(index);
    slot->op = Op::Connect;
    if (std::chrono::steady_clock::now() < acceptAgainAt_) return PipeIo::Pending;
    UniqueFd fd;
    uid_t uid = 0;
    uint32_t acceptError = 0;
    int refusals = kRefusalsPerPass;
    Step step = AcceptAdmitted(fd, uid, acceptError, refusals);
    if (step == Step::Again) return PipeIo::Pending;
    if (step == Step::Failed) {
      // A shortage that passes must not leave the slot idle for good: the
      // failure ends this connect, and the next one waits out the pause.
      FailConnect(*slot, acceptError);
      return PipeIo::Pending;
    }
    slot->op = Op::None;
    Attach(*slot, std::move(fd), uid);
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
    PutFrameLength(slot->outHead, size);
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
    slot.fd.reset();
    slot.op = Op::None;
    slot.finished = false;
    slot.signalled = false;
  }

  void Signal(int index) override {
    if (ValidIndex(index)) slots_[index].signalled = true;
  }

  int Wait(const PipeEvent& stop, int count, uint32_t& error) override {
    if (count > slotCount_) count = slotCount_;
    for (;;) {
      if (stop.IsSet()) return 0;
      auto now = std::chrono::steady_clock::now();
      std::optional<std::chrono::steady_clock::time_point> wakeAt = ExpireRequests(count, now);
      for (int i = 0; i < count; ++i) {
        if (slots_[i].created && slots_[i].signalled) {
          slots_[i].signalled = false;
          return i + 1;
        }
      }

      std::array<pollfd, 2 + kPipeMaxSlots> fds;
      std::array<int, 2 + kPipeMaxSlots> slotOf;
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
        fds[n++] = {slot.fd.get(), static_cast<short>(slot.op == Op::Read ? POLLIN : POLLOUT), 0};
      }
      size_t listenerAt = n;
      if (listener_.get() >= 0) {
        if (now >= acceptAgainAt_) {
          fds[n++] = {listener_.get(), POLLIN, 0};
        } else if (!wakeAt || acceptAgainAt_ < *wakeAt) {
          wakeAt = acceptAgainAt_;
        }
      }
      int timeout = -1;
      if (wakeAt) {
        timeout =
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(*wakeAt - now).count()) +
            1;
      }

      int rc = ::poll(fds.data(), n, timeout);
      if (rc < 0) {
        // A signal is no reason to wake the server. Not RetryOnEintr: the
        // time-out is worked out again from the deadlines above.
        if (errno == EINTR) continue;
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
  using TimePoint = std::chrono::steady_clock::time_point;

  struct Slot {
    bool created = false;
    UniqueFd fd;
    // The client's user, and whether it is root or the server's own user.
    uid_t uid = 0;
    bool privileged = false;
    Op op = Op::None;
    // The operation has ended; ok, count and error hold its outcome.
    bool finished = false;
    bool ok = false;
    uint32_t count = 0;
    uint32_t error = 0;
    bool signalled = false;
    // The client's next whole request must have come by then.
    TimePoint requestDeadline{};
    // The read in progress.
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    uint8_t head[kFrameHeaderSize] = {};
    uint32_t headDone = 0;
    uint32_t length = 0;
    uint32_t bodyDone = 0;
    // The write in progress.
    const uint8_t* data = nullptr;
    uint32_t dataSize = 0;
    uint8_t outHead[kFrameHeaderSize] = {};
    size_t sent = 0;
  };

  bool ValidIndex(int index) const { return index >= 0 && index < slotCount_; }

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
    if (slot->fd.get() < 0) {
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
    while (slot.headDone < kFrameHeaderSize) {
      Step step = ReceivePart(slot.fd.get(), slot.head + slot.headDone,
                              kFrameHeaderSize - slot.headDone, got, slot.error);
      if (step != Step::Done) return step;
      slot.headDone += static_cast<uint32_t>(got);
      if (slot.headDone == kFrameHeaderSize) {
        slot.length = GetFrameLength(slot.head);
        if (slot.length > slot.size) {
          slot.error = kErrorMoreData;
          return Step::Failed;
        }
      }
    }
    while (slot.bodyDone < slot.length) {
      Step step = ReceivePart(slot.fd.get(), slot.buffer + slot.bodyDone,
                              slot.length - slot.bodyDone, got, slot.error);
      if (step != Step::Done) return step;
      slot.bodyDone += static_cast<uint32_t>(got);
    }
    slot.count = slot.length;
    return Step::Done;
  }

  Step ProgressWrite(Slot& slot) {
    size_t total = kFrameHeaderSize + static_cast<size_t>(slot.dataSize);
    while (slot.sent < total) {
      iovec parts[2];
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = static_cast<size_t>(FrameSpans(
          parts, slot.outHead, const_cast<uint8_t*>(slot.data), slot.dataSize, slot.sent));
      ssize_t n = RetryOnEintr(
          [&] { return ::sendmsg(slot.fd.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT); });
      if (n >= 0) {
        slot.sent += static_cast<size_t>(n);
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
      slot.error = LastErrorFromErrno();
      return Step::Failed;
    }
    slot.count = slot.dataSize;
    slot.requestDeadline = std::chrono::steady_clock::now() + requestTime_;
    return Step::Done;
  }

  // Ends the reads whose client is past its deadline with kErrorTimeout;
  // returns the nearest deadline still to come.
  std::optional<TimePoint> ExpireRequests(int count, TimePoint now) {
    std::optional<TimePoint> next;
    for (int i = 0; i < count; ++i) {
      Slot& slot = slots_[i];
      if (!slot.created || slot.op != Op::Read || slot.finished) continue;
      if (slot.requestDeadline > now) {
        if (!next || slot.requestDeadline < *next) next = slot.requestDeadline;
        continue;
      }
      slot.finished = true;
      slot.signalled = true;
      slot.ok = false;
      slot.error = kErrorTimeout;
    }
    return next;
  }

  // Takes the next waiting client. A failure (no descriptor or memory left)
  // pauses accepting for kAcceptBackoff.
  Step Accept(UniqueFd& fd, uint32_t& error) {
    for (;;) {
      fd.reset(RetryOnEintr([&] {
        return ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      }));
      if (fd.get() >= 0) return Step::Done;
      if (errno == ECONNABORTED) continue;  // that client left before we took it
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Again;
      error = LastErrorFromErrno();
      acceptAgainAt_ = std::chrono::steady_clock::now() + kAcceptBackoff;
      return Step::Failed;
    }
  }

  // Takes the next waiting client that may hold a slot (Admits), refusing
  // the others, at most `refusals` of them; Again when none is left or the
  // refusals are spent.
  Step AcceptAdmitted(UniqueFd& fd, uid_t& uid, uint32_t& error, int& refusals) {
    while (refusals > 0) {
      Step step = Accept(fd, error);
      if (step != Step::Done) return step;
      if (PeerUid(fd.get(), uid) && Admits(uid)) return Step::Done;
      Refuse(fd);
      --refusals;
    }
    return Step::Again;
  }

  bool Privileged(uid_t uid) const { return uid == 0 || uid == serverUid_; }

  // Whether a client of `uid` may take a free slot now: its kind holds fewer
  // than maxInstances slots, and, when it is not root nor the server's user,
  // it holds none itself.
  bool Admits(uid_t uid) {
    const bool privileged = Privileged(uid);
    std::array<pollfd, kPipeMaxSlots> kind;
    std::array<pollfd, kPipeMaxSlots> own;
    size_t kinds = 0;
    size_t owns = 0;
    for (int i = 0; i < slotCount_; ++i) {
      const Slot& slot = slots_[i];
      if (!slot.created || slot.fd.get() < 0 || (slot.finished && !slot.ok)) continue;
      if (slot.privileged != privileged) continue;
      kind[kinds++] = {slot.fd.get(), 0, 0};
      if (!privileged && slot.uid == uid) own[owns++] = {slot.fd.get(), 0, 0};
    }
    // A client that closed just before this one connected (a user who calls
    // again at once) has left its slot, though the server has not seen it
    // yet: the slots are looked at again before a refusal.
    if (owns > 0 && HungUp(own.data(), owns) < owns) return false;
    const size_t limit = static_cast<size_t>(maxInstances_);
    return kinds < limit || kinds - HungUp(kind.data(), kinds) < limit;
  }

  // How many of `fds` have hung up.
  static size_t HungUp(pollfd* fds, size_t count) {
    if (count == 0) return 0;
    int rc = RetryOnEintr([&] { return ::poll(fds, count, 0); });
    size_t gone = 0;
    for (size_t i = 0; rc > 0 && i < count; ++i) {
      gone += (fds[i].revents & (POLLHUP | POLLERR)) != 0;
    }
    return gone;
  }

  static void Refuse(UniqueFd& fd) {
    ::send(fd.get(), &kPipeTokenBusy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    fd.reset();
  }

  void Attach(Slot& slot, UniqueFd fd, uid_t uid) {
    slot.fd = std::move(fd);
    slot.uid = uid;
    slot.privileged = Privileged(uid);
    slot.requestDeadline = std::chrono::steady_clock::now() + requestTime_;
    // A client that has gone already shows as a failed read later.
    ::send(slot.fd.get(), &kPipeTokenAccepted, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  // poll() looks at its descriptors one after the other: a client may have
  // closed after its slot was looked at and before the next client's connect
  // showed on the socket. Looking again tells whether a slot is freeing now,
  // which the caller's next round then serves.
  static bool AnyHungUp(pollfd* fds, size_t count) { return HungUp(fds, count) > 0; }

  void TakeWaitingClients(int count) {
    int refusals = kRefusalsPerPass;
    for (int i = 0; i < count; ++i) {
      Slot& slot = slots_[i];
      if (!slot.created || slot.op != Op::Connect || slot.finished) continue;
      UniqueFd fd;
      uid_t uid = 0;
      uint32_t error = 0;
      Step step = AcceptAdmitted(fd, uid, error, refusals);
      if (step == Step::Again) return;
      if (step == Step::Failed) {
        FailConnect(slot, error);
        return;
      }
      slot.finished = true;
      slot.signalled = true;
      slot.ok = true;
      slot.count = 0;
      Attach(slot, std::move(fd), uid);
    }
  }

  // Ends the slot's connect with `error`.
  void FailConnect(Slot& slot, uint32_t error) {
    slot.finished = true;
    slot.signalled = true;
    slot.ok = false;
    slot.count = 0;
    slot.error = error;
  }

  void RefuseWaitingClients() {
    for (int i = 0; i < kRefusalsPerPass; ++i) {
      UniqueFd fd;
      uint32_t error = 0;
      if (Accept(fd, error) != Step::Done) return;
      Refuse(fd);
    }
  }

  uint32_t OpenListener() {
    if (pathError_) return pathError_;
    if (uint32_t rc = PrepareSocketFolder(runtimeDir_)) return rc;
    uint32_t rc = Listen();
    // A live socket is another server's on our name. "All pipe instances are
    // busy" would send the reader looking for clients of ours.
    return rc == kErrorPipeBusy ? uint32_t{kErrorBusy} : rc;
  }

  uint32_t Listen() {
    if (openToEveryone_) return listener_.Listen(socketPath_, 0666, SOMAXCONN);
    if (std::optional<gid_t> admins = AdminGroupId()) {
      uint32_t rc = listener_.Listen(socketPath_, 0660, SOMAXCONN, *admins);
      // A service running as a user outside the group may not give its
      // socket to the group; its pipe then stays its own, as without one.
      if (rc != kErrorAccessDenied) return rc;
    }
    return listener_.Listen(socketPath_, 0600, SOMAXCONN);
  }

  const int maxInstances_;
  const int slotCount_;
  const bool openToEveryone_;
  const std::chrono::milliseconds requestTime_;
  const uid_t serverUid_;
  uint32_t pathError_ = 0;
  std::string socketPath_;
  std::string runtimeDir_;
  ListeningSocket listener_;
  int created_ = 0;
  std::chrono::steady_clock::time_point acceptAgainAt_{};
  std::array<Slot, kPipeMaxSlots> slots_{};
};

}  // namespace

PipeEvent::PipeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_.get() < 0) throw SystemError(LastErrorFromErrno());
}

PipeEvent::~PipeEvent() = default;

void PipeEvent::Set() {
  if (set_.exchange(true)) return;
  uint64_t one = 1;
  // The counter cannot overflow with one write, so this only fails on a bad
  // descriptor, which the constructor rules out.
  RetryOnEintr([&] { return ::write(fd_.get(), &one, sizeof one); });
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
    pollfd fd = {fd_.get(), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left.count()) + 1);
  }
  return true;
}

std::unique_ptr<PipeServerSystem> CreatePipeServerSystem(const std::string& pipePath,
                                                         int maxInstances,
                                                         const PipeSecurityAttributes* security,
                                                         std::chrono::milliseconds requestTime) {
  return std::make_unique<SocketPipeServer>(pipePath, maxInstances, security, requestTime);
}

}  // namespace platform
