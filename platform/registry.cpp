#include "platform/registry.h"
#include "platform/ascii.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <memory>

#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr char kSection[] = "Service";
constexpr char kSuffix[] = ".ini";
// Far above any registration; a larger file is no registration.
constexpr size_t kMaxRegistrationSize = 65536;

bool ValidName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.find("..") == std::string::npos;
}

std::string RegistrationPath(const std::string& name) {
  return JoinPath(ServiceRegistrationDir(), ServiceNameKey(name) + kSuffix);
}

ServiceRegistration FromText(const std::string& name, const std::string& path,
                             const std::string& text) {
  ProfileFile profile(path, text);
  ServiceRegistration reg;
  reg.Name = name;
  reg.DisplayName = profile.ReadString(kSection, "DisplayName", "");
  reg.ImagePath = profile.ReadString(kSection, "ImagePath", "");
  reg.StartType = profile.ReadInteger(kSection, "StartType", kServiceDemandStart);
  reg.User = profile.ReadString(kSection, "User", "");
  reg.Environment = profile.ReadString(kSection, "Environment", "");
  return reg;
}

// A registration says what runs as root, so only what nobody else could have
// written counts, as cron and sshd judge their files (platform::Distrust): the
// reader itself could write it anyway.

void Refuse(std::vector<std::string>* refusals, const std::string& what, const std::string& why) {
  if (refusals != nullptr) refusals->push_back(what + " " + why + ": not served");
}

// The registrations folder, open, when it is there and trusted.
UniqueFd OpenFolder(std::vector<std::string>* refusals) {
  const std::string dir = ServiceRegistrationDir();
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT)
      Refuse(refusals, dir, "cannot be read: " + std::string(std::strerror(errno)));
    return {};
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return {};
  if (std::string why = Distrust(st); !why.empty()) {
    Refuse(refusals, "the folder " + dir, why);
    return {};
  }
  return fd;
}

