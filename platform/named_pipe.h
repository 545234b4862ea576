// Named pipes, in place of the Windows message-mode pipes.
//
// A pipe "\\.\pipe\NAME" is the AF_UNIX stream socket
// $VIGILO_RUNTIME_DIR/pipe/<NAME in lower case> (default folder /run/vigilo).
// Each message travels as a 4-byte little-endian length and that many bytes,
// at most kPipeMessageLimit, so a reader gets a message whole or not at all.
// A server accepts every connection at once and first sends one token byte:
// 'A' when one of its instances takes the client, 'B' (and closes) when none
// may take it (see PipeServerSystem for who may hold how many). Clients read
// the token before they send.
//
// Names may not be empty nor hold "/", ".." or NUL (kErrorInvalidName).
// Errors are codes of platform/syserror.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

constexpr uint32_t kPipeMessageLimit = 16384;
// The token a server sends first on every connection it takes.
constexpr uint8_t kPipeTokenAccepted = 'A';
constexpr uint8_t kPipeTokenBusy = 'B';
// A server has at most this many instances: with its stop event the wait
// covers 64 objects, the most WaitForMultipleObjects accepts.
constexpr int kPipeMaxInstances = 63;

// The slots of a server of `maxInstances` instances (0 to kPipeMaxInstances):
// one more than the instances, so that the clients of one kind of user (see
// PipeServerSystem) never hold every slot; none for a server of none.
constexpr int PipeSlotCount(int maxInstances) {
  return maxInstances > 0 ? maxInstances + 1 : 0;
}
constexpr int kPipeMaxSlots = PipeSlotCount(kPipeMaxInstances);

// A client has this long after its connect, and after each answer, to send
// its whole next request; then the server drops it. Idle clients of any user
// would otherwise hold every instance for good.
constexpr std::chrono::milliseconds kPipeRequestTime{5000};

// Who may connect to a server's pipe. OpenToEveryone: every local user,
// socket mode 0666. Default: the owner of the process, root and the members
// of the administrators' group (platform/accounts), mode 0660 with that
// group; mode 0600 when the group does not exist, or when this process may
// not give its socket to it (a service user outside the group).
struct PipeSecurityAttributes {
  bool OpenToEveryone = false;
};

// The socket file of pipe `name`. Fails with kErrorInvalidName for a bad name.
uint32_t PipeSocketPath(const std::string& name, std::string& path);
// The same below the runtime folder `runtimeDir` (of another PC, or the local
// mirror of its folder).
uint32_t PipeSocketPathIn(const std::string& runtimeDir, const std::string& name,
                          std::string& path);

// The parts of a pipe path "\\PC\pipe\NAME" ("pipe" in any case): the machine,
// empty for this PC ("."), and the pipe's name. Fails with kErrorInvalidName
// for anything that is no pipe path or holds a bad name.
uint32_t SplitPipePath(const std::string& pipePath, std::string& machine, std::string& name);

// The name of the local pipe path "\\.\pipe\NAME" ("pipe" in any case).
// Fails with kErrorBadNetPath for a path on another machine ("\\PC\pipe\..."),
// kErrorInvalidName for anything else that is no pipe path or a bad name.
uint32_t LocalPipeName(const std::string& pipePath, std::string& name);

// A manual-reset event that a pipe server's wait covers: not set when
// created, set for good by Set(). Set() and IsSet() are safe from any thread.
class PipeEvent {
 public:
  // Throws SystemError when the system has no descriptor left.
  PipeEvent();
  ~PipeEvent();
  PipeEvent(const PipeEvent&) = delete;
  PipeEvent& operator=(const PipeEvent&) = delete;

  void Set();
  bool IsSet() const;
  // Waits until the event is set or `timeout` has passed; true when set.
  bool WaitFor(std::chrono::milliseconds timeout) const;
  // For the wait of a pipe server.
  int Descriptor() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::atomic<bool> set_{false};
};

// The outcome of an operation started on a pipe instance. Done: finished at
// once; Pending: it goes on, and the instance is signalled when it has
// finished (GetResult collects it); Failed: the error tells why.
enum class PipeIo { Done, Pending, Failed };

