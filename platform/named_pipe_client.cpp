#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/eintr.h"
#include "platform/named_pipe.h"
#include "platform/remote.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

// Receives the answer, keeping at most `size` bytes of it in `dest`; `length`
// is the length the server sent. The answer is the last thing a server sends
// on a connection, so its length and body can be asked for in one call.
uint32_t ReceiveAnswer(int fd, uint8_t* dest, uint32_t size, uint32_t& kept, uint32_t& length) {
  uint8_t head[kFrameHeaderSize];
  size_t got = 0;
  size_t keep = size;  // until the length is known
  while (got < kFrameHeaderSize + keep) {
    iovec parts[2];
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(FrameSpans(parts, head, dest, keep, got));
    ssize_t n = RetryOnEintr([&] { return ::recvmsg(fd, &message, 0); });
    if (n == 0) return kErrorBrokenPipe;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kErrorTimeout;  // SO_RCVTIMEO ran out
      return LastErrorFromErrno();
    }
    bool lengthKnown = got >= kFrameHeaderSize;
    got += static_cast<size_t>(n);
    if (!lengthKnown && got >= kFrameHeaderSize) {
      length = GetFrameLength(head);
      if (length < keep) keep = length;
    }
  }
  kept = static_cast<uint32_t>(keep);
  return kErrorSuccess;
}

}  // namespace

uint32_t CallNamedPipe(const std::string& pipePath, const uint8_t* request, uint32_t requestSize,
                       uint8_t* answer, uint32_t answerSize, uint32_t& answerCount) {
  answerCount = 0;
  if (requestSize > kPipeMessageLimit) return kErrorInvalidParameter;
  std::string machine;
  std::string name;
  std::string path;
  if (uint32_t rc = SplitPipePath(pipePath, machine, name)) return rc;
  machine = RemoteMachineName(machine);
  const bool remote = !machine.empty();
  if (remote) {
    if (uint32_t rc = SystemRemoteForwardings().PipeSocket(machine, name, path)) return rc;
  } else if (uint32_t rc = PipeSocketPath(name, path)) {
    return rc;
  }
  UniqueFd fd;
  int err = 0;
  if (uint32_t rc = ConnectSocket(path, true, fd, err)) {
    switch (err) {
      case ENOENT:
      case ECONNREFUSED:  // a socket file without its server
        return kErrorFileNotFound;
      case EAGAIN:  // the server's queue is full: busy, as the caller does not wait
        return kErrorPipeBusy;
      default:
        return rc;
    }
  }
  // From here on the exchange waits for the server, as CallNamedPipe does once
  // connected. The socket was made with no other status flag to keep.
  if (::fcntl(fd.get(), F_SETFL, 0) != 0) return LastErrorFromErrno();
  if (remote) {
    // The control program calls on its GUI thread: a link that hangs may
    // hold it only briefly.
    SetSocketTimeouts(fd.get(), kRemoteReplyTime);
  }

  uint8_t token = 0;
  if (uint32_t error = ReceiveAll(fd.get(), &token, 1)) {
    // ssh accepts for the other PC at once and closes when no server is there.
    return remote && error == kErrorBrokenPipe ? kErrorFileNotFound : error;
  }
  if (token == kPipeTokenBusy) return kErrorPipeBusy;
  if (token != kPipeTokenAccepted) return kErrorBadPipe;

  if (uint32_t error = SendFrame(fd.get(), request, requestSize)) return error;
  uint32_t kept = 0;
  uint32_t length = 0;
  if (uint32_t error = ReceiveAnswer(fd.get(), answer, answerSize, kept, length)) return error;
  answerCount = kept;
  return length > answerSize ? kErrorMoreData : kErrorSuccess;
}

}  // namespace platform
