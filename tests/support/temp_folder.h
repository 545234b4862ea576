// A folder of its own for one test, removed with everything in it at the end.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace testing_support {

class TempFolder {
 public:
  TempFolder() : TempFolder(DefaultBase()) {}
  // A folder below `base` (tests of the trusted-link rule need one outside
  // the world-writable /tmp).
  explicit TempFolder(const std::string& base) {
    std::string pattern = base + "/vigilo-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  // A folder for tests of the trusted-link rule, whose every folder from "/"
  // down is root's or ours and writable by nobody else: as root below /run,
  // else below `ownBase` (a folder of the build tree), which the caller
  // checks, since a checkout may lie in a folder others can write.
  static std::string TrustedBase(const std::string& ownBase) {
    return ::geteuid() == 0 ? "/run" : ownBase;
  }
  // True when every folder from "/" down to `path` is root's or ours and
  // writable by nobody else, as the trusted-link rule asks.
  static bool IsTrustedTree(std::string path) {
    for (;;) {
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) return false;
      if ((st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & 022) != 0) return false;
      if (path == "/") return true;
      path = std::filesystem::path(path).parent_path().string();
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes `data` to the file `name` of the folder, byte for byte.
  std::string Write(const std::string& name, const std::string& data) const {
    std::string path = File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
  }

 private:
  static std::string DefaultBase() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
  }
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing_support
