// The service registration store, in place of the registry's service keys.
//
// One profile file per service: $VIGILO_SCM_DIR/services/<name in lower
// case>.ini (VIGILO_SCM_DIR defaults to /etc/vigilo), section [Service],
// keys DisplayName, ImagePath, StartType (2 automatic, 3 on demand,
// 4 disabled), User (the account the service runs as; empty = root) and,
// optionally, Environment: variables the service gets, as NAME=value
// entries separated by ";" (so a value cannot hold ";"), for instance
// "LANG=fr_FR.UTF-8;LC_TIME=de_DE.UTF-8". They win over the machine's locale
// (LANG and LC_* of /etc/default/locale) that the manager hands every service.
// Service names match without regard to ASCII case. A name holding "/",
// NUL or "..", or an empty one, names no service.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Start types.
enum : int {
  kServiceAutoStart = 2,    // started with the manager
  kServiceDemandStart = 3,  // started on request
  kServiceDisabled = 4,     // never started
};

struct ServiceRegistration {
  std::string Name;
  std::string DisplayName;
  std::string ImagePath;
  int StartType = kServiceDemandStart;
  std::string User;
  std::string Environment;
};

// The NAME=value entries of an Environment value, in order; entries without
// "=" or with an empty name are left out.
std::vector<std::string> RegistrationEnvironment(const std::string& environment);

// $VIGILO_SCM_DIR/services
std::string ServiceRegistrationDir();

// The form under which service `name` is stored and matched: ASCII letters in
// lower case.
std::string ServiceNameKey(const std::string& name);

// The ImagePath of service `name` ("Services\NAME" value "ImagePath");
// nullopt when the service is not registered or has no ImagePath.
std::optional<std::string> ReadServiceImagePath(const std::string& name);

// Registrations are read only from a folder and files that nobody but root
// (or the reading process's own user) owns and that are not writable by group
// or others, and only from regular files: a FIFO, device or symbolic link in
// the folder is never opened so that it could block or redirect the reader.
// A file refused so counts as not registered; `refusals`, when given, gets one
// line for each, naming the file and why.
std::optional<ServiceRegistration> ReadServiceRegistration(
    const std::string& name, std::vector<std::string>* refusals = nullptr);

// All registrations of the store, in the order of their file names.
std::vector<ServiceRegistration> ListServiceRegistrations(
    std::vector<std::string>* refusals = nullptr);

// Writes a new registration. Throws SystemError 1073 when it exists already,
// 87 when it names no program (empty ImagePath),
// or the code of the file error.
void WriteServiceRegistration(const ServiceRegistration& registration);

// Removes a registration. Throws SystemError 1060 when it does not exist.
void DeleteServiceRegistration(const std::string& name);

}  // namespace platform
