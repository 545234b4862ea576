#include "maillib/quennet_settings.h"

#include <dlfcn.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include "maillib/mail_text.h"
#include "platform/ascii.h"

namespace quennet {

namespace {

// Lines may end in CR LF.
std::string Trim(std::string_view text) {
  return std::string(platform::TrimBlanks(text, " \t\r"));
}

using Values = std::map<std::pair<std::string, std::string>, std::string>;

Values ReadValues(const std::string& path) {
  Values values;
  std::string data;
  const int error = ReadFileBytes(path, data);
  if (error == ENOENT) return values;
  if (error != 0) throw MailError("Cannot read " + path + ": " + std::strerror(error));
  std::istringstream in(data);
  std::string line, section;
  while (std::getline(in, line)) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text[0] == '[') {
      size_t close = text.find(']');
      section = platform::AsciiLowerCase(
          Trim(text.substr(1, close == std::string::npos ? close : close - 1)));
      continue;
    }
    size_t eq = text.find('=');
    if (eq == std::string::npos) continue;
    values.emplace(std::make_pair(section, platform::AsciiLowerCase(Trim(text.substr(0, eq)))),
                   std::string(platform::StripQuotes(Trim(text.substr(eq + 1)))));
  }
  return values;
}

std::string Text(const Values& values, const char* section, const char* key,
                 const std::string& def) {
  auto it = values.find({section, key});
  return it == values.end() ? def : it->second;
}

long Number(const Values& values, const char* section, const char* key, long def, long low,
            long high) {
  auto it = values.find({section, key});
  if (it == values.end() || it->second.empty()) return def;
  char* end = nullptr;
  long value = std::strtol(it->second.c_str(), &end, 10);
  if (*end != '\0' || value < low || value > high) return def;
  return value;
}

}  // namespace

QuennetSettings LoadQuennetSettings(const std::string& path) {
  const Values v = ReadValues(path);
  QuennetSettings s;
  s.server.host = Text(v, "server", "smtphost", s.server.host);
  s.server.port = static_cast<int>(Number(v, "server", "smtpport", s.server.port, 1, 65535));
  s.server.user = Text(v, "server", "user", s.server.user);
  s.server.password = Text(v, "server", "password", s.server.password);
  s.from = Text(v, "options", "from", s.from);
  s.caFile = Text(v, "options", "cafile", s.caFile);
  s.connectTimeoutSeconds =
      Number(v, "options", "connecttimeout", s.connectTimeoutSeconds, 1, 3600);
  s.timeoutSeconds = Number(v, "options", "timeout", s.timeoutSeconds, 1, 86400);
  s.implicitTlsPort =
      static_cast<int>(Number(v, "options", "implicittlsport", s.implicitTlsPort, 1, 65535));
  return s;
}

std::string QuennetSettingsPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&QuennetSettingsPath), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "quennet.ini";
  }
  std::string self = info.dli_fname;
  size_t slash = self.rfind('/');
  return slash == std::string::npos ? "quennet.ini" : self.substr(0, slash + 1) + "quennet.ini";
}

}  // namespace quennet
