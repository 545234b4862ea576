// The control program as an installation of its own, for the tests that run
// it as a process: a copy of the program built (VIGILO_CFG_PATH) alone in its
// program folder, a home for the user who runs it, and the program started
// from there with the environment it is given and no other.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "qt_tsan_suppressions.h"
#include "tests/support/child_runner.h"
#include "tests/support/temp_folder.h"

namespace control_test {

// Starts `program` with `args` and the environment `env` ("NAME=value" each)
// only, as `options` says beside that; its output (stdout and stderr, in
// order) is read by Stop().
inline std::unique_ptr<testing_support::ChildProcess> StartProgram(
    const std::string& program, const std::vector<std::string>& args,
    const std::vector<std::string>& env, testing_support::ChildOptions options = {}) {
  options.inheritEnv = false;
  for (const std::string& e : env) {
    const size_t eq = e.find('=');
    options.env[e.substr(0, eq)] = e.substr(eq + 1);
  }
  options.captureOutput = true;
  options.errorsToOutput = true;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<testing_support::ChildProcess>(argv, options);
}

class ProgramInstallation {
 public:
  ProgramInstallation() {
    std::filesystem::create_directories(prog);
    std::filesystem::copy_file(VIGILO_CFG_PATH, program);
    std::filesystem::create_directories(home);
  }

  // The names in `dir`; by default the program's folder.
  std::vector<std::string> Names(const std::string& dir = {}) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.empty() ? prog : dir)) {
      names.push_back(entry.path().filename());
    }
    return names;
  }
  // The environment of a login of the home's user, and `more`.
  std::vector<std::string> Environment(const std::vector<std::string>& more) const {
    std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + home,
                                 "VIGILO_SCM_DIR=" + folder.File("scm")};
    // LeakSanitizer builds: the D-Bus library that Qt's X11 platform loads
    // keeps a buffer of its own to the end; it is not ours to free.
    env.push_back("LSAN_OPTIONS=suppressions=" + folder.Write("lsan.supp", "leak:libdbus-1.so\n"));
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    // ThreadSanitizer builds: qt_tsan_suppressions.h says why; the later
    // suppressions option wins.
    if (const char* value = std::getenv("TSAN_OPTIONS")) {
      env.push_back(std::string("TSAN_OPTIONS=") + value +
                    ":suppressions=" + folder.Write("tsan.supp", kQtThreadsTsanSuppressions));
    }
    env.insert(env.end(), more.begin(), more.end());
    return env;
  }
  // The permission bits of `path`; 0 when it does not exist.
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  }

  testing_support::TempFolder folder;
  const std::string prog = folder.File("prog");
  const std::string program = prog + "/vigilo_cfg";
  const std::string home = folder.File("home");
};

}  // namespace control_test
