#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace platform {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// What the child uses, all of it allocated before fork.
struct ChildPlan {
  const SpawnRequest& request;
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::vector<int> copies;  // the child's copies of the sources, one per ChildFd
  int firstFree;            // above every target: where the copies go
  int fdLimit;              // the soft RLIMIT_NOFILE: above every descriptor we could open
  int report;               // the pipe's writing end
};

// The child's last words: `err` to the parent, which reaps it.
[[noreturn]] void ChildFail(int report, int err) {
  RetryOnEintr([&] { return ::write(report, &err, sizeof err); });
  ::_exit(127);
}

bool IsTarget(const std::vector<ChildFd>& fds, int fd) {
  for (const ChildFd& childFd : fds) {
    if (childFd.target == fd) return true;
  }
  return false;
}

// Every source is first copied above the targets, so that setting one target
// cannot close the source of another (or the report pipe). dup2 clears
// close-on-exec on the target; every descriptor that is not a target gets it.
int ArrangeDescriptors(ChildPlan& plan) {
  const std::vector<ChildFd>& fds = plan.request.fds;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].source == fds[i].target) continue;
    plan.copies[i] = ::fcntl(fds[i].source, F_DUPFD_CLOEXEC, plan.firstFree);
    if (plan.copies[i] < 0) return errno;
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].source == fds[i].target) {
      if (::fcntl(fds[i].target, F_GETFD) >= 0 && ::fcntl(fds[i].target, F_SETFD, 0) != 0) {
        return errno;
      }
    } else if (::dup2(plan.copies[i], fds[i].target) < 0) {
      return errno;
    }
  }
  for (int fd = 0; fd < plan.firstFree; ++fd) {
    if (!IsTarget(fds, fd)) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  // close_range is missing before Linux 5.11 (ENOSYS, or EINVAL for the
  // flag); then one at a time up to the limit, each closed one failing harmlessly.
  if (::close_range(static_cast<unsigned>(plan.firstFree), ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = plan.firstFree; fd < plan.fdLimit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return 0;
}

// Read before fork: getrlimit is not among the async-signal-safe calls. When
// it cannot tell, the kernel's default ceiling (fs.nr_open).
int DescriptorLimit() {
  constexpr int kDefaultCeiling = 1 << 20;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(std::numeric_limits<int>::max())) {
    return kDefaultCeiling;
  }
  return static_cast<int>(limit.rlim_cur);
}

// Every signal back to its default action, ignored ones too: the program
// starts as if from a fresh login, not with what this process chose. Runs
// while every signal is blocked, so that none reaches one of our handlers in
// the child first. SIGKILL, SIGSTOP and the C library's own refuse; they are
// default already.
void ResetDispositions() {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int signal = 1; signal < _NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
}

[[noreturn]] void RunChild(ChildPlan& plan) {
  ResetDispositions();
  const int report = ::fcntl(plan.report, F_DUPFD_CLOEXEC, plan.firstFree);
  if (report < 0) ChildFail(plan.report, errno);
  plan.report = report;
  if (int err = ArrangeDescriptors(plan)) ChildFail(report, err);
  for (const ChildStep& step : plan.request.steps) {
    if (int err = step()) ChildFail(report, err);
  }
  // Last, so that a signal sent to the child before exec (a death signal set
  // by a step, say) takes its default action here or stays pending for the
  // program.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(plan.request.program.c_str(), plan.argv.data(),
           plan.request.env ? plan.envp.data() : environ);
  ChildFail(report, errno);
}

// Waits until the child runs its program (the pipe closes at exec) or has
// failed before (it sends an errno, then ends and is reaped here).
uint32_t AwaitExec(pid_t child, int reportRead, pid_t& pid, int* childError) {
  int err = 0;
  const ssize_t n = RetryOnEintr([&] { return ::read(reportRead, &err, sizeof err); });
  if (n == 0) {
    pid = child;
    return kErrorSuccess;
  }
  if (n < 0) ::kill(child, SIGKILL);  // no word from it: it must not run on unseen
  RetryOnEintr([&] { return ::waitpid(child, nullptr, 0); });
  if (n != static_cast<ssize_t>(sizeof err)) return kErrorGenFailure;
  if (childError != nullptr) *childError = err;
  return err < 0 ? kErrorGenFailure : ErrorFromErrno(err);
}

}  // namespace

uint32_t Spawn(const SpawnRequest& request, pid_t& pid, int* childError) {
  pid = -1;
  if (childError != nullptr) *childError = 0;
  ChildPlan plan{request,
                 request.args,
                 request.env.value_or(std::vector<std::string>{}),
                 {},
                 {},
                 std::vector<int>(request.fds.size(), -1),
                 3,
                 DescriptorLimit(),
                 -1};
  plan.argv = Pointers(plan.args);
  plan.envp = Pointers(plan.env);
  for (const ChildFd& fd : request.fds) plan.firstFree = std::max(plan.firstFree, fd.target + 1);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return LastErrorFromErrno();
  UniqueFd reportRead(report[0]), reportWrite(report[1]);
  plan.report = reportWrite.get();
  // The child starts with every signal blocked until its handlers are reset.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = ::fork();
  if (child == 0) RunChild(plan);
  const int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) return ErrorFromErrno(forkErrno);
  reportWrite.reset();
  return AwaitExec(child, reportRead.get(), pid, childError);
}

namespace {

// access(X_OK) alone also takes a folder (always so for root): only a
// regular file that exec can run will do.
bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string ProgramOnPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  std::string path = GetEnvironmentVariable("PATH");
  if (path.empty()) path = "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    // An empty entry would mean the working folder, which a root process
    // must never search.
    if (end > start) {
      std::string candidate = JoinPath(path.substr(start, end - start), program);
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return program;
}

}  // namespace platform
