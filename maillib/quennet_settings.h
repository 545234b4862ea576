// The library's own settings, from "quennet.ini" beside it:
//
//   [Server]            used when the caller passes no server record
//   SmtpHost=mail.example.org
//   SmtpPort=25
//   User=               a user name makes STARTTLS compulsory
//   Password=
//   [Options]           used for every message
//   From=               sender address; else User when it holds "@",
//                       else "vigilo@" and this machine's name
//   CAFile=             certificates to trust; else the system's
//   ConnectTimeout=10   seconds to reach the server
//   Timeout=60          seconds for the whole message
//   ImplicitTlsPort=465 the port that speaks TLS from the first byte
//
// Section and key names ignore ASCII case; the first occurrence wins; blanks
// around names and values are trimmed and one pair of enclosing quotes is
// dropped; lines starting with ";" or "#" are comments. A missing file or
// key gives the default shown; a number that does not read gives its default.
// A file that exists but cannot be read is a MailError.
#pragma once

#include <string>

namespace quennet {

struct ServerSettings {
  std::string host;
  int port = 25;
  std::string user;
  std::string password;
};

struct QuennetSettings {
  ServerSettings server;
  std::string from;
  std::string caFile;
  long connectTimeoutSeconds = 10;
  long timeoutSeconds = 60;
  int implicitTlsPort = 465;
};

QuennetSettings LoadQuennetSettings(const std::string& path);

// The path of "quennet.ini" in the folder of this library.
std::string QuennetSettingsPath();

}  // namespace quennet