// Reads the registration file `file` of the folder `dir`. A FIFO or device is
// never read (opening without blocking, then fstat, so a FIFO cannot hold the
// reader), nor a symbolic link (O_NOFOLLOW) or an untrusted file.
std::optional<ServiceRegistration> ReadFile(int dir, const std::string& name,
                                            const std::string& file,
                                            std::vector<std::string>* refusals) {
  const std::string path = JoinPath(ServiceRegistrationDir(), file);
  UniqueFd fd(::openat(dir, file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    Refuse(refusals, path,
           errno == ELOOP ? "is a symbolic link"
                          : "cannot be read: " + std::string(std::strerror(errno)));
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    Refuse(refusals, path, "is not a regular file");
    return std::nullopt;
  }
  if (std::string why = Distrust(st); !why.empty()) {
    Refuse(refusals, path, why);
    return std::nullopt;
  }
  if (st.st_size > static_cast<off_t>(kMaxRegistrationSize)) {
    Refuse(refusals, path, "is too large");
    return std::nullopt;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n =
        RetryOnEintr([&] { return ::read(fd.get(), text.data() + got, text.size() - got); });
    if (n < 0) {
      Refuse(refusals, path, "cannot be read: " + std::string(std::strerror(errno)));
      return std::nullopt;
    }
    if (n == 0) break;  // it shrank meanwhile: what is there counts
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  return FromText(name, path, text);
}

}  // namespace

std::string ServiceNameKey(const std::string& name) {
  return AsciiLowerCase(name);
}

std::string ServiceRegistrationDir() {
  std::string root = GetEnvironmentVariable("VIGILO_SCM_DIR");
  return JoinPath(root.empty() ? "/etc/vigilo" : root, "services");
}

std::optional<std::string> ReadServiceImagePath(const std::string& name) {
  std::optional<ServiceRegistration> reg = ReadServiceRegistration(name);
  if (!reg || reg->ImagePath.empty()) return std::nullopt;
  return reg->ImagePath;
}

std::optional<ServiceRegistration> ReadServiceRegistration(const std::string& name,
                                                           std::vector<std::string>* refusals) {
  if (!ValidName(name)) return std::nullopt;
  UniqueFd dir = OpenFolder(refusals);
  if (dir.get() < 0) return std::nullopt;
  return ReadFile(dir.get(), name, ServiceNameKey(name) + kSuffix, refusals);
}

std::vector<ServiceRegistration> ListServiceRegistrations(std::vector<std::string>* refusals) {
  std::vector<std::string> names;
  UniqueFd folder = OpenFolder(refusals);
  if (folder.get() < 0) return {};
  // The listing owns a descriptor of its own: the folder's stays for openat.
  UniqueFd listed(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
  std::unique_ptr<DIR, int (*)(DIR*)> dir(listed.get() < 0 ? nullptr : ::fdopendir(listed.get()),
                                          ::closedir);
  if (!dir) return {};
  listed.release();
  const size_t suffixSize = sizeof kSuffix - 1;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string file = entry->d_name;
    if (file.size() <= suffixSize ||
        file.compare(file.size() - suffixSize, suffixSize, kSuffix) != 0)
      continue;
    std::string name = file.substr(0, file.size() - suffixSize);
    // Only files that the store itself would name: lower case, valid.
    if (ValidName(name) && name == ServiceNameKey(name)) names.push_back(file);
  }
  std::sort(names.begin(), names.end());
  std::vector<ServiceRegistration> result;
  for (const std::string& file : names) {
    std::string name = file.substr(0, file.size() - suffixSize);
    if (auto reg = ReadFile(folder.get(), name, file, refusals)) {
      result.push_back(std::move(*reg));
    }
  }
  return result;
}

void WriteServiceRegistration(const ServiceRegistration& registration) {
  if (!ValidName(registration.Name)) throw SystemError(kErrorInvalidName);
  // A registration without its program could never be started.
  if (registration.ImagePath.empty()) throw SystemError(kErrorInvalidParameter);
  std::string dir = ServiceRegistrationDir();
  if (uint32_t err = CreateDirectories(dir)) throw SystemError(err);
  std::string path = RegistrationPath(registration.Name);
  if (FileExists(path)) throw SystemError(kErrorServiceExists);
  std::string text;
  try {
    ProfileFile profile(path);
    profile.WriteString(kSection, "DisplayName", registration.DisplayName);
    profile.WriteString(kSection, "ImagePath", registration.ImagePath);
    profile.WriteInteger(kSection, "StartType", registration.StartType);
    profile.WriteString(kSection, "User", registration.User);
    if (!registration.Environment.empty()) {
      profile.WriteString(kSection, "Environment", registration.Environment);
    }
    text = profile.Text();
  } catch (const ProfileError&) {
    // Only a value with a line break or NUL can be refused here.
    throw SystemError(kErrorInvalidParameter);
  }
  if (uint32_t err = WriteFileAtomic(path, text)) throw SystemError(err);
}

std::vector<std::string> RegistrationEnvironment(const std::string& environment) {
  std::vector<std::string> entries;
  size_t begin = 0;
  while (begin <= environment.size()) {
    size_t end = environment.find(';', begin);
    if (end == std::string::npos) end = environment.size();
    std::string entry = environment.substr(begin, end - begin);
    size_t equals = entry.find('=');
    if (equals != std::string::npos && equals > 0) entries.push_back(entry);
    begin = end + 1;
  }
  return entries;
}

void DeleteServiceRegistration(const std::string& name) {
  if (!ValidName(name)) throw SystemError(kErrorServiceDoesNotExist);
  uint32_t err = DeleteFile(RegistrationPath(name));
  if (err == kErrorFileNotFound || err == kErrorPathNotFound) {
    throw SystemError(kErrorServiceDoesNotExist);
  }
  if (err != kErrorSuccess) throw SystemError(err);
}

}  // namespace platform
