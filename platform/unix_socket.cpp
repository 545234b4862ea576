#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace platform {
namespace {

constexpr char kDefaultRuntimeDir[] = "/run/vigilo";
constexpr mode_t kFolderMode = 0755;

uint32_t MakeFolders(const std::string& dir) {
  if (dir.empty() || DirectoryExists(dir)) return kErrorSuccess;
  std::string parent = ExtractFileDir(dir);
  if (!parent.empty() && parent != dir) {
    if (uint32_t rc = MakeFolders(parent)) return rc;
  }
  if (::mkdir(dir.c_str(), kFolderMode) != 0) {
    return errno == EEXIST ? kErrorSuccess : LastErrorFromErrno();
  }
  // mkdir applies the umask: under 077 the pipes would be closed to others.
  if (::chmod(dir.c_str(), kFolderMode) != 0) return LastErrorFromErrno();
  return kErrorSuccess;
}

// True when a server answers on `address`. A socket closed to this user, or
// one whose queue is full, counts as live: it is someone's and stays.
bool SocketIsLive(const sockaddr_un& address) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (probe.get() < 0) return true;
  int rc = RetryOnEintr([&] {
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  });
  if (rc == 0) return true;
  return errno != ECONNREFUSED && errno != ENOENT;
}

}  // namespace

std::string RuntimeDir() {
  std::string dir = GetEnvironmentVariable("VIGILO_RUNTIME_DIR");
  return dir.empty() ? kDefaultRuntimeDir : dir;
}

uint32_t PrepareSocketFolder(const std::string& dir) {
  if (uint32_t rc = MakeFolders(dir)) return rc;
  return CheckSocketFolder(dir);
}

uint32_t CheckSocketFolder(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return LastErrorFromErrno();
  if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
  if ((st.st_mode & S_IWOTH) != 0 || (st.st_uid != ::geteuid() && st.st_uid != 0)) {
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

bool FillSocketAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

uint32_t ListeningSocket::Listen(const std::string& path, mode_t mode, int backlog, gid_t group) {
  Close();
  sockaddr_un address;
  if (!FillSocketAddress(path, address)) return kErrorInvalidName;
  if (uint32_t rc = PrepareSocketFolder(ExtractFileDir(path))) return rc;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return LastErrorFromErrno();
  const sockaddr* raw = reinterpret_cast<const sockaddr*>(&address);
  struct stat st;
  if (::bind(fd.get(), raw, sizeof address) != 0) {
    if (errno != EADDRINUSE) return LastErrorFromErrno();
    if (SocketIsLive(address)) return kErrorPipeBusy;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) return kErrorAlreadyExists;
    // A socket left behind by a server that ended without removing it.
    ::unlink(path.c_str());
    if (::bind(fd.get(), raw, sizeof address) != 0) {
      return errno == EADDRINUSE ? kErrorPipeBusy : LastErrorFromErrno();
    }
  }
  // Group and mode are set before listen(), so no client connects under the
  // umask's mode or the wrong group in between. A group first, then the mode:
  // chown may clear mode bits.
  if ((group != kKeepGroup && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
      ::chmod(path.c_str(), mode) != 0 || ::stat(path.c_str(), &st) != 0 ||
      ::listen(fd.get(), backlog) != 0) {
    uint32_t rc = LastErrorFromErrno();
    ::unlink(path.c_str());
    return rc;
  }
  fd_ = std::move(fd);
  path_ = path;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  return kErrorSuccess;
}

void ListeningSocket::Close() {
  if (fd_.get() < 0) return;
  fd_.reset();
  // Only our own file goes: a later server may have replaced it already.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
}

uint32_t ConnectSocket(const std::string& path, bool nonBlocking, UniqueFd& fd, int& err) {
  err = 0;
  sockaddr_un address;
  if (!FillSocketAddress(path, address)) return kErrorInvalidName;
  fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
  if (fd.get() < 0) {
    err = errno;
    return ErrorFromErrno(err);
  }
  int rc = RetryOnEintr([&] {
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  });
  if (rc == 0) return kErrorSuccess;
  err = errno;
  fd.reset();
  return ErrorFromErrno(err);
}

bool PeerUid(int fd, uid_t& uid) {
  ucred cred{};
  socklen_t size = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return false;
  uid = cred.uid;
  return true;
}

void SetSocketTimeouts(int fd, std::chrono::milliseconds timeout) {
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

uint32_t SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = RetryOnEintr([&] { return ::send(fd, p, size, MSG_NOSIGNAL); });
    if (n < 0) return LastErrorFromErrno();
    p += n;
    size -= static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

uint32_t ReceiveAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = RetryOnEintr([&] { return ::recv(fd, p, size, 0); });
    if (n == 0) return kErrorBrokenPipe;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kErrorTimeout;  // SO_RCVTIMEO ran out
      return LastErrorFromErrno();
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

TransferStep ReceiveSome(int fd, void* data, size_t size, size_t& got, uint32_t& error) {
  ssize_t n = RetryOnEintr([&] { return ::recv(fd, data, size, MSG_DONTWAIT); });
  if (n > 0) {
    got = static_cast<size_t>(n);
    return TransferStep::Done;
  }
  if (n == 0) return TransferStep::Closed;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return TransferStep::Again;
  error = LastErrorFromErrno();
  return TransferStep::Failed;
}

TransferStep SendSome(int fd, const void* data, size_t size, size_t& sent, uint32_t& error) {
  ssize_t n = RetryOnEintr([&] { return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
  if (n >= 0) {
    sent = static_cast<size_t>(n);
    return TransferStep::Done;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return TransferStep::Again;
  error = LastErrorFromErrno();
  return TransferStep::Failed;
}

void PutFrameLength(uint8_t* dest, uint32_t length) {
  for (size_t i = 0; i < kFrameHeaderSize; ++i) dest[i] = static_cast<uint8_t>(length >> (8 * i));
}

uint32_t GetFrameLength(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | static_cast<uint32_t>(src[1]) << 8 |
         static_cast<uint32_t>(src[2]) << 16 | static_cast<uint32_t>(src[3]) << 24;
}

int FrameSpans(iovec (&parts)[2], uint8_t* head, uint8_t* body, size_t bodySize, size_t done) {
  int count = 0;
  if (done < kFrameHeaderSize) parts[count++] = {head + done, kFrameHeaderSize - done};
  size_t bodyDone = done < kFrameHeaderSize ? 0 : done - kFrameHeaderSize;
  if (bodySize > bodyDone) parts[count++] = {body + bodyDone, bodySize - bodyDone};
  return count;
}

uint32_t SendFrame(int fd, const uint8_t* data, uint32_t size) {
  uint8_t head[kFrameHeaderSize];
  PutFrameLength(head, size);
  size_t total = kFrameHeaderSize + static_cast<size_t>(size);
  size_t sent = 0;
  while (sent < total) {
    iovec parts[2];
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen =
        static_cast<size_t>(FrameSpans(parts, head, const_cast<uint8_t*>(data), size, sent));
    ssize_t n = RetryOnEintr([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL); });
    if (n < 0) return LastErrorFromErrno();
    sent += static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

}  // namespace platform
