#include "platform/scm.h"

#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/remote.h"
#include "platform/scm_wire.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

using scmwire::Op;

// The manager answers at once except for an interrogate, which it holds until
// the service answers (at most its own time-out); this bounds a hung manager.
constexpr std::chrono::milliseconds kExchangeTime{90000};

// Where a manager answers: its socket on this PC, or another PC's reached
// through the forwarding to it, looked up at every call (the forwarding may
// have been started again since).
struct ManagerPlace {
  std::string machine;     // empty: this PC
  std::string socketPath;  // this PC's
};

class ManagerHandle : public ScHandle {
 public:
  explicit ManagerHandle(ManagerPlace place) : place(std::move(place)) {}
  ManagerPlace place;
};

class ServiceHandle : public ScHandle {
 public:
  ServiceHandle(ManagerPlace place, std::string name, uint32_t access)
      : place(std::move(place)), name(std::move(name)), access(access) {}
  ManagerPlace place;
  std::string name;
  uint32_t access;
};

uint32_t ConnectError(int err) {
  // No socket, or a socket nobody listens on: the manager is not running.
  if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR) return kErrorRpcServerUnavailable;
  return ErrorFromErrno(err);
}

// One request, one answer; `answer` is positioned after the error code.
uint32_t Exchange(const ManagerPlace& place, const std::string& request, std::string& answer) {
  const bool remote = !place.machine.empty();
  std::string socketPath = place.socketPath;
  if (remote) {
    if (uint32_t err = SystemRemoteForwardings().ScmSocket(place.machine, socketPath)) return err;
  }
  UniqueFd sock;
  int connectErr = 0;
  if (uint32_t err = ConnectSocket(socketPath, false, sock, connectErr)) {
    return connectErr != 0 ? ConnectError(connectErr) : err;
  }
  // Another PC's calls run on the control program's GUI thread: a link that
  // hangs may hold it only briefly.
  SetSocketTimeouts(sock.get(), remote ? kRemoteReplyTime : kExchangeTime);
  uint32_t err = scmwire::SendFrame(sock.get(), request);
  if (err == kErrorSuccess) err = scmwire::ReceiveFrame(sock.get(), answer);
  // ssh accepts for the other PC at once and closes when nothing listens
  // there, before or after the request went.
  if (remote && err == kErrorBrokenPipe) return kErrorRpcServerUnavailable;
  return err;
}

// Sends `request` and reads the error code and, when `status` is given and the
// call succeeded, the status that follows it.
uint32_t Call(const ManagerPlace& place, const scmwire::Writer& request, ServiceStatus* status) {
  std::string answer;
  if (uint32_t err = Exchange(place, request.Data(), answer)) return err;
  scmwire::Reader reader(answer);
  uint32_t code = 0;
  if (!reader.U32(code)) return kErrorInvalidParameter;
  if (code == kErrorSuccess && status != nullptr && !reader.Status(*status)) {
    return kErrorInvalidParameter;
  }
  return code;
}

class SocketClient : public ServiceManagerClient {
 public:
  uint32_t OpenSCManager(const std::string& machineName, uint32_t desiredAccess,
                         ScHandlePtr& manager) override {
    manager.reset();
    ManagerPlace place{RemoteMachineName(machineName), ""};
    if (place.machine.empty()) place.socketPath = ScmSocketPath();
    if (uint32_t err = Call(place, scmwire::Writer(Op::OpenManager).U32(desiredAccess), nullptr)) {
      return err;
    }
    manager = std::make_unique<ManagerHandle>(place);
    return kErrorSuccess;
  }

  uint32_t OpenService(ScHandle& manager, const std::string& serviceName, uint32_t desiredAccess,
                       ScHandlePtr& service) override {
    service.reset();
    auto* m = dynamic_cast<ManagerHandle*>(&manager);
    if (m == nullptr) return kErrorInvalidHandle;
    if (uint32_t err =
            Call(m->place, scmwire::Writer(Op::OpenService).Text(serviceName).U32(desiredAccess),
                 nullptr)) {
      return err;
    }
    service = std::make_unique<ServiceHandle>(m->place, serviceName, desiredAccess);
    return kErrorSuccess;
  }

  uint32_t QueryServiceStatus(ScHandle& service, ServiceStatus& status) override {
    auto* s = dynamic_cast<ServiceHandle*>(&service);
    if (s == nullptr) return kErrorInvalidHandle;
    return Call(s->place, scmwire::Writer(Op::QueryStatus).Text(s->name).U32(s->access), &status);
  }

  uint32_t StartService(ScHandle& service) override {
    auto* s = dynamic_cast<ServiceHandle*>(&service);
    if (s == nullptr) return kErrorInvalidHandle;
    return Call(s->place, scmwire::Writer(Op::Start).Text(s->name).U32(s->access), nullptr);
  }

  uint32_t ControlService(ScHandle& service, uint32_t control, ServiceStatus& status) override {
    auto* s = dynamic_cast<ServiceHandle*>(&service);
    if (s == nullptr) return kErrorInvalidHandle;
    return Call(s->place, scmwire::Writer(Op::Control).Text(s->name).U32(s->access).U32(control),
                &status);
  }
};

}  // namespace

ServiceManagerClient& SystemServiceManager() {
  static SocketClient client;
  return client;
}

std::string ScmSocketPath() {
  return JoinPath(RuntimeDir(), "scm.sock");
}

}  // namespace platform
