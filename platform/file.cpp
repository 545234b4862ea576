#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "platform/accounts.h"
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
void RemoveStaleTemporaryFiles(int dirFd, const std::string& name) {
  const std::string prefix = TemporaryPrefix(name);
  // The folder is listed through a descriptor of its own: the listing
  // consumes it.
  UniqueFd listed(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, int (*)(DIR*)> listing(
      listed.get() < 0 ? nullptr : ::fdopendir(listed.get()), ::closedir);
  if (!listing) return;
  listed.release();  // the listing closes it
  while (const struct dirent* dirEntry = ::readdir(listing.get())) {
    const std::string entry = dirEntry->d_name;
    if (!IsTemporaryOf(entry, prefix)) continue;
    struct stat before;
    if (::fstatat(dirFd, entry.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !KeepsItsMode(before)) {
      continue;
    }
    UniqueFd fd(::openat(dirFd, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // What was opened is checked again: the name may have been swapped since.
    struct stat held, named;
    if (fd.get() < 0 || ::fstat(fd.get(), &held) != 0 || !KeepsItsMode(held) ||
        ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    if (::fstatat(dirFd, entry.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
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

// The names of a path still to walk, in order. A link met on the way puts
// the names of its target before them, as the kernel does.
class NamesToWalk {
 public:
  explicit NamesToWalk(const std::string& path) : rest_(Components(path)) {
    std::reverse(rest_.begin(), rest_.end());  // taken from the back
  }
  bool Done() const { return rest_.empty(); }
  std::string Next() {
    std::string name = std::move(rest_.back());
    rest_.pop_back();
    return name;
  }
  // Reads the link `name` in the folder `dirFd` (an O_PATH descriptor of the
  // link itself with an empty name) and walks its target next. Sets
  // `fromRoot` when the target is absolute. Returns 0, or the error of a
  // link that cannot be read, of an empty or overlong one, or of more than
  // the kernel's 40 links.
  uint32_t FollowLink(int dirFd, const char* name, bool& fromRoot) {
    constexpr int kMaxLinks = 40;
    if (++links_ > kMaxLinks) return ErrorFromErrno(ELOOP);
    // The kernel's own bound, not the size the link's status reports: a
    // file system of another user's (FUSE) may report any size.
    std::string target(PATH_MAX + 1, '\0');
    ssize_t n = ::readlinkat(dirFd, name, target.data(), target.size());
    if (n < 0) return LastErrorFromErrno();
    if (n == 0) return ErrorFromErrno(ENOENT);  // as the kernel takes an empty link
    if (static_cast<size_t>(n) == target.size()) return ErrorFromErrno(ENAMETOOLONG);
    target.resize(static_cast<size_t>(n));
    std::vector<std::string> spliced = Components(target);
    rest_.insert(rest_.end(), spliced.rbegin(), spliced.rend());
    fromRoot = target.front() == '/';
    return kErrorSuccess;
  }

 private:
  std::vector<std::string> rest_;  // the next name last
  int links_ = 0;
};

enum class Verdict { Trusted, Untrusted, Failed };

// Walks the absolute path `path` from "/" as the kernel resolves it, checking
// every folder it enters and every link it meets against the rule. On
// Trusted, `resolved` is the path with no link left in it (its last
// component may be missing); on Failed, `error` says why.
Verdict WalkTrusted(const std::string& path, std::string& resolved, uint32_t& error) {
  NamesToWalk names(path);
  std::string current = "/";
  bool checked = false;  // `current` passed the rule
  while (!names.Done()) {
    const std::string part = names.Next();
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
      if (errno == ENOENT && names.Done()) {  // a new file in a trusted folder
        resolved = next;
        return Verdict::Trusted;
      }
      error = LastErrorFromErrno();
      return Verdict::Failed;
    }
    if (S_ISLNK(st.st_mode)) {
      if (!TrustedOwner(st.st_uid)) return Verdict::Untrusted;
      bool fromRoot = false;
      error = names.FollowLink(AT_FDCWD, next.c_str(), fromRoot);
      if (error != kErrorSuccess) return Verdict::Failed;
      if (fromRoot) {
        current.assign(1, '/');  // (operator= of a literal trips GCC 12's -Wrestrict here)
        checked = false;
      }
      continue;
    }
    current = next;
    checked = false;
    if (!S_ISDIR(st.st_mode) && !names.Done()) {
      error = ErrorFromErrno(ENOTDIR);
      return Verdict::Failed;
    }
  }
  resolved = current;
  return Verdict::Trusted;
}

// `path` from "/"; empty when it is relative and the working folder is gone
// (removed, or no longer reachable), which leaves no place to start from.
std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::error_code ec;
  std::string cwd = std::filesystem::current_path(ec).string();
  return ec || cwd.empty() || cwd.front() != '/' ? std::string() : JoinPath(cwd, path);
}

// --- The folder rule ---

// "user NAME (uid N)", or "uid N" for a uid no account has.
std::string Who(uid_t uid) {
  std::optional<Account> account = LookUpAccount(uid);
  const std::string number = "uid " + std::to_string(uid);
  return account ? "user " + account->name + " (" + number + ")" : number;
}

// A folder whose entries anyone of its group or of the others may rename or
// replace: the owners of its entries then say nothing of who placed them. The
// sticky bit leaves each entry to its own owner (/tmp).
bool OpenToOthers(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX);
}

// One folder of the walk: its descriptor (O_PATH), status and path as walked.
struct WalkedFolder {
  UniqueFd fd;
  struct stat st;
  std::string path;
};

// Walks the folder `dir` one component at a time from "/" on descriptors, as
// the kernel would but reading every link itself, and judges who could have
// redirected the walk: the users other than root and this process's own
// whose folders it entered or whose links it followed. On success `folder`
// is the descriptor of the folder the walk ended on; a swap of any name on
// the way after the walk changes nothing, since every write goes relative to
// it. Refuses with kErrorAccessDenied and `why` naming the folder when:
// - two such users could have redirected it;
// - one could, and the folder is not his (his link to /root, or to another
//   user's folder): his own folder, reached through his own absolute link to
//   another disk, is served;
// - a name on the way was looked up in a folder that group or others may
//   write without the sticky bit, where anyone could have swapped it.
uint32_t OpenFolderToWrite(const std::string& dir, UniqueFd& folder, std::string& why) {
  const std::string walkedPath = Absolute(dir);
  if (walkedPath.empty()) return kErrorPathNotFound;
  std::vector<WalkedFolder> stack;
  // Names the folder as given and, when links led elsewhere, the folder
  // they led to.
  const auto refuse = [&](const std::string& reason, const std::string& reached) {
    why = walkedPath + (reached == walkedPath ? "" : " leads to " + reached + ", which") +
          " is not written: " + reason;
    return kErrorAccessDenied;
  };
  const auto enter = [&stack](UniqueFd fd, const struct stat& st, std::string path) {
    stack.push_back(WalkedFolder{std::move(fd), st, std::move(path)});
  };
  const auto enterRoot = [&]() -> uint32_t {
    stack.clear();
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (root.get() < 0 || ::fstat(root.get(), &st) != 0) return LastErrorFromErrno();
    enter(std::move(root), st, "/");
    return kErrorSuccess;
  };
  if (uint32_t rc = enterRoot()) return rc;
  std::vector<uid_t> others;
  const auto passed = [&others](uid_t uid) {
    if (!TrustedOwner(uid) && std::find(others.begin(), others.end(), uid) == others.end())
      others.push_back(uid);
  };
  NamesToWalk names(walkedPath);
  while (!names.Done()) {
    const std::string part = names.Next();
    if (part == ".") continue;
    if (part == "..") {
      if (stack.size() > 1) stack.pop_back();  // "/.." is "/"
      continue;
    }
    const WalkedFolder& here = stack.back();
    if (OpenToOthers(here.st)) {
      return refuse("on its way, " + here.path + " is writable by group or others", walkedPath);
    }
    UniqueFd fd(::openat(here.fd.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return LastErrorFromErrno();
    if (S_ISLNK(st.st_mode)) {
      passed(st.st_uid);
      bool fromRoot = false;
      if (uint32_t rc = names.FollowLink(fd.get(), "", fromRoot)) return rc;
      if (fromRoot) {
        if (uint32_t rc = enterRoot()) return rc;
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return ErrorFromErrno(ENOTDIR);
    passed(st.st_uid);
    enter(std::move(fd), st, JoinPath(here.path, part));
  }
  const WalkedFolder& last = stack.back();
  if (others.size() > 1) {
    return refuse(
        "it is reached through folders or links of " + Who(others[0]) + " and of " + Who(others[1]),
        last.path);
  }
  if (others.size() == 1 && last.st.st_uid != others[0]) {
    return refuse("it belongs to " + Who(last.st.st_uid) +
                      " and is reached through a folder or link of " + Who(others[0]),
                  last.path);
  }
  folder.reset(::openat(last.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder.get() < 0 ? LastErrorFromErrno() : kErrorSuccess;
}

// Where a write of `path` goes: the folder of the name it must replace (the
// trusted-link rule's target), opened by the folder rule, its status, and
// that name.
struct WritePlace {
  UniqueFd dir;
  struct stat folder;
  std::string name;
};

uint32_t PlaceToWrite(const std::string& path, WritePlace& place, std::string& why) {
  std::string target;
  if (uint32_t rc = ResolveTrustedPath(path, target)) return rc;
  place.name = NameOf(target);
  if (place.name.empty() || place.name == "." || place.name == "..") return ErrorFromErrno(EISDIR);
  if (uint32_t rc = OpenFolderToWrite(FolderOf(target), place.dir, why)) return rc;
  return ::fstat(place.dir.get(), &place.folder) == 0 ? kErrorSuccess : LastErrorFromErrno();
}

// A file at the name of `place` that a writer may keep (append to, or hand
// its mode and owner on to the new file): a regular file of one name and, in
// a folder that group or others may write, one of root's, this process's
// user's or the folder owner's. Anyone else's there could have been planted:
// an empty 0666 shortcut on a shared sticky desktop, to be rewritten later.
bool MayKeep(const WritePlace& place, const struct stat& file) {
  if (!KeepsItsMode(file)) return false;
  const bool shared = place.folder.st_mode & (S_IWGRP | S_IWOTH);
  return !shared || TrustedOwner(file.st_uid) || file.st_uid == place.folder.st_uid;
}

// The replacement of WriteFileAtomic, in the folder the rules gave.
uint32_t ReplaceIn(const WritePlace& place, const std::string& data, const NewFileMode& newMode) {
  // Every step below names files relative to this one folder, so that no
  // link in its path can send them elsewhere half-way.
  const int dirFd = place.dir.get();
  const std::string& name = place.name;
  RemoveStaleTemporaryFiles(dirFd, name);
  struct stat st;
  const bool keep =
      ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && MayKeep(place, st);
  std::string temp;
  UniqueFd fd = CreateTemporaryFile(dirFd, name, temp);
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
  if (rc == 0 && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0)
    rc = LastErrorFromErrno();
  if (rc != 0) ::unlinkat(dirFd, temp.c_str(), 0);
  return rc;
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
  const std::string absolute = Absolute(path);
  if (absolute.empty()) return kErrorPathNotFound;
  std::string resolved;
  uint32_t error = kErrorSuccess;
  switch (WalkTrusted(absolute, resolved, error)) {
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
  WritePlace place;
  std::string why;
  if (uint32_t rc = PlaceToWrite(path, place, why)) return rc;
  const int dirFd = place.dir.get();
  const char* name = place.name.c_str();
  // Looked at before it is opened: opening a FIFO or a device can block or
  // act on the device. Anything but a file that may be kept (an untrusted
  // link, a FIFO, a device, a second name of another file, a file planted in
  // a shared folder) loses the name to a new file, as a replacement would;
  // what it pointed to is never opened.
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !MayKeep(place, st)) {
    if (S_ISDIR(st.st_mode)) return ErrorFromErrno(EISDIR);
    if (::unlinkat(dirFd, name, 0) != 0 && errno != ENOENT) return LastErrorFromErrno();
  }
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd;
  bool created = false;
  // Twice at most: a writer of another process may create the file between
  // the two opens (EEXIST), and its file is then the one to append to.
  for (int attempt = 0; attempt < 2 && fd.get() < 0; ++attempt) {
    fd.reset(::openat(dirFd, name, flags));
    if (fd.get() >= 0 || errno != ENOENT) break;
    fd.reset(::openat(dirFd, name, flags | O_CREAT | O_EXCL, 0600));
    created = fd.get() >= 0;
    if (fd.get() < 0 && errno != EEXIST) break;
  }
  if (fd.get() < 0) return LastErrorFromErrno();
  // What was opened is checked again: the name may have changed since.
  if (::fstat(fd.get(), &st) != 0 || !MayKeep(place, st)) return kErrorAccessDenied;
  if (created) {
    if (uint32_t rc = ApplyNewFileMode(fd.get(), newMode)) return rc;
  }
  if (uint32_t rc = WriteAll(fd.get(), data)) return rc;
  return fd.Close() == 0 ? kErrorSuccess : LastErrorFromErrno();
}

uint32_t DeleteFile(const std::string& path) {
  UniqueFd dir;
  std::string why;
  if (uint32_t rc = OpenFolderToWrite(FolderOf(path), dir, why)) return rc;
  return ::unlinkat(dir.get(), NameOf(path).c_str(), 0) == 0 ? kErrorSuccess : LastErrorFromErrno();
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
                         const NewFileMode& newMode, std::string* why) {
  WritePlace place;
  std::string refusal;
  uint32_t rc = PlaceToWrite(path, place, refusal);
  if (rc == kErrorSuccess) rc = ReplaceIn(place, data, newMode);
  if (why) *why = rc == kErrorSuccess ? "" : !refusal.empty() ? refusal : SystemErrorText(rc);
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
