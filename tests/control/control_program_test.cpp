// The program as a process on the offscreen platform, started with -config
// against a control endpoint of the test's own, as a desktop's menu starts
// it: where its log goes, and that Qt keeps its runtime folder out of the
// program's folder whatever XDG_RUNTIME_DIR the session hands it.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "pipes/alr_control.h"
#include "program_support.h"
#include "tests/support/process_support.h"

namespace {

namespace fs = std::filesystem;
using namespace control_test;
using testing_support::ReadFile;

// The service's settings with one chain, for which the parameters dialog
// reads this PC's data-acquisition settings.
constexpr char kServiceSettings[] =
    "[General]\r\nTrackedChains=1\r\n[Chain00]\r\nTrackedChain=Shops One\r\n";

class ProgramRunTest : public ::testing::Test, protected ProgramInstallation {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    // The program runs as another user: the folders on its way are open.
    ASSERT_EQ(::chmod(folder.Path().c_str(), 0755), 0);
    fs::create_directories(work);
    ::setenv("VIGILO_RUNTIME_DIR", folder.File("run").c_str(), 1);
    // nobody's own group stands for the administrators' group, as "vigilo"
    // for a user added to it: the control pipe's socket is open to it.
    const group* own = ::getgrgid(nobody->pw_gid);
    ASSERT_NE(own, nullptr);
    ::setenv("VIGILO_GROUP", own->gr_name, 1);
    control = std::make_unique<TAlrSrvControl>("VigiloControl", 1,
                                               folder.Write("vigilo.ini", kServiceSettings));
    control->OnConfigRead.Set([this](TAlrSrvControl&) { fetched = true; });
  }
  void TearDown() override {
    control.reset();
    ::unsetenv("VIGILO_RUNTIME_DIR");
    ::unsetenv("VIGILO_GROUP");
  }

  // Runs the program with -config from `work` in the environment of
  // Environment(`more`) until `done` or a generous bound, then ends it.
  // False when `done` never came; `output` gets what it wrote.
  bool RunUntil(const std::function<bool()>& done, const std::vector<std::string>& more,
                const testing_support::ChildOptions& options, std::string& output) {
    testing_support::ChildOptions from = options;
    from.workDir = work;
    std::vector<std::string> env = more;
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("VIGILO_RUNTIME_DIR=" + folder.File("run"));
    auto child = StartProgram(program, {"-config"}, Environment(env), from);
    const bool came = testing_support::WaitUntil(done, std::chrono::seconds(30));
    output = child->Stop(std::chrono::minutes(1)).output;
    return came;
  }

  passwd* nobody = nullptr;
  const std::string work = folder.File("work");
  std::unique_ptr<TAlrSrvControl> control;
  std::atomic<bool> fetched = false;
};

// A member of the group who may not read the data-acquisition settings
// (root's alone: they hold the databases' passwords) opens the parameters:
// the line that says so goes to the log in the program's configuration
// folder, and nothing to the folder it was started from.
TEST_F(ProgramRunTest, TheLogGoesToTheConfigurationFolder) {
  const std::string qorsvc =
      folder.Write("prog/qorsvc.ini", "[Directory0]\r\nTrackDirectory=Shops One\r\n");
  ASSERT_EQ(::chmod(qorsvc.c_str(), 0600), 0);
  for (const std::string& own : {work, home}) {
    ASSERT_EQ(::chown(own.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << own;
  }
  const std::string log = home + "/.config/vigilo/debug.txt";
  testing_support::ChildOptions asNobody;
  asNobody.uid = nobody->pw_uid;
  asNobody.gid = nobody->pw_gid;
  std::string output;
  const bool logged = RunUntil([&] { return fs::exists(log) || !fs::is_empty(work); },
                               {"USER=nobody", "LOGNAME=nobody"}, asNobody, output);
  ASSERT_TRUE(logged) << output;
  EXPECT_TRUE(fetched);
  EXPECT_EQ(Names(work), std::vector<std::string>{}) << output;
  EXPECT_NE(ReadFile(log).find("\tError reading data from " + qorsvc + " : "), std::string::npos)
      << ReadFile(log);
}

// A runtime folder that Qt refuses sends it to "runtime-<user>" in the
// temporary folder, which the program points at its own folder: the program
// takes its private one in its place, as when the session gives none.
TEST_F(ProgramRunTest, ARuntimeFolderQtRefusesIsReplacedByThePrivateOne) {
  const std::string open = folder.File("open"), theirs = folder.File("theirs"),
                    mine = folder.File("mine"), link = folder.File("link");
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);  // whatever the umask
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(::mkdir((work + "/session").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(mine.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(mine.c_str(), link.c_str()), 0);
  const std::pair<const char*, std::string> cases[] = {
      {"mode 0755", open},
      {"another user's folder, as after su", theirs},
      {"a relative path, to a private folder of the working folder", "session"},
      {"a link to a private folder", link},
  };
  for (const auto& [what, runtimeDir] : cases) {
    SCOPED_TRACE(what);
    fs::remove_all(home + "/.config");
    fetched = false;
    std::string output;
    ASSERT_TRUE(
        RunUntil([&] { return fetched.load(); }, {"XDG_RUNTIME_DIR=" + runtimeDir}, {}, output))
        << output;
    EXPECT_EQ(Names(), std::vector<std::string>{"vigilo_cfg"});
    EXPECT_EQ(Mode(home + "/.config/vigilo/run"), 0700u);
    EXPECT_EQ(output.find("QStandardPaths"), std::string::npos) << output;
  }
}

}  // namespace
