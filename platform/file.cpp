#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/syserror.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

uint32_t WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal before anything was written
      return LastErrorFromErrno();
    }
    done += static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

std::string TemporaryName(const std::string& path) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".tmp%016llx", static_cast<unsigned long long>(random()));
  std::string dir = ExtractFileDir(path);
  std::string base = path.substr(dir.empty() ? 0 : path.find_last_of('/') + 1);
  return JoinPath(dir.empty() ? "." : dir, "." + base + suffix);
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<int64_t> FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

uint32_t AppendToFile(const std::string& path, const std::string& data) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (fd.get() < 0) return LastErrorFromErrno();
  if (uint32_t rc = WriteAll(fd.get(), data)) return rc;
  return fd.Close() == 0 ? kErrorSuccess : LastErrorFromErrno();
}

uint32_t DeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? kErrorSuccess : LastErrorFromErrno();
}

uint32_t ReadWholeFile(const std::string& path, std::string& data, size_t maxSize) {
  data.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return LastErrorFromErrno();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return LastErrorFromErrno();
  if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;
  std::string buffer;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastErrorFromErrno();
    }
    if (n == 0) break;
    if (buffer.size() + static_cast<size_t>(n) > maxSize) return kErrorMoreData;
    buffer.append(chunk, static_cast<size_t>(n));
  }
  data = std::move(buffer);
  return kErrorSuccess;
}

uint32_t WriteFileAtomic(const std::string& path, const std::string& data) {
  mode_t mode = 0644;
  struct stat st;
  bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed) mode = st.st_mode & 07777;
  std::string temp = TemporaryName(path);
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) return LastErrorFromErrno();
  uint32_t rc = WriteAll(fd.get(), data);
  // The mode given to open() is cut by the umask; an existing file keeps its own.
  if (rc == 0 && existed && ::fchmod(fd.get(), mode) != 0) rc = LastErrorFromErrno();
  if (rc == 0 && ::fsync(fd.get()) != 0) rc = LastErrorFromErrno();
  if (fd.Close() != 0 && rc == 0) rc = LastErrorFromErrno();
  if (rc == 0 && ::rename(temp.c_str(), path.c_str()) != 0) rc = LastErrorFromErrno();
  if (rc != 0) ::unlink(temp.c_str());
  return rc;
}

bool FileIsReadOnly(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

uint32_t CreateDirectories(const std::string& path, unsigned mode) {
  if (path.empty() || DirectoryExists(path)) return kErrorSuccess;
  std::string parent = ExtractFileDir(path);
  if (!parent.empty() && parent != path) {
    if (uint32_t rc = CreateDirectories(parent, mode)) return rc;
  }
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return LastErrorFromErrno();
  return kErrorSuccess;
}

std::string ExtractFileDir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace platform
