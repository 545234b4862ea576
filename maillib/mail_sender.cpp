#include "maillib/mail_sender.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <random>

#include "maillib/mail_message.h"
#include "maillib/mail_text.h"
#include "maillib/smtp_transport.h"

namespace quennet {

namespace {

// A record's field need not hold its zero: never read past the field.
std::string Field(const char* field, size_t size) {
  return std::string(field, ::strnlen(field, size));
}

std::string MachineName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  std::string text = name;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return "localhost";
  }
  return text.empty() ? "localhost" : text;
}

std::string RandomHex(size_t digits) {
  static const char hex[] = "0123456789abcdef";
  std::random_device device;
  std::string out;
  while (out.size() < digits) {
    unsigned value = device();
    for (int i = 0; i < 8 && out.size() < digits; ++i, value >>= 4) out += hex[value & 15];
  }
  return out;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

MailAttachment OpenAttachment(const std::string& path) {
  MailAttachment attachment;
  // The path is the caller's cp1252 text; the file system spells it in UTF-8.
  const int error = OpenRegularFile(Cp1252ToUtf8(path), attachment.file, attachment.size);
  if (error == ENOENT) throw MailError("Attachment not found: " + path);
  if (error == EISDIR) throw MailError("Attachment is not a file: " + path);
  if (error != 0) throw MailError("Cannot read attachment " + path + ": " + std::strerror(error));
  attachment.path = path;
  attachment.fileName = Cp1252ToUtf8(BaseName(path));
  attachment.contentType = ContentTypeFor(attachment.fileName);
  return attachment;
}

}  // namespace

void SendMail(const MailRequest& request, const QuennetSettings& settings) {
  MailMessage message;
  for (const std::string& address : SplitRecipients(request.recipients)) {
    if (!IsValidAddress(address)) throw MailError("Invalid recipient address: " + address);
    message.to.push_back(Cp1252ToUtf8(address));
  }
  if (message.to.empty()) throw MailError("No recipient given");

  ServerSettings server = settings.server;
  if (request.server != nullptr) {
    const TMailServerParams& p = *request.server;
    server.host = Field(p.SmtpHost, sizeof p.SmtpHost);
    server.port = p.SmtpPort;
    server.user = Field(p.User, sizeof p.User);
    server.password = Field(p.Password, sizeof p.Password);
  }
  if (server.host.empty()) throw MailError("No SMTP server configured");

  const std::string machine = MachineName();
  if (!settings.from.empty()) {
    message.from = settings.from;
  } else if (server.user.find('@') != std::string::npos) {
    message.from = server.user;
  } else {
    message.from = "vigilo@" + machine;
  }
  // Checked before the conversion, so the error text is in the caller's code
  // page like every other text it gets back.
  if (!IsValidAddress(message.from)) throw MailError("Invalid sender address: " + message.from);
  message.from = Cp1252ToUtf8(message.from);

  for (const std::string& path : SplitDelimited(request.attachments)) {
    if (!path.empty()) message.attachments.push_back(OpenAttachment(path));
  }
  message.subject = Cp1252ToUtf8(request.subject);
  for (const std::string& line : SplitDelimited(request.bodyLines)) {
    message.bodyLines.push_back(Cp1252ToUtf8(line));
  }

  const size_t at = message.from.find('@');
  const std::string domain = at == std::string::npos || at + 1 == message.from.size()
                                 ? machine
                                 : message.from.substr(at + 1);
  const std::vector<std::string> headers =
      MessageHeaders(message, MailDate(std::time(nullptr)), RandomHex(24) + "@" + domain);

  SmtpTarget target;
  target.host = server.host;
  target.port = server.port;
  target.user = Cp1252ToUtf8(server.user);
  target.password = Cp1252ToUtf8(server.password);
  target.implicitTls = server.port == settings.implicitTlsPort;
  target.caFile = settings.caFile;
  target.heloName = machine;
  target.connectTimeoutMs = settings.connectTimeoutSeconds * 1000;
  target.timeoutMs = settings.timeoutSeconds * 1000;
  SendSmtp(target, message, headers);
}

}  // namespace quennet
