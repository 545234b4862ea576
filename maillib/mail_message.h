// The parts of one message: its header lines, its body and its attachments,
// which the transport hands to libcurl's MIME builder.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace quennet {

// A file to attach, already open: the file that was checked is the file that
// is sent, and it is read as it is sent, never held in memory whole.
struct MailAttachment {
  std::string path;         // for error texts, as the caller gave it
  std::string fileName;     // the name shown to the reader, UTF-8
  std::string contentType;  // for instance "text/html; charset=utf-8"
  platform::UniqueFd file;  // a regular file open for reading
  int64_t size = 0;         // its size when it was opened; that much is sent
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

// The message's own header lines: Date, From, To, Subject and Message-ID
// (`messageId` goes between angle brackets), each without its final line
// end. A long one is folded: it holds CR LF and a blank where it continues.
// Control characters never reach a header, so none can start another.
std::vector<std::string> MessageHeaders(const MailMessage& message, const std::string& date,
                                        const std::string& messageId);

// The text part: the lines joined by CR LF (each line's own CR and LF become
// blanks), to go "7bit" when it is plain ASCII in short lines, else "base64".
struct TextPart {
  std::string contentType;
  std::string encoding;
  std::string text;
};
TextPart BodyPart(const std::vector<std::string>& lines);

// "Content-Disposition: attachment; filename=..." with the name quoted, or in
// the RFC 2231 form when it is not plain ASCII.
std::string AttachmentDisposition(const std::string& fileName);

}  // namespace quennet
