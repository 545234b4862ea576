#include "svcmgr/launch.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace svcmgr {
namespace {

constexpr int kServiceFd = 3;
constexpr int kErrorPipeFd = 4;
constexpr int kLockFd = 5;

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

constexpr char kLocaleFile[] = "/etc/default/locale";

bool IsLocaleVariable(const std::string& name) {
  return name == "LANG" || name.rfind("LC_", 0) == 0;
}

// The NAME= part of an entry NAME=value.
std::string EntryName(const std::string& entry) {
  return entry.substr(0, entry.find('=') + 1);
}

// LANG and LC_* of the machine's locale file, as a system service gets them:
// shell-style lines NAME=value, the value perhaps quoted, "#" comments.
// nullopt when the file cannot be read. VIGILO_LOCALE_FILE names another
// file (tests).
std::optional<std::vector<std::string>> MachineLocale() {
  std::string path = platform::GetEnvironmentVariable("VIGILO_LOCALE_FILE");
  std::string text;
  if (platform::ReadWholeFile(path.empty() ? kLocaleFile : path, text, 65536) != 0) {
    return std::nullopt;
  }
  std::vector<std::string> entries;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!line.empty() && blank(line.front())) line.erase(0, 1);
    while (!line.empty() && blank(line.back())) line.pop_back();
    if (line.rfind("export ", 0) == 0) line.erase(0, 7);
    size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    std::string name = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (IsLocaleVariable(name)) entries.push_back(name + "=" + value);
  }
  return entries;
}

// The manager's environment, the machine's locale in place of the manager's
// own, then the registration's variables, then the manager's own entries.
std::vector<std::string> ServiceEnvironment(const platform::ServiceRegistration& registration,
                                            const Account* account) {
  std::vector<std::string> own{"VIGILO_SCM_FD=" + std::to_string(kServiceFd),
                               "VIGILO_SCM_LOCK_FD=" + std::to_string(kLockFd)};
  if (account != nullptr) {
    own.push_back("HOME=" + account->home);
    own.push_back("USER=" + account->name);
    own.push_back("LOGNAME=" + account->name);
  }
  std::optional<std::vector<std::string>> locale = MachineLocale();
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = EntryName(entry);
    if (locale && IsLocaleVariable(name.substr(0, name.size() - 1))) continue;
    env.push_back(std::move(entry));
  }
  // Later entries replace earlier ones of the same name.
  auto put = [&env](const std::string& entry) {
    std::string name = EntryName(entry);
    std::erase_if(env, [&name](const std::string& e) { return e.rfind(name, 0) == 0; });
    env.push_back(entry);
  };
  if (locale) {
    for (const std::string& entry : *locale) put(entry);
  }
  for (const std::string& entry : platform::RegistrationEnvironment(registration.Environment)) {
    put(entry);
  }
  for (const std::string& entry : own) put(entry);
  return env;
}

}  // namespace

bool PreviousProcessAlive(const std::string& lockPath) {
  platform::UniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  int rc;
  do {
    rc = ::flock(fd.get(), LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc != 0 && errno == EWOULDBLOCK;
}

uint32_t LaunchService(const platform::ServiceRegistration& registration,
                       const std::string& lockPath, LaunchedService& out) {
  if (registration.ImagePath.empty()) return platform::kErrorFileNotFound;
  // The service process holds this lock for as long as it lives, whichever
  // manager started it: a manager started again after a crash finds it.
  platform::UniqueFd lock(
      ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (lock.get() < 0) return platform::LastErrorFromErrno();
  int locked;
  do {
    locked = ::flock(lock.get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    return errno == EWOULDBLOCK ? platform::kErrorServiceAlreadyRunning
                                : platform::LastErrorFromErrno();
  }
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
  std::vector<std::string> env = ServiceEnvironment(registration, withAccount ? &account : nullptr);
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
    // Move the descriptors out of the way first, so 3 to 5 are free.
    int service = ::fcntl(serviceEnd.get(), F_DUPFD_CLOEXEC, 10);
    int error = ::fcntl(errorWrite.get(), F_DUPFD_CLOEXEC, 10);
    int held = ::fcntl(lock.get(), F_DUPFD_CLOEXEC, 10);
    if (service < 0 || error < 0 || held < 0 || ::dup3(error, kErrorPipeFd, O_CLOEXEC) < 0) {
      ChildFail(errno, errorWrite.get());
    }
    // dup2 clears close-on-exec: the service keeps its socket and its lock.
    if (::dup2(service, kServiceFd) < 0 || ::dup2(held, kLockFd) < 0) ChildFail(errno);
    ::close_range(kLockFd + 1, ~0U, 0);
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
  // The pid, for people looking at the folder; the lock is what counts.
  std::string record = std::to_string(pid) + "\n";
  if (::ftruncate(lock.get(), 0) != 0 ||
      ::pwrite(lock.get(), record.data(), record.size(), 0) < 0) {
    // Only the record is missing; the process runs and holds the lock.
  }
  out.pid = pid;
  out.fd = std::move(managerEnd);
  return platform::kErrorSuccess;
}

}  // namespace svcmgr
