#include "platform/registry.h"
#include "platform/ascii.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/syserror.h"

namespace platform {
namespace {

constexpr char kSection[] = "Service";
constexpr char kSuffix[] = ".ini";

bool ValidName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.find("..") == std::string::npos;
}

std::string RegistrationPath(const std::string& name) {
  return JoinPath(ServiceRegistrationDir(), ServiceNameKey(name) + kSuffix);
}

std::optional<ServiceRegistration> ReadFile(const std::string& name, const std::string& path) {
  if (!FileExists(path)) return std::nullopt;
  try {
    ProfileFile profile(path);
    ServiceRegistration reg;
    reg.Name = name;
    reg.DisplayName = profile.ReadString(kSection, "DisplayName", "");
    reg.ImagePath = profile.ReadString(kSection, "ImagePath", "");
    reg.StartType = profile.ReadInteger(kSection, "StartType", kServiceDemandStart);
    reg.User = profile.ReadString(kSection, "User", "");
    reg.Environment = profile.ReadString(kSection, "Environment", "");
    return reg;
  } catch (const ProfileError&) {
    // A registration that cannot be read is no registration.
    return std::nullopt;
  }
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

std::optional<ServiceRegistration> ReadServiceRegistration(const std::string& name) {
  if (!ValidName(name)) return std::nullopt;
  return ReadFile(name, RegistrationPath(name));
}

std::vector<ServiceRegistration> ListServiceRegistrations() {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(ServiceRegistrationDir().c_str()), ::closedir);
  if (!dir) return {};
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
    if (auto reg = ReadFile(name, JoinPath(ServiceRegistrationDir(), file))) {
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
