#include "maillib/mail_message.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "maillib/mail_text.h"
#include "platform/ascii.h"

namespace quennet {

namespace {

constexpr size_t kLineGoal = 78;
constexpr size_t kLineLimit = 998;

std::string LowerExtension(const std::string& fileName) {
  size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) return "";
  return platform::AsciiLowerCase(fileName.substr(dot + 1));
}

// Control characters in a header would end it and start another: they
// become blanks.
std::string HeaderSafe(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  }
  return out;
}

// "Name: value", folded before blanks so that lines stay near 78
// characters; unfolding gives the value back unchanged.
std::string FoldedHeader(const std::string& name, const std::string& value) {
  std::string out = name + ": ";
  size_t lineLength = out.size();
  size_t at = 0;
  while (at < value.size()) {
    size_t next = value.find(' ', at + 1);
    if (next == std::string::npos) next = value.size();
    const size_t length = next - at;
    // A continuation line must hold more than blanks.
    const bool hasWord = value.find_first_not_of(' ', at) < next;
    if (at > 0 && hasWord && lineLength + length > kLineGoal) {
      out += "\r\n";
      lineLength = 0;
    }
    out.append(value, at, length);
    lineLength += length;
    at = next;
  }
  return out;
}

std::string SubjectHeader(const std::string& subject) {
  const std::string safe = HeaderSafe(subject);
  // Encoded words also keep an over-long subject inside the line limit.
  if (IsPrintableAscii(safe) && safe.find("=?") == std::string::npos &&
      safe.size() < kLineLimit - 20) {
    return FoldedHeader("Subject", safe);
  }
  return "Subject: " + EncodeHeaderWords(safe);
}

std::string ToHeader(const std::vector<std::string>& to) {
  std::string value;
  for (const std::string& address : to) value += (value.empty() ? "" : ", ") + address;
  return FoldedHeader("To", value);
}

// A quoted file name, or the RFC 2231 form for one that is not plain ASCII.
std::string FileNameParameter(const std::string& fileName) {
  const std::string safe = HeaderSafe(fileName);
  if (IsPrintableAscii(safe) && safe.find_first_of("\"\\") == std::string::npos) {
    return "filename=\"" + safe + "\"";
  }
  std::string encoded = "filename*=UTF-8''";
  for (unsigned char c : safe) {
    if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", c) != nullptr) {
      encoded += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += hex;
    }
  }
  return encoded;
}

}  // namespace

std::string ContentTypeFor(const std::string& fileName) {
  const std::string ext = LowerExtension(fileName);
  if (ext == "html" || ext == "htm") return "text/html; charset=utf-8";
  if (ext == "txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

std::string MailDate(std::time_t when) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  long offset = local.tm_gmtoff / 60;
  const char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                days[local.tm_wday], local.tm_mday, months[local.tm_mon], local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
  return text;
}

std::vector<std::string> MessageHeaders(const MailMessage& message, const std::string& date,
                                        const std::string& messageId) {
  return {"Date: " + HeaderSafe(date), "From: " + HeaderSafe(message.from), ToHeader(message.to),
          SubjectHeader(message.subject), "Message-ID: <" + HeaderSafe(messageId) + ">"};
}

TextPart BodyPart(const std::vector<std::string>& lines) {
  TextPart part{"text/plain; charset=utf-8", "7bit", ""};
  bool plain = true;
  for (std::string line : lines) {
    // A lone CR or LF inside a line would end it in the middle.
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    plain = plain && line.size() <= kLineLimit &&
            std::all_of(line.begin(), line.end(),
                        [](unsigned char c) { return (c >= 32 && c < 127) || c == '\t'; });
    part.text += line + "\r\n";
  }
  if (!plain) part.encoding = "base64";
  return part;
}

std::string AttachmentDisposition(const std::string& fileName) {
  return "Content-Disposition: attachment; " + FileNameParameter(fileName);
}

}  // namespace quennet
