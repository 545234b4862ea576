#include "svcmgr/launch.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace svcmgr {
namespace {

constexpr int kServiceFd = 3;
constexpr int kLockFd = 5;

using platform::Account;
using platform::RetryOnEintr;

// Returned by the child in place of an errno when root could be regained
// after the drop to the service's account: the launch fails as a logon failure.
constexpr int kDropDidNotHold = -1;

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

// The account the service runs as, with its groups looked up before the
// fork: the child cannot read the account databases.
struct ServiceAccount {
  Account account;
  std::vector<gid_t> groups;
};

// Locks `lockPath` for the new process; kErrorServiceAlreadyRunning when a
// previous process still holds it.
uint32_t LockForNewProcess(const std::string& lockPath, platform::UniqueFd& lock) {
  lock.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (lock.get() < 0) return platform::LastErrorFromErrno();
  if (RetryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return errno == EWOULDBLOCK ? platform::kErrorServiceAlreadyRunning
                                : platform::LastErrorFromErrno();
  }
  return platform::kErrorSuccess;
}

// Becomes `service.account`: its groups (so that none of root's stay), its
// group, its user. Then, as OpenSSH does, makes sure the way back to root is
// closed: a drop that did not hold fails the launch.
int ChildBecome(const ServiceAccount& service) {
  const Account& account = service.account;
  if (::setgroups(service.groups.size(), service.groups.data()) != 0) return errno;
  if (::setgid(account.gid) != 0) return errno;
  if (::setuid(account.uid) != 0) return errno;
  if (account.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) return kDropDidNotHold;
  if (account.uid != 0 && account.gid != 0 && (::setgid(0) == 0 || ::setegid(0) == 0)) {
    return kDropDidNotHold;
  }
  return 0;
}

// The service's process: its socket as kServiceFd, the lock as kLockFd,
// standard input on /dev/null, our standard output and error; its own
// session, the root folder as its working one, then its account.
uint32_t StartServiceProcess(const std::string& path, std::vector<std::string> env,
                             const std::optional<ServiceAccount>& account, int serviceEnd, int lock,
                             pid_t& pid) {
  platform::UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (null.get() < 0) return platform::LastErrorFromErrno();
  platform::SpawnRequest request{
      path,
      {path},
      std::move(env),
      {{0, null.get()}, {1, 1}, {2, 2}, {kServiceFd, serviceEnd}, {kLockFd, lock}},
      {[] {
         ::setsid();
         return 0;
       },
       [] { return ::chdir("/") == 0 ? 0 : errno; }}};
  if (account) request.steps.push_back([&account] { return ChildBecome(*account); });
  int childErr = 0;
  const uint32_t rc = platform::Spawn(request, pid, &childErr);
  return childErr == kDropDidNotHold ? platform::kErrorServiceLogonFailed : rc;
}

// The pid, for people looking at the folder; the lock is what counts, so a
// failure here leaves the running process as it is.
void RecordPid(int lock, pid_t pid) {
  std::string record = std::to_string(pid) + "\n";
  if (::ftruncate(lock, 0) == 0) {
    [[maybe_unused]] ssize_t written = ::pwrite(lock, record.data(), record.size(), 0);
  }
}

}  // namespace

bool PreviousProcessAlive(const std::string& lockPath) {
  platform::UniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  int rc = RetryOnEintr([&] { return ::flock(fd.get(), LOCK_SH | LOCK_NB); });
  return rc != 0 && errno == EWOULDBLOCK;
}

uint32_t LaunchService(const platform::ServiceRegistration& registration,
                       const std::string& lockPath, LaunchedService& out) {
  if (registration.ImagePath.empty()) return platform::kErrorFileNotFound;
  // The service process holds this lock for as long as it lives, whichever
  // manager started it: a manager started again after a crash finds it.
  platform::UniqueFd lock;
  if (uint32_t err = LockForNewProcess(lockPath, lock)) return err;
  std::optional<ServiceAccount> account;
  if (!registration.User.empty()) {
    std::optional<Account> found = platform::LookUpAccount(registration.User);
    if (!found) return platform::kErrorServiceLogonFailed;
    std::optional<std::vector<gid_t>> groups = platform::GroupsOf(*found);
    if (!groups) return platform::kErrorServiceLogonFailed;
    account = ServiceAccount{std::move(*found), std::move(*groups)};
  }
  std::vector<std::string> env =
      ServiceEnvironment(registration, account ? &account->account : nullptr);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return platform::LastErrorFromErrno();
  }
  platform::UniqueFd managerEnd(pair[0]), serviceEnd(pair[1]);
  pid_t pid = -1;
  if (uint32_t err = StartServiceProcess(registration.ImagePath, std::move(env), account,
                                         serviceEnd.get(), lock.get(), pid)) {
    return err;
  }
  serviceEnd.reset();
  ::fcntl(managerEnd.get(), F_SETFL, ::fcntl(managerEnd.get(), F_GETFL) | O_NONBLOCK);
  RecordPid(lock.get(), pid);
  out.pid = pid;
  out.fd = std::move(managerEnd);
  return platform::kErrorSuccess;
}

}  // namespace svcmgr
