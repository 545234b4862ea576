// Hands one composed message to an SMTP server through libcurl.
#pragma once

#include <string>
#include <vector>

namespace quennet {

struct SmtpTarget {
  std::string host;
  int port = 25;
  std::string user;  // empty: no AUTH
  std::string password;
  bool implicitTls = false;  // TLS from the first byte (smtps) instead of STARTTLS
  std::string caFile;        // empty: the system's certificates
  std::string heloName;      // the name this machine gives in EHLO
  long connectTimeoutMs = 10000;
  long timeoutMs = 60000;
};

// Sends `message` from `from` to every address of `to`. Without implicit TLS
// the connection is upgraded with STARTTLS when the server offers it, and
// must be when a user name is given, so a password never crosses the network
// in clear. Certificates and host names are always checked. Throws MailError
// with curl's text and, when there is one, the server's last reply.
void SendSmtp(const SmtpTarget& target, const std::string& from, const std::vector<std::string>& to,
              const std::string& message);

}  // namespace quennet
