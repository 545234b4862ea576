#include "platform/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "platform/process.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_folder.h"

namespace platform {
namespace {

// The exit status of `pid`, reaped here; -1 when it did not exit.
int Reap(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The raw wait status of `pid`, reaped here; -1 when it cannot be reaped.
int WaitStatus(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid ? status : -1;
}

// True when this process has no child left to reap, ended or not.
bool NoChildLeft() {
  return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Everything readable on `fd` up to its end.
std::string ReadAll(int fd) {
  std::string text;
  char chunk[256];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  return text;
}

// bash, for its redirections to descriptors above 9.
SpawnRequest Shell(const std::string& script) {
  return {"/bin/bash", {"bash", "-c", script}, std::nullopt, {}, {}};
}

TEST(SpawnTest, AMissingProgramGivesExecsErrnoAndItsCode) {
  SpawnRequest request{"/nonexistent/program", {"program"}, std::nullopt, {}, {}};
  pid_t pid = 0;
  int childError = 0;
  EXPECT_EQ(Spawn(request, pid, &childError), kErrorFileNotFound);
  EXPECT_EQ(childError, ENOENT);
  EXPECT_EQ(pid, -1);
  EXPECT_TRUE(NoChildLeft()) << "the failed child was not reaped";
}

// A failing step ends the child with its value; the steps after it and the
// program do not run.
TEST(SpawnTest, AFailingStepGivesItsErrnoAndStopsTheChild) {
  testing_support::TempFolder folder;
  const std::string later = folder.File("later"), ran = folder.File("ran");
  struct Case {
    int value;
    uint32_t code;
  } cases[] = {{EACCES, kErrorAccessDenied}, {ENOENT, kErrorFileNotFound}, {-7, kErrorGenFailure}};
  for (const Case& c : cases) {
    SpawnRequest request = Shell(": > " + ran);
    request.steps = {[] { return 0; }, [value = c.value] { return value; },
                     [&later] {
                       int fd = ::open(later.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                       return fd < 0 ? errno : 0;
                     }};
    pid_t pid = 0;
    int childError = 0;
    EXPECT_EQ(Spawn(request, pid, &childError), c.code) << c.value;
    EXPECT_EQ(childError, c.value);
    EXPECT_EQ(pid, -1);
    EXPECT_TRUE(NoChildLeft());
    EXPECT_NE(::access(later.c_str(), F_OK), 0) << "a step after the failed one ran";
    EXPECT_NE(::access(ran.c_str(), F_OK), 0) << "the program ran after a failed step";
  }
}

TEST(SpawnTest, SuccessGivesAPidTheCallerReaps) {
  SpawnRequest request = Shell("exit \"$CODE\"");
  request.env = std::vector<std::string>{"CODE=7"};
  request.steps = {[] { return ::chdir("/") == 0 ? 0 : errno; }};
  pid_t pid = -1;
  int childError = -1;
  ASSERT_EQ(Spawn(request, pid, &childError), kErrorSuccess);
  EXPECT_EQ(childError, 0);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(Reap(pid), 7) << "the environment given or the pid is wrong";
  EXPECT_TRUE(NoChildLeft());
}

// The program gets the descriptors asked for and no other: neither one of
// ours left without close-on-exec below the highest target or above it, nor
// the report pipe.
TEST(SpawnTest, NoDescriptorButThoseAskedForReachesTheProgram) {
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  ASSERT_GE(null.get(), 0);
  UniqueFd below(::fcntl(null.get(), F_DUPFD, 10));  // no close-on-exec
  UniqueFd above(::fcntl(null.get(), F_DUPFD, 40));
  UniqueFd given(::fcntl(null.get(), F_DUPFD_CLOEXEC, 50));
  ASSERT_GE(below.get(), 10);
  ASSERT_LT(below.get(), 20) << "no free descriptor below the target";
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  UniqueFd outRead(out[0]), outWrite(out[1]);

  std::string script =
      "for n in $(seq 0 60); do [ -e /proc/self/fd/$n ] && printf '%s ' $n; done; true";
  SpawnRequest request = Shell(script);
  request.fds = {{0, null.get()}, {1, outWrite.get()}, {2, null.get()}, {20, given.get()}};
  pid_t pid = -1;
  ASSERT_EQ(Spawn(request, pid), kErrorSuccess);
  outWrite.reset();
  EXPECT_EQ(ReadAll(outRead.get()), "0 1 2 20 ");
  EXPECT_EQ(Reap(pid), 0);
}

// Makes close_range fail with ENOSYS in this process and its children, as on
// a kernel before 5.11; false when the filter cannot be set.
bool WithoutCloseRange() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Without close_range, a descriptor of ours above the targets and without
// close-on-exec still does not reach the program. The filter is set in a
// child of the test, which spawns and sends back what the program saw.
TEST(SpawnTest, WithoutCloseRangeTheRestAreStillClosedAtExec) {
  int back[2];
  ASSERT_EQ(::pipe2(back, O_CLOEXEC), 0);
  UniqueFd backRead(back[0]), backWrite(back[1]);
  const pid_t tester = ::fork();
  ASSERT_GE(tester, 0);
  if (tester == 0) {
    UniqueFd null(::open("/dev/null", O_RDWR));  // no close-on-exec
    if (!WithoutCloseRange() || null.get() < 0 || ::fcntl(null.get(), F_DUPFD, 40) < 0) {
      ::_exit(2);
    }
    SpawnRequest request =
        Shell("for n in $(seq 0 60); do [ -e /proc/self/fd/$n ] && printf '%s ' $n; done; true");
    request.fds = {{0, null.get()}, {1, backWrite.get()}, {2, null.get()}};
    pid_t pid = -1;
    ::_exit(Spawn(request, pid) == kErrorSuccess && Reap(pid) == 0 ? 0 : 3);
  }
  backWrite.reset();
  const std::string seen = ReadAll(backRead.get());
  const int status = WaitStatus(tester);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no seccomp filter here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(seen, "0 1 2 ");
}

// A target equal to its source keeps our descriptor of that number; one not
// open is left out without failing.
TEST(SpawnTest, ATargetThatIsItsOwnSourceIsKeptWhenOpen) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  UniqueFd outRead(out[0]), outWrite(out[1]);
  UniqueFd kept(::fcntl(outWrite.get(), F_DUPFD_CLOEXEC, 30));
  ASSERT_GE(kept.get(), 30);
  const int notOpen = 29;
  ASSERT_LT(::fcntl(notOpen, F_GETFD), 0);
  SpawnRequest request =
      Shell("echo kept >&" + std::to_string(kept.get()) +
            "; [ -e /proc/self/fd/29 ] || echo closed >&" + std::to_string(kept.get()));
  request.fds = {{kept.get(), kept.get()}, {notOpen, notOpen}};
  pid_t pid = -1;
  ASSERT_EQ(Spawn(request, pid), kErrorSuccess);
  outWrite.reset();
  kept.reset();
  EXPECT_EQ(ReadAll(outRead.get()), "kept\nclosed\n");
  EXPECT_EQ(Reap(pid), 0);
}

// While alive: `signal` handled by one that writes to `marker`, or ignored
// when `marker` is -1; then what was before.
class SignalDisposition {
 public:
  SignalDisposition(int signal, int marker) : signal_(signal) {
    marker_ = marker;
    struct sigaction action {};
    action.sa_handler = marker < 0 ? SIG_IGN : Mark;
    sigemptyset(&action.sa_mask);
    EXPECT_EQ(::sigaction(signal, &action, &previous_), 0);
  }
  ~SignalDisposition() { ::sigaction(signal_, &previous_, nullptr); }
  SignalDisposition(const SignalDisposition&) = delete;
  SignalDisposition& operator=(const SignalDisposition&) = delete;

 private:
  static void Mark(int) { [[maybe_unused]] ssize_t n = ::write(marker_, "x", 1); }
  static inline int marker_ = -1;
  int signal_;
  struct sigaction previous_ {};
};

// A signal that reaches the child before exec meets its default action (here
// the end of the child), never one of our handlers, which would run our code
// in a copy of this process.
TEST(SpawnTest, ASignalBeforeExecTakesItsDefaultActionNotOurHandler) {
  int marks[2];
  ASSERT_EQ(::pipe2(marks, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd marksRead(marks[0]), marksWrite(marks[1]);
  SignalDisposition handled(SIGUSR1, marksWrite.get());
  SpawnRequest request{"/bin/true", {"true"}, std::nullopt, {}, {}};
  request.steps = {[] { return ::kill(::getpid(), SIGUSR1) == 0 ? 0 : errno; }};
  pid_t pid = -1;
  ASSERT_EQ(Spawn(request, pid), kErrorSuccess);
  const int status = WaitStatus(pid);
  char mark = 0;
  EXPECT_LT(::read(marksRead.get(), &mark, 1), 1) << "our handler ran in the child";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR1) << "status " << status;
}

// The program starts with no signal blocked or ignored, whatever this process
// has (exec itself resets the caught ones; grep catches SIGSEGV of its own).
TEST(SpawnTest, TheProgramStartsWithDefaultDispositions) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  UniqueFd outRead(out[0]), outWrite(out[1]);
  SignalDisposition handled(SIGUSR1, outWrite.get());
  SignalDisposition ignored(SIGUSR2, -1), pipeIgnored(SIGPIPE, -1);
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  ::raise(SIGUSR1);  // pending here, not in the child

  SpawnRequest request{"/bin/grep",
                       {"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"},
                       std::nullopt,
                       {{1, outWrite.get()}},
                       {}};
  pid_t pid = -1;
  const uint32_t rc = Spawn(request, pid);
  outWrite.reset();
  const std::string said = rc == kErrorSuccess ? ReadAll(outRead.get()) : "";
  const int exitCode = rc == kErrorSuccess ? Reap(pid) : -1;
  sigset_t pending;
  sigpending(&pending);
  const bool stillPending = sigismember(&pending, SIGUSR1) == 1;
  ::signal(SIGUSR1, SIG_IGN);  // the pending one is dropped, not handled late
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_EQ(rc, kErrorSuccess);
  EXPECT_EQ(said,
            "SigBlk:\t0000000000000000\n"
            "SigIgn:\t0000000000000000\n");
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(stillPending) << "our pending signal went elsewhere";
}

TEST(SpawnTest, ProgramOnPathFindsTheExecutableOfThatName) {
  EXPECT_EQ(ProgramOnPath("/x/y"), "/x/y");
  const std::string sh = ProgramOnPath("sh");
  EXPECT_EQ(sh.back(), 'h');
  EXPECT_NE(sh.find('/'), std::string::npos) << sh;
  EXPECT_EQ(::access(sh.c_str(), X_OK), 0);
  EXPECT_EQ(ProgramOnPath("no-such-program-here"), "no-such-program-here");
}

// Ahead of the real program on PATH: a folder of its name, a file of its name
// no one may run, and an empty entry with one in the working folder; only the
// real one comes back.
TEST(SpawnTest, ProgramOnPathTakesOnlyAnExecutableFileAndNeverTheWorkingFolder) {
  testing_support::TempFolder folder;
  for (const char* dir : {"dir", "dir/prog", "plain", "real", "work"}) {
    ASSERT_EQ(::mkdir(folder.File(dir).c_str(), 0755), 0) << dir;
  }
  const std::string plain = folder.Write("plain/prog", "#!/bin/sh\n");
  const std::string real = folder.Write("real/prog", "#!/bin/sh\n");
  const std::string work = folder.Write("work/prog", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(plain.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(real.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(work.c_str(), 0755), 0);
  const std::string oldPath = GetEnvironmentVariable("PATH");
  char oldDir[4096];
  ASSERT_NE(::getcwd(oldDir, sizeof oldDir), nullptr);
  ASSERT_EQ(::chdir(folder.File("work").c_str()), 0);
  const std::string dir = folder.File("dir"), plainDir = folder.File("plain"),
                    realDir = folder.File("real");
  const std::string paths[] = {dir + ":" + plainDir + ":" + realDir, ":" + realDir,
                               plainDir + "::" + dir + ":" + realDir};
  std::vector<std::string> found;
  for (const std::string& path : paths) {
    SetEnvironmentVariable("PATH", path);
    found.push_back(ProgramOnPath("prog"));
  }
  SetEnvironmentVariable("PATH", oldPath);
  ASSERT_EQ(::chdir(oldDir), 0);
  for (size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], real) << paths[i];
}

}  // namespace
}  // namespace platform
