// The text of one message, as it goes to the SMTP server after DATA.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace quennet {

struct MailAttachment {
  std::string fileName;     // the name shown to the reader, UTF-8
  std::string contentType;  // for instance "text/html; charset=utf-8"
  std::string data;         // the file's bytes
};

// Texts are UTF-8; addresses are checked by the caller.
struct MailMessage {
  std::string from;
  std::vector<std::string> to;
  std::string subject;
  std::vector<std::string> bodyLines;
  std::vector<MailAttachment> attachments;
};

// The content type of a file by its extension: the reports (".html",
// ".htm") are "text/html; charset=utf-8", ".txt" "text/plain;
// charset=utf-8", anything else "application/octet-stream".
std::string ContentTypeFor(const std::string& fileName);

// "Tue, 03 Jun 2025 10:00:00 +0200": `when` in local time, with English
// names whatever the process locale.
std::string MailDate(std::time_t when);

// The whole message with CR LF line ends. `boundary` separates the parts
// when there are attachments and must occur in none of them (base64 and a
// body that holds it are the caller's to avoid); `messageId` goes between
// angle brackets.
std::string ComposeMessage(const MailMessage& message, const std::string& date,
                           const std::string& messageId, const std::string& boundary);

}  // namespace quennet
