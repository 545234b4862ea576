#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

constexpr const char kTemporaryTag[] = ".tmp";
constexpr size_t kTemporaryDigits = 16;

// ".<name>.tmp<16 hex digits>" beside `path`: hidden, and recognisable as a
// replacement of that one file.
std::string TemporaryPrefix(const std::string& path) {
  return "." + path.substr(path.find_last_of('/') + 1) + kTemporaryTag;
}

std::string TemporaryName(const std::string& path) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[kTemporaryDigits + 1];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  std::string dir = ExtractFileDir(path);
  return JoinPath(dir.empty() ? "." : dir, TemporaryPrefix(path) + suffix);
}

bool IsTemporaryOf(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + kTemporaryDigits || name.compare(0, prefix.size(), prefix)) {
    return false;
  }
  return name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A writer holds an exclusive flock on its temporary file from creation to
// rename. One that is free was left by a replacement that was killed: it holds
// a whole copy of the data (a settings file's mail password among it) and is
// removed. The name is checked to still be the file locked, so that a file
// created again under it is never taken.
void RemoveStaleTemporaryFiles(const std::string& path) {
  namespace fs = std::filesystem;
  std::string dir = ExtractFileDir(path);
  std::string prefix = TemporaryPrefix(path);
  std::error_code ec;
  for (fs::directory_iterator it(dir.empty() ? "." : dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!IsTemporaryOf(it->path().filename().string(), prefix)) continue;
    const std::string name = it->path().string();
    UniqueFd fd(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat held, named;
    if (::fstat(fd.get(), &held) == 0 && ::lstat(name.c_str(), &named) == 0 &&
        SameFile(held, named)) {
      ::unlink(name.c_str());
    }
  }
}

// Creates a new temporary file for `path`, readable and writable by its owner
// only, and holds its flock. Returns an empty holder with errno set on failure.
UniqueFd CreateTemporaryFile(const std::string& path, std::string& temp) {
  for (int attempt = 0;; ++attempt) {
    temp = TemporaryName(path);
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
      if (errno == EEXIST && attempt < 8) continue;
      return fd;
    }
    int rc;
    while ((rc = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      int err = errno;
      ::unlink(temp.c_str());
      errno = err;
      return UniqueFd();
    }
    // Between open and flock another writer's clean-up may have taken the new
    // file for a stale one and removed it: then start again.
    struct stat held, named;
    if (::fstat(fd.get(), &held) == 0 && ::lstat(temp.c_str(), &named) == 0 &&
        SameFile(held, named)) {
      return fd;
    }
    if (attempt >= 8) {
      errno = EAGAIN;
      return UniqueFd();
    }
  }
}

// The file a replacement of `path` must go to: a symbolic link is followed to
// its target (which need not exist yet), so that the link stays a link.
uint32_t ResolveLinks(std::string& path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return kErrorSuccess;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return LastErrorFromErrno();
    if (static_cast<size_t>(n) == target.size()) return ErrorFromErrno(ENAMETOOLONG);
    target.resize(static_cast<size_t>(n));
    path = target.front() == '/' ? target : JoinPath(ExtractFileDir(path), target);
  }
  return ErrorFromErrno(ELOOP);
}

// The process's umask, read without changing it (umask() would, for a moment,
// for every thread).
mode_t CurrentUmask() {
  std::string status;
  if (ReadWholeFile("/proc/self/status", status, 1 << 20) == kErrorSuccess) {
    size_t at = status.find("\nUmask:");
    if (at != std::string::npos)
      return static_cast<mode_t>(std::strtoul(&status[at + 7], nullptr, 8));
  }
  return 022;
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

uint32_t WriteFileAtomic(const std::string& path, const std::string& data, unsigned newFileMode) {
  std::string target = path;
  if (uint32_t rc = ResolveLinks(target)) return rc;
  RemoveStaleTemporaryFiles(target);
  struct stat st;
  bool existed = ::stat(target.c_str(), &st) == 0;
  std::string temp;
  UniqueFd fd = CreateTemporaryFile(target, temp);
  if (fd.get() < 0) return LastErrorFromErrno();
  uint32_t rc = WriteAll(fd.get(), data);
  if (rc == 0 && ::fsync(fd.get()) != 0) rc = LastErrorFromErrno();
  // The data is on disk; only now does the file get the mode (and owner) that
  // lets others read it. An owner this process may not give (not root) is
  // left as it is: the old file was writable to it all the same.
  struct stat own;
  if (rc == 0 && existed && ::fstat(fd.get(), &own) == 0 &&
      (own.st_uid != st.st_uid || own.st_gid != st.st_gid) &&
      ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
    // The group alone, when this process belongs to it; when it does not,
    // the file keeps this process's group, and there is nothing to undo.
    [[maybe_unused]] const int groupOnly = ::fchown(fd.get(), static_cast<uid_t>(-1), st.st_gid);
  }
  mode_t mode = existed ? st.st_mode & 07777 : newFileMode & 07777 & ~CurrentUmask();
  if (rc == 0 && ::fchmod(fd.get(), mode) != 0) rc = LastErrorFromErrno();
  // Renamed while its flock is still held, so that no clean-up takes it.
  if (rc == 0 && ::rename(temp.c_str(), target.c_str()) != 0) rc = LastErrorFromErrno();
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
