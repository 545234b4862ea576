// Hands one message to an SMTP server through libcurl, built by its MIME
// API so that attachments are read and encoded as they are sent.
#pragma once

#include <string>
#include <vector>

#include "maillib/mail_message.h"

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

// Sends `message` from its sender to every one of its addresses, with the
// header lines `headers` (MessageHeaders) above a multipart/mixed body: the
// text part, then one base64 part per attachment. Memory does not grow with
// the attachments. Without implicit TLS the connection is upgraded with
// STARTTLS when the server offers it, and must be when a user name is given,
// so a password never crosses the network in clear. Certificates and host
// names are always checked. Throws MailError with curl's text and, when there
// is one, the server's last reply; an attachment that cannot be read whole
// gives "Cannot read attachment <path>: <reason>".
void SendSmtp(const SmtpTarget& target, const MailMessage& message,
              const std::vector<std::string>& headers);

}  // namespace quennet
