// AF_UNIX stream sockets on paths, as the pipes and the service manager use
// them: the runtime folder, listening on a socket file, blocking transfers and
// the framing of messages (a 4-byte little-endian length, then the bytes).
//
// Errors are codes of platform/syserror. EINTR is retried everywhere: a
// signal before any byte moved is no failure of the transfer.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// $VIGILO_RUNTIME_DIR, default /run/vigilo: scm.sock and the pipe/ folder.
std::string RuntimeDir();

// Creates the folder `dir` and its missing parents with mode 0755 whatever
// the umask, then checks `dir` as CheckSocketFolder does. Returns 0 or the
// error code.
uint32_t PrepareSocketFolder(const std::string& dir);

// Refuses (kErrorAccessDenied) a folder that others may write or that a user
// other than this process's user and root owns: anyone could put a socket of
// their own in place of ours there.
uint32_t CheckSocketFolder(const std::string& dir);

// Fills `address` with `path`; false when the path does not fit.
bool FillSocketAddress(const std::string& path, sockaddr_un& address);

// A socket listening on a path, and the identity of its file.
class ListeningSocket {
 public:
  ListeningSocket() = default;
  ~ListeningSocket() { Close(); }
  ListeningSocket(ListeningSocket&&) = delete;
  ListeningSocket& operator=(ListeningSocket&&) = delete;

  // Prepares the socket's folder (PrepareSocketFolder), binds a non-blocking
  // close-on-exec socket to `path`, gives the file `mode` (and the group
  // `group`, unless kKeepGroup) before it listens, and listens. A stale
  // socket file (nobody answers) is replaced; a live one fails with
  // kErrorPipeBusy, a file that is no socket with kErrorAlreadyExists, a path
  // too long with kErrorInvalidName, a group this process may not give the
  // file to with kErrorAccessDenied.
  static constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);
  uint32_t Listen(const std::string& path, mode_t mode, int backlog, gid_t group = kKeepGroup);
  // Closes the socket and removes its file, when the file is still ours.
  void Close();

  int get() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// Connects a close-on-exec socket to `path`. Returns 0, or the errno of the
// failed step in `err` with its code (callers name an absent server their way).
uint32_t ConnectSocket(const std::string& path, bool nonBlocking, UniqueFd& fd, int& err);

// The user of the process that connected `fd`, as the kernel recorded it at
// the connect (SO_PEERCRED); false when it cannot be read.
bool PeerUid(int fd, uid_t& uid);

// Bounds every later send and receive on `fd` (SO_SNDTIMEO, SO_RCVTIMEO).
void SetSocketTimeouts(int fd, std::chrono::milliseconds timeout);

// Sends all `size` bytes on a blocking socket, never raising SIGPIPE.
uint32_t SendAll(int fd, const void* data, size_t size);
// Receives exactly `size` bytes on a blocking socket. The peer closing first
// is kErrorBrokenPipe; a receive time-out (SO_RCVTIMEO) is kErrorTimeout.
uint32_t ReceiveAll(int fd, void* data, size_t size);

// One step of a transfer on a socket, without waiting: Done (some bytes
// moved), Again (nothing could move now), Closed (the peer closed; receives
// only) or Failed (the error tells why).
enum class TransferStep { Done, Again, Closed, Failed };
// Receives up to `size` bytes into `data`; `got` is their number when Done.
TransferStep ReceiveSome(int fd, void* data, size_t size, size_t& got, uint32_t& error);
// Sends up to `size` bytes, never raising SIGPIPE; `sent` is their number when Done.
TransferStep SendSome(int fd, const void* data, size_t size, size_t& sent, uint32_t& error);

// The framing: the length of a message as 4 little-endian bytes.
constexpr size_t kFrameHeaderSize = 4;
void PutFrameLength(uint8_t* dest, uint32_t length);
uint32_t GetFrameLength(const uint8_t* src);

// Sends `size` bytes as one frame on a blocking socket.
uint32_t SendFrame(int fd, const uint8_t* data, uint32_t size);

// The spans of a frame still to go once `done` of its bytes (the header first,
// then the body) have gone; returns their number (0 when all have gone).
int FrameSpans(iovec (&parts)[2], uint8_t* head, uint8_t* body, size_t bodySize, size_t done);

}  // namespace platform
