#include "maillib/smtp_transport.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "maillib/mail_text.h"
#include "platform/cp1252.h"
#include "platform/eintr.h"

namespace quennet {

namespace {

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct MimeDeleter {
  void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

// Feeds one attachment to curl's encoder straight from its descriptor, as
// curl asks for it. Exactly the size found at opening is sent: a file that
// shrinks meanwhile fails the message rather than sending it cut.
struct AttachmentStream {
  const MailAttachment* attachment;
  int64_t offset = 0;
  int error = 0;  // errno of a failed read, -1 for a file that shrank

  static size_t Read(char* buffer, size_t size, size_t count, void* user) {
    auto* self = static_cast<AttachmentStream*>(user);
    const int64_t left = self->attachment->size - self->offset;
    if (left <= 0) return 0;
    const size_t want = std::min(size * count, static_cast<size_t>(left));
    const ssize_t n = platform::RetryOnEintr(
        [&] { return ::pread(self->attachment->file.get(), buffer, want, self->offset); });
    if (n > 0) {
      self->offset += n;
      return static_cast<size_t>(n);
    }
    self->error = n < 0 ? errno : -1;
    return CURL_READFUNC_ABORT;
  }
  static int Seek(void* user, curl_off_t offset, int origin) {
    auto* self = static_cast<AttachmentStream*>(user);
    if (origin != SEEK_SET || offset < 0 || offset > self->attachment->size) {
      return CURL_SEEKFUNC_CANTSEEK;
    }
    self->offset = offset;
    return CURL_SEEKFUNC_OK;
  }
};

// Keeps the server's last refusal (a 4xx or 5xx reply), for the error text;
// the QUIT that follows it is of no interest.
int WatchReplies(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_HEADER_IN || size == 0 || (data[0] != '4' && data[0] != '5')) return 0;
  try {  // called by curl: nothing may escape
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    *static_cast<std::string*>(user) = line;
  } catch (...) {
  }
  return 0;
}

bool IsValidHostName(const std::string& host) {
  if (host.empty()) return false;
  return std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':';
  });
}

void Check(CURLcode code, const char* what) {
  if (code != CURLE_OK) {
    throw MailError(std::string("Mail library set-up failed (") + what +
                    "): " + curl_easy_strerror(code));
  }
}

using SList = std::unique_ptr<curl_slist, ListDeleter>;

void Append(SList& list, const std::string& text) {
  curl_slist* grown = curl_slist_append(list.get(), text.c_str());
  if (grown == nullptr) throw MailError("Out of memory");
  list.release();
  list.reset(grown);
}

// "host:port", an IPv6 address in brackets, once both are found valid.
std::string ServerAddress(const SmtpTarget& target) {
  if (!IsValidHostName(target.host)) throw MailError("Invalid SMTP server name: " + target.host);
  if (target.port < 1 || target.port > 65535) {
    throw MailError("Invalid SMTP port: " + std::to_string(target.port));
  }
  const bool ipv6 = target.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + target.host + "]" : target.host) + ":" + std::to_string(target.port);
}

// One transfer: the handle and everything curl reads while it runs. The
// handle is the last member, so that it goes first.
struct Transfer {
  explicit Transfer(std::string server) : server(std::move(server)) {}

  const std::string server;  // ServerAddress
  SList recipients;
  SList headers;
  std::vector<AttachmentStream> streams;
  std::unique_ptr<curl_mime, MimeDeleter> mime;
  std::string mailFrom;
  char curlError[CURL_ERROR_SIZE] = {};
  std::string refusal;  // the server's last 4xx or 5xx reply
  std::unique_ptr<CURL, EasyDeleter> curl{curl_easy_init()};
};

curl_mimepart* AddPart(curl_mime* mime) {
  curl_mimepart* part = curl_mime_addpart(mime);
  if (part == nullptr) throw MailError("Out of memory");
  return part;
}

// The text part, then one base64 part per attachment, read from its
// descriptor as curl sends it.
void BuildBody(Transfer& transfer, const MailMessage& message) {
  transfer.mime.reset(curl_mime_init(transfer.curl.get()));
  if (!transfer.mime) throw MailError("Out of memory");
  const TextPart body = BodyPart(message.bodyLines);
  curl_mimepart* part = AddPart(transfer.mime.get());
  Check(curl_mime_data(part, body.text.data(), body.text.size()), "text");
  Check(curl_mime_type(part, body.contentType.c_str()), "text");
  Check(curl_mime_encoder(part, body.encoding.c_str()), "text");
  transfer.streams.reserve(message.attachments.size());  // curl keeps their addresses
  for (const MailAttachment& attachment : message.attachments) {
    transfer.streams.push_back(AttachmentStream{&attachment});
    part = AddPart(transfer.mime.get());
    Check(curl_mime_data_cb(part, attachment.size, &AttachmentStream::Read, &AttachmentStream::Seek,
                            nullptr, &transfer.streams.back()),
          "attachment");
    Check(curl_mime_type(part, attachment.contentType.c_str()), "attachment");
    Check(curl_mime_encoder(part, "base64"), "attachment");
    // Our own disposition, which curl then leaves alone: it keeps the RFC 2231
    // form for names outside ASCII.
    SList partHeaders;
    Append(partHeaders, AttachmentDisposition(attachment.fileName));
    Check(curl_mime_headers(part, partHeaders.release(), 1), "attachment");
  }
}

