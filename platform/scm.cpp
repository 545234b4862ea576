#include "platform/scm.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/scm_wire.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

using scmwire::Op;

// The manager answers at once except for an interrogate, which it holds until
// the service answers (at most its own time-out); this bounds a hung manager.
constexpr int kExchangeTimeoutSeconds = 90;

class ManagerHandle : public ScHandle {
 public:
  explicit ManagerHandle(std::string socketPath) : socketPath(std::move(socketPath)) {}
  std::string socketPath;
};

class ServiceHandle : public ScHandle {
 public:
  ServiceHandle(std::string socketPath, std::string name, uint32_t access)
      : socketPath(std::move(socketPath)), name(std::move(name)), access(access) {}
  std::string socketPath;
  std::string name;
  uint32_t access;
};

uint32_t ConnectError(int err) {
  // No socket, or a socket nobody listens on: the manager is not running.
  if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR) return kErrorRpcServerUnavailable;
  return ErrorFromErrno(err);
}

// One request, one answer; `answer` is positioned after the error code.
uint32_t Exchange(const std::string& socketPath, const std::string& request, std::string& answer) {
  UniqueFd sock;
  int connectErr = 0;
  if (uint32_t err = ConnectSocket(socketPath, false, sock, connectErr)) {
    return connectErr != 0 ? ConnectError(connectErr) : err;
  }
  timeval timeout{kExchangeTimeoutSeconds, 0};
  ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (uint32_t err = scmwire::SendFrame(sock.get(), request)) return err;
  if (uint32_t err = scmwire::ReceiveFrame(sock.get(), answer)) return err;
  return kErrorSuccess;
}

// Sends `request` and reads the error code and, when `status` is given and the
// call succeeded, the status that follows it.
uint32_t Call(const std::string& socketPath, const scmwire::Writer& request,
              ServiceStatus* status) {
  std::string answer;
  if (uint32_t err = Exchange(socketPath, request.Data(), answer)) return err;
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
    if (!machineName.empty()) return kErrorBadNetPath;
    std::string path = ScmSocketPath();
    if (uint32_t err = Call(path, scmwire::Writer(Op::OpenManager).U32(desiredAccess), nullptr)) {
      return err;
    }
    manager = std::make_unique<ManagerHandle>(path);
    return kErrorSuccess;
  }

  uint32_t OpenService(ScHandle& manager, const std::string& serviceName, uint32_t desiredAccess,
                       ScHandlePtr& service) override {
    service.reset();
    auto* m = dynamic_cast<ManagerHandle*>(&manager);
    if (m == nullptr) return kErrorInvalidHandle;
    if (uint32_t err =
            Call(m->socketPath,
                 scmwire::Writer(Op::OpenService).Text(serviceName).U32(desiredAccess), nullptr)) {
      return err;
    }
    service = std::make_unique<ServiceHandle>(m->socketPath, serviceName, desiredAccess);
    return kErrorSuccess;
  }

  uint32_t QueryServiceStatus(ScHandle& service, ServiceStatus& status) override {
    auto* s = dynamic_cast<ServiceHandle*>(&service);
    if (s == nullptr) return kErrorInvalidHandle;
    return Call(s->socketPath, scmwire::Writer(Op::QueryStatus).Text(s->name).U32(s->access),
                &status);
  }

  uint32_t StartService(ScHandle& service) override {
    auto* s = dynamic_cast<ServiceHandle*>(&service);
    if (s == nullptr) return kErrorInvalidHandle;
    return Call(s->socketPath, scmwire::Writer(Op::Start).Text(s->name).U32(s->access), nullptr);
  }

  uint32_t ControlService(ScHandle& service, uint32_t control, ServiceStatus& status) override {
    auto* s = dynamic_cast<ServiceHandle*>(&service);
    if (s == nullptr) return kErrorInvalidHandle;
    return Call(s->socketPath,
                scmwire::Writer(Op::Control).Text(s->name).U32(s->access).U32(control), &status);
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
