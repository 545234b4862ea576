#include "svcmgr/launch.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/syserror.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace svcmgr {
namespace {

constexpr int kServiceFd = 3;
constexpr int kErrorPipeFd = 4;

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// The child's last words before exec: the errno of the step that failed.
[[noreturn]] void ChildFail(int err, int fd = kErrorPipeFd) {
  ssize_t n;
  do {
    n = ::write(fd, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::_exit(127);
}

std::vector<std::string> ServiceEnvironment(const Account* account) {
  std::vector<std::string> own{"VIGILO_SCM_FD=" + std::to_string(kServiceFd)};
  if (account != nullptr) {
    own.push_back("HOME=" + account->home);
    own.push_back("USER=" + account->name);
    own.push_back("LOGNAME=" + account->name);
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('=') + 1);
    auto replaces = [&name](const std::string& o) { return o.rfind(name, 0) == 0; };
    if (std::none_of(own.begin(), own.end(), replaces)) env.push_back(std::move(entry));
  }
  env.insert(env.end(), own.begin(), own.end());
  return env;
}

}  // namespace

uint32_t LaunchService(const platform::ServiceRegistration& registration, LaunchedService& out) {
  if (registration.ImagePath.empty()) return platform::kErrorFileNotFound;
  Account account;
  bool withAccount = !registration.User.empty();
  if (withAccount) {
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* found = nullptr;
    if (::getpwnam_r(registration.User.c_str(), &entry, buffer.data(), buffer.size(), &found) !=
            0 ||
        found == nullptr) {
      return platform::kErrorServiceLogonFailed;
    }
    account = {found->pw_name, found->pw_uid, found->pw_gid, found->pw_dir};
  }

  // Everything the child needs is prepared here: after fork it only makes
  // system calls.
  std::vector<std::string> env = ServiceEnvironment(withAccount ? &account : nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = registration.ImagePath;
  char* argv[] = {path.data(), nullptr};

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return platform::LastErrorFromErrno();
  }
  platform::UniqueFd managerEnd(pair[0]), serviceEnd(pair[1]);
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) return platform::LastErrorFromErrno();
  platform::UniqueFd errorRead(errorPipe[0]), errorWrite(errorPipe[1]);

  pid_t pid = ::fork();
  if (pid < 0) return platform::LastErrorFromErrno();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setsid();
    // Move both descriptors out of the way first, so 3 and 4 are free.
    int service = ::fcntl(serviceEnd.get(), F_DUPFD_CLOEXEC, 10);
    int error = ::fcntl(errorWrite.get(), F_DUPFD_CLOEXEC, 10);
    if (service < 0 || error < 0 || ::dup3(error, kErrorPipeFd, O_CLOEXEC) < 0) {
      ChildFail(errno, errorWrite.get());
    }
    if (::dup2(service, kServiceFd) < 0) ChildFail(errno);  // dup2 clears close-on-exec
    ::close_range(kErrorPipeFd + 1, ~0U, 0);
    int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || ::dup2(null, 0) < 0) ChildFail(errno);
    if (null > kErrorPipeFd) ::close(null);
    if (::chdir("/") != 0) ChildFail(errno);
    if (withAccount) {
      if (::initgroups(account.name.c_str(), account.gid) != 0) ChildFail(errno);
      if (::setgid(account.gid) != 0) ChildFail(errno);
      if (::setuid(account.uid) != 0) ChildFail(errno);
    }
    ::execve(path.c_str(), argv, envp.data());
    ChildFail(errno);
  }

  errorWrite.reset();
  serviceEnd.reset();
  int childErr = 0;
  ssize_t n;
  do {
    n = ::read(errorRead.get(), &childErr, sizeof childErr);
  } while (n < 0 && errno == EINTR);
  if (n != 0) {
    // The child failed before exec (or died doing so): collect it now.
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return n == sizeof childErr ? platform::ErrorFromErrno(childErr) : platform::kErrorGenFailure;
  }
  ::fcntl(managerEnd.get(), F_SETFL, ::fcntl(managerEnd.get(), F_GETFL) | O_NONBLOCK);
  out.pid = pid;
  out.fd = managerEnd.release();
  return platform::kErrorSuccess;
}

}  // namespace svcmgr