// The server side of one pipe: one listening socket and the slots
// 0 .. PipeSlotCount(maxInstances) - 1, each holding at most one client and
// one operation. Used by a single thread. Like overlapped operations, a
// pending read or write keeps using the caller's buffer until it is collected
// or cancelled.
//
// Fairness by the caller's user, as the kernel recorded it at the connect
// (SO_PEERCRED): root and the server's own user (its effective uid) are one
// kind, every other user the other. Each kind holds at most maxInstances
// slots at a time, and each user of the second kind at most one: a further
// connection of that user is refused at once ('B'). With the extra slot, no
// number of connections of other users locks root and the service's user
// out, nor one user the others. A client that has hung up no longer counts.
class PipeServerSystem {
 public:
  virtual ~PipeServerSystem() = default;

  // Creates slot `index`. The first slot created binds the socket, sets its
  // mode and listens; a stale socket file (nobody listening) is replaced, a
  // live one (another server's, of any process) fails with kErrorBusy: the
  // name is in use.
  virtual uint32_t CreateInstance(int index) = 0;
  // Drops the slot's client and operation and frees the slot; the last slot
  // freed closes the socket and removes its file.
  virtual void CloseInstance(int index) = 0;

  // Listens for a client. Done: a client was waiting and has been taken;
  // Pending: the slot takes the next client that connects and may hold it.
  // A client that cannot be taken (no descriptor left) ends the pending
  // connect with that error, and accepting pauses for a moment. Fails only
  // for a bad slot.
  virtual PipeIo Connect(int index, uint32_t& error) = 0;
  // Reads one message of at most `size` bytes into `buffer`. A longer one
  // fails with kErrorMoreData; a closed connection with kErrorBrokenPipe; a
  // message not whole within the request time (after the connect or the last
  // write) with kErrorTimeout. An operation that finishes at once also
  // signals the slot.
  virtual PipeIo Read(int index, uint8_t* buffer, uint32_t size, uint32_t& count,
                      uint32_t& error) = 0;
  // Writes `size` bytes (at most kPipeMessageLimit) as one message.
  virtual PipeIo Write(int index, const uint8_t* data, uint32_t size, uint32_t& count,
                       uint32_t& error) = 0;
  // The outcome of the slot's last operation: true and the byte count, or
  // false and the error (kErrorIoIncomplete while it is still running).
  virtual bool GetResult(int index, uint32_t& count, uint32_t& error) = 0;
  // Drops the slot's client and cancels its operation; the slot stays.
  virtual void Disconnect(int index) = 0;
  // Signals the slot, as if an operation had finished.
  virtual void Signal(int index) = 0;

  // Waits, without time-out, until `stop` is set or one of the slots
  // 0 .. count - 1 is signalled, and clears that slot's signal. Returns 0 for
  // `stop`, else 1 + the lowest signalled slot; -1 with `error` when the wait
  // itself fails. Clients that connect while no slot listens are refused.
  virtual int Wait(const PipeEvent& stop, int count, uint32_t& error) = 0;
};

// The server of the pipe path `pipePath` ("\\.\pipe\NAME") on sockets. The
// runtime folder is read here; nothing touches the file system before the
// first CreateInstance, which reports a bad path, and looks the
// administrators' group up. `requestTime` bounds the wait for each request
// (see kPipeRequestTime).
std::unique_ptr<PipeServerSystem> CreatePipeServerSystem(
    const std::string& pipePath, int maxInstances, const PipeSecurityAttributes* security,
    std::chrono::milliseconds requestTime = kPipeRequestTime);

// One exchange, as CallNamedPipe with NMPWAIT_NOWAIT: connects to `pipePath`,
// sends `request` as one message, receives one answer of at most `answerSize`
// bytes into `answer`, and disconnects. Returns 0, or: kErrorFileNotFound when
// no server listens, kErrorPipeBusy when all its instances are busy,
// kErrorAccessDenied when the socket is closed to this user, kErrorBadNetPath
// for another PC that cannot be reached (platform/remote; there every wait is
// bounded by kRemoteReplyTime, kErrorTimeout), kErrorMoreData when the answer is longer (the first
// `answerSize` bytes are then in `answer`). Blocks while the server works.
uint32_t CallNamedPipe(const std::string& pipePath, const uint8_t* request, uint32_t requestSize,
                       uint8_t* answer, uint32_t answerSize, uint32_t& answerCount);

}  // namespace platform
