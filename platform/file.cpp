#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/eintr.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

uint32_t WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    // EINTR: a signal before anything was written.
    ssize_t n = RetryOnEintr([&] { return ::write(fd, data.data() + done, data.size() - done); });
    if (n < 0) return LastErrorFromErrno();
    done += static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

constexpr const char kTemporaryTag[] = ".tmp";
constexpr size_t kTemporaryDigits = 16;

// ".<name>.tmp<16 hex digits>" beside the file `name`: hidden, and
// recognisable as a replacement of that one file.
std::string TemporaryPrefix(const std::string& name) {
  return "." + name + kTemporaryTag;
}

std::string TemporaryName(const std::string& name) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[kTemporaryDigits + 1];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  return TemporaryPrefix(name) + suffix;
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

// The folder part of `path` as a name to open, and its last component.
std::string FolderOf(const std::string& path) {
  std::string dir = ExtractFileDir(path);
  return dir.empty() ? "." : dir;
}

std::string NameOf(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// A file that a replacement may take the mode and owner of: a regular file
// with no other name. A hard link planted by someone else would otherwise
// hand its target's owner and mode to the new file.
bool KeepsItsMode(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// A writer holds an exclusive flock on its temporary file from creation to
// rename. One that is free was left by a replacement that was killed: it holds
// a whole copy of the data (a settings file's mail password among it) and is
// removed. Only regular files are opened (a FIFO or a device planted under
// such a name never is), and the name is checked to still be the file locked,
// so that a file created again under it is never taken.
void RemoveStaleTemporaryFiles(int dirFd, const std::string& dir, const std::string& name) {
  namespace fs = std::filesystem;
  const std::string prefix = TemporaryPrefix(name);
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (!IsTemporaryOf(entry, prefix)) continue;
    struct stat before;
    if (::fstatat(dirFd, entry.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !KeepsItsMode(before)) {
      continue;
    }
    UniqueFd fd(::openat(dirFd, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat held, named;
    if (::fstat(fd.get(), &held) == 0 &&
        ::fstatat(dirFd, entry.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(held, named)) {
      ::unlinkat(dirFd, entry.c_str(), 0);
    }
  }
}

// Creates a new temporary file for `name` in the folder `dirFd`, readable and
// writable by its owner only, and holds its flock. Returns an empty holder
// with errno set on failure.
UniqueFd CreateTemporaryFile(int dirFd, const std::string& name, std::string& temp) {
  for (int attempt = 0;; ++attempt) {
    temp = TemporaryName(name);
    // O_EXCL alone already refuses a link; O_NOFOLLOW says so to the reader.
    UniqueFd fd(
        ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
      if (errno == EEXIST && attempt < 8) continue;
      return fd;
    }
    if (RetryOnEintr([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) {
      int err = errno;
      ::unlinkat(dirFd, temp.c_str(), 0);
      errno = err;
      return UniqueFd();
    }
    // Between open and flock another writer's clean-up may have taken the new
    // file for a stale one and removed it: then start again.
    struct stat held, named;
    if (::fstat(fd.get(), &held) == 0 &&
        ::fstatat(dirFd, temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(held, named)) {
      return fd;
    }
    if (attempt >= 8) {
      errno = EAGAIN;
      return UniqueFd();
    }
  }
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

// Gives the new file `fd` the mode and group of `newMode`. The group's bits
// go only with the group: a file left in this process's own group stays
// its owner's alone.
uint32_t ApplyNewFileMode(int fd, const NewFileMode& newMode) {
  mode_t mode = newMode.mode & 0777 & ~CurrentUmask();
  if (newMode.group && ::fchown(fd, static_cast<uid_t>(-1), *newMode.group) != 0) mode &= ~070;
  return ::fchmod(fd, mode) == 0 ? kErrorSuccess : LastErrorFromErrno();
}

// --- The trusted-link rule ---

bool TrustedOwner(uid_t uid) {
  return uid == 0 || uid == ::geteuid();
}

bool TrustedFolder(const std::string& folder) {
  struct stat st;
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && Distrust(st).empty();
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    if (end > begin) parts.push_back(path.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

enum class Verdict { Trusted, Untrusted, Failed };

// Walks the absolute path `path` from "/" as the kernel resolves it, checking
// every folder it enters and every link it meets against the rule. On
// Trusted, `resolved` is the path with no link left in it (its last
// component may be missing); on Failed, `error` says why.
Verdict WalkTrusted(const std::string& path, std::string& resolved, uint32_t& error) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit
  std::vector<std::string> rest = Components(path);
  std::reverse(rest.begin(), rest.end());  // taken from the back
  std::string current = "/";
  bool checked = false;  // `current` passed the rule
  int links = 0;
  while (!rest.empty()) {
    const std::string part = std::move(rest.back());
    rest.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      current = ExtractFileDir(current);  // `current` holds no link
      checked = false;
      continue;
    }
    if (!checked && !TrustedFolder(current)) return Verdict::Untrusted;
    checked = true;
    const std::string next = JoinPath(current, part);
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0) {
      if (errno == ENOENT && rest.empty()) {  // a new file in a trusted folder
        resolved = next;
        return Verdict::Trusted;
      }
      error = LastErrorFromErrno();
      return Verdict::Failed;
    }
    if (S_ISLNK(st.st_mode)) {
      if (!TrustedOwner(st.st_uid)) return Verdict::Untrusted;
      if (++links > kMaxLinks) {
        error = ErrorFromErrno(ELOOP);
        return Verdict::Failed;
      }
      std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
      ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
      if (n < 0 || static_cast<size_t>(n) == target.size()) {
        error = n < 0 ? LastErrorFromErrno() : ErrorFromErrno(ENAMETOOLONG);
        return Verdict::Failed;
      }
      target.resize(static_cast<size_t>(n));
      std::vector<std::string> spliced = Components(target);
      rest.insert(rest.end(), spliced.rbegin(), spliced.rend());
      if (target.front() == '/') {
        current.assign(1, '/');  // (operator= of a literal trips GCC 12's -Wrestrict here)
        checked = false;
      }
      continue;
    }
    current = next;
    checked = false;
    if (!S_ISDIR(st.st_mode) && !rest.empty()) {
      error = ErrorFromErrno(ENOTDIR);
      return Verdict::Failed;
    }
  }
  resolved = current;
  return Verdict::Trusted;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::error_code ec;
  std::string cwd = std::filesystem::current_path(ec).string();
  return ec ? path : JoinPath(cwd, path);
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

bool IsPrivateFolder(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 0777) == 0700;
}

std::optional<int64_t> FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

uint32_t ResolveTrustedPath(const std::string& path, std::string& target) {
  target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return kErrorSuccess;
  std::string resolved;
  uint32_t error = kErrorSuccess;
  switch (WalkTrusted(Absolute(path), resolved, error)) {
    case Verdict::Trusted:
      target = resolved;
      return kErrorSuccess;
    case Verdict::Untrusted:
      return kErrorSuccess;  // the link itself is the name to replace
    case Verdict::Failed:
      break;
  }
  return error;
}

std::string Distrust(const struct stat& st) {
  if (!TrustedOwner(st.st_uid)) return "is owned by uid " + std::to_string(st.st_uid);
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "is writable by group or others";
  return {};
}

bool IsTrustedLink(const std::string& path) {
  std::string target;
  return ResolveTrustedPath(path, target) == kErrorSuccess && target != path;
}

uint32_t AppendToFile(const std::string& path, const std::string& data,
                      const NewFileMode& newMode) {
  std::string target;
  if (uint32_t rc = ResolveTrustedPath(path, target)) return rc;
  // Looked at before it is opened: opening a FIFO or a device can block or
  // act on the device. Anything but a file of one name (an untrusted link, a
  // FIFO, a device, a second name of another file) loses the name to a new
  // file, as a replacement would; what it pointed to is never opened.
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && !KeepsItsMode(st)) {
    if (S_ISDIR(st.st_mode)) return ErrorFromErrno(EISDIR);
    if (::unlink(target.c_str()) != 0 && errno != ENOENT) return LastErrorFromErrno();
  }
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd;
  bool created = false;
  // Twice at most: a writer of another process may create the file between
  // the two opens (EEXIST), and its file is then the one to append to.
  for (int attempt = 0; attempt < 2 && fd.get() < 0; ++attempt) {
    fd.reset(::open(target.c_str(), flags));
    if (fd.get() >= 0 || errno != ENOENT) break;
    fd.reset(::open(target.c_str(), flags | O_CREAT | O_EXCL, 0600));
    created = fd.get() >= 0;
    if (fd.get() < 0 && errno != EEXIST) break;
  }
  if (fd.get() < 0) return LastErrorFromErrno();
  // What was opened is checked again: the name may have changed since.
  if (::fstat(fd.get(), &st) != 0 || !KeepsItsMode(st)) return kErrorAccessDenied;
  if (created) {
    if (uint32_t rc = ApplyNewFileMode(fd.get(), newMode)) return rc;
  }
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
    ssize_t n = RetryOnEintr([&] { return ::read(fd.get(), chunk, sizeof chunk); });
    if (n < 0) return LastErrorFromErrno();
    if (n == 0) break;
    if (buffer.size() + static_cast<size_t>(n) > maxSize) return kErrorMoreData;
    buffer.append(chunk, static_cast<size_t>(n));
  }
  data = std::move(buffer);
  return kErrorSuccess;
}

uint32_t WriteFileAtomic(const std::string& path, const std::string& data,
                         const NewFileMode& newMode) {
  std::string target;
  if (uint32_t rc = ResolveTrustedPath(path, target)) return rc;
  const std::string dir = FolderOf(target);
  const std::string name = NameOf(target);
  // Every step below names files relative to this one folder, so that no
  // link in its path can send them elsewhere half-way.
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() < 0) return LastErrorFromErrno();
  RemoveStaleTemporaryFiles(dirFd.get(), dir, name);
  struct stat st;
  const bool keep =
      ::fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && KeepsItsMode(st);
  std::string temp;
  UniqueFd fd = CreateTemporaryFile(dirFd.get(), name, temp);
  if (fd.get() < 0) return LastErrorFromErrno();
  uint32_t rc = WriteAll(fd.get(), data);
  if (rc == 0 && ::fsync(fd.get()) != 0) rc = LastErrorFromErrno();
  // The data is on disk; only now does the file get the mode (and owner) that
  // lets others read it. An owner this process may not give (not root) is
  // left as it is: the old file was writable to it all the same.
  struct stat own;
  if (rc == 0 && keep && ::fstat(fd.get(), &own) == 0 &&
      (own.st_uid != st.st_uid || own.st_gid != st.st_gid) &&
      ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
    // The group alone, when this process belongs to it; when it does not,
    // the file keeps this process's group, and there is nothing to undo.
    [[maybe_unused]] const int groupOnly = ::fchown(fd.get(), static_cast<uid_t>(-1), st.st_gid);
  }
  if (rc == 0 && keep && ::fchmod(fd.get(), st.st_mode & 07777) != 0) rc = LastErrorFromErrno();
  if (rc == 0 && !keep) rc = ApplyNewFileMode(fd.get(), newMode);
  // Renamed while its flock is still held, so that no clean-up takes it. A
  // rename replaces whatever the name holds (a link, a FIFO, a hard link)
  // and never writes into it.
  if (rc == 0 && ::renameat(dirFd.get(), temp.c_str(), dirFd.get(), name.c_str()) != 0)
    rc = LastErrorFromErrno();
  if (rc != 0) ::unlinkat(dirFd.get(), temp.c_str(), 0);
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