// The server, the time-outs, TLS with its checks, and the login.
void SetConnection(Transfer& transfer, const SmtpTarget& target) {
  CURL* h = transfer.curl.get();
  // The URL's path is the name curl gives in EHLO.
  const std::string url = std::string(target.implicitTls ? "smtps://" : "smtp://") +
                          transfer.server + "/" +
                          (IsValidHostName(target.heloName) ? target.heloName : "localhost");
  Check(curl_easy_setopt(h, CURLOPT_URL, url.c_str()), "URL");
  Check(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps"), "protocols");
  // Mail goes straight to its server, whatever proxy the environment names.
  Check(curl_easy_setopt(h, CURLOPT_PROXY, ""), "proxy");
  Check(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, transfer.curlError), "error buffer");
  // No signals: the library may run on any thread of its caller.
  Check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L), "signals");
  Check(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, target.connectTimeoutMs), "time-out");
  Check(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, target.timeoutMs), "time-out");
  Check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L), "certificate check");
  Check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L), "certificate check");
  Check(curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)),
        "TLS version");
  if (!target.caFile.empty())
    Check(curl_easy_setopt(h, CURLOPT_CAINFO, target.caFile.c_str()), "CA file");
  if (!target.implicitTls) {
    const long tls = target.user.empty() ? CURLUSESSL_TRY : CURLUSESSL_ALL;
    Check(curl_easy_setopt(h, CURLOPT_USE_SSL, tls), "STARTTLS");
  }
  if (!target.user.empty()) {
    Check(curl_easy_setopt(h, CURLOPT_USERNAME, target.user.c_str()), "user");
    Check(curl_easy_setopt(h, CURLOPT_PASSWORD, target.password.c_str()), "password");
  }
}

// The envelope, the message's header lines and body, and the watch on the
// server's replies.
void SetMessage(Transfer& transfer) {
  CURL* h = transfer.curl.get();
  Check(curl_easy_setopt(h, CURLOPT_MAIL_FROM, transfer.mailFrom.c_str()), "sender");
  Check(curl_easy_setopt(h, CURLOPT_MAIL_RCPT, transfer.recipients.get()), "recipients");
  // For SMTP the "HTTP" headers are the message's own, put above curl's
  // MIME-Version and multipart Content-Type.
  Check(curl_easy_setopt(h, CURLOPT_HTTPHEADER, transfer.headers.get()), "headers");
  Check(curl_easy_setopt(h, CURLOPT_MIMEPOST, transfer.mime.get()), "message");
  // The debug hook only runs in verbose mode; it replaces curl's own output.
  Check(curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &WatchReplies), "replies");
  Check(curl_easy_setopt(h, CURLOPT_DEBUGDATA, &transfer.refusal), "replies");
  Check(curl_easy_setopt(h, CURLOPT_VERBOSE, 1L), "replies");
}

// A failed transfer's error: an attachment that could not be read, else
// curl's text with its details and the server's refusal.
[[noreturn]] void ThrowTransferError(const Transfer& transfer, CURLcode result) {
  for (const AttachmentStream& stream : transfer.streams) {
    if (stream.error != 0) {
      throw MailError("Cannot read attachment " + stream.attachment->path + ": " +
                      (stream.error < 0 ? std::string("the file shrank while it was sent")
                                        : std::strerror(stream.error)));
    }
  }
  std::string text = "SMTP server " + transfer.server + ": " + curl_easy_strerror(result);
  if (transfer.curlError[0] != '\0' &&
      std::strcmp(transfer.curlError, curl_easy_strerror(result)) != 0) {
    text += " (" + std::string(transfer.curlError) + ")";
  }
  // The reply is the server's bytes, UTF-8 where it speaks SMTPUTF8; the
  // error text goes back in the callers' cp1252.
  if (!transfer.refusal.empty())
    text += "; server reply: " + platform::Utf8ToCp1252(transfer.refusal);
  throw MailError(text);
}

}  // namespace

void SendSmtp(const SmtpTarget& target, const MailMessage& message,
              const std::vector<std::string>& headers) {
  Transfer transfer(ServerAddress(target));
  if (!transfer.curl) throw MailError("Mail library set-up failed: no curl handle");
  for (const std::string& address : message.to) Append(transfer.recipients, "<" + address + ">");
  for (const std::string& header : headers) Append(transfer.headers, header);
  transfer.mailFrom = "<" + message.from + ">";
  BuildBody(transfer, message);
  SetConnection(transfer, target);
  SetMessage(transfer);
  const CURLcode result = curl_easy_perform(transfer.curl.get());
  if (result != CURLE_OK) ThrowTransferError(transfer, result);
}

}  // namespace quennet
