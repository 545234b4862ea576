#include "maillib/smtp_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "maillib/mail_text.h"

namespace quennet {

namespace {

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Upload {
  const std::string* data;
  size_t offset = 0;
};

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  const size_t n = std::min(size * count, upload->data->size() - upload->offset);
  std::memcpy(buffer, upload->data->data() + upload->offset, n);
  upload->offset += n;
  return n;
}

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

}  // namespace

void SendSmtp(const SmtpTarget& target, const std::string& from, const std::vector<std::string>& to,
              const std::string& message) {
  if (!IsValidHostName(target.host)) throw MailError("Invalid SMTP server name: " + target.host);
  if (target.port < 1 || target.port > 65535) {
    throw MailError("Invalid SMTP port: " + std::to_string(target.port));
  }
  const bool ipv6 = target.host.find(':') != std::string::npos;
  const std::string server =
      (ipv6 ? "[" + target.host + "]" : target.host) + ":" + std::to_string(target.port);
  // The URL's path is the name curl gives in EHLO.
  const std::string url = std::string(target.implicitTls ? "smtps://" : "smtp://") + server + "/" +
                          (IsValidHostName(target.heloName) ? target.heloName : "localhost");

  std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
  if (!curl) throw MailError("Mail library set-up failed: no curl handle");
  CURL* h = curl.get();

  std::unique_ptr<curl_slist, ListDeleter> recipients;
  for (const std::string& address : to) {
    curl_slist* grown = curl_slist_append(recipients.get(), ("<" + address + ">").c_str());
    if (grown == nullptr) throw MailError("Out of memory");
    recipients.release();
    recipients.reset(grown);
  }

  char curlError[CURL_ERROR_SIZE] = {};
  std::string refusal;
  Upload upload{&message};
  const std::string mailFrom = "<" + from + ">";

  Check(curl_easy_setopt(h, CURLOPT_URL, url.c_str()), "URL");
  Check(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps"), "protocols");
  // Mail goes straight to its server, whatever proxy the environment names.
  Check(curl_easy_setopt(h, CURLOPT_PROXY, ""), "proxy");
  Check(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curlError), "error buffer");
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
  Check(curl_easy_setopt(h, CURLOPT_MAIL_FROM, mailFrom.c_str()), "sender");
  Check(curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients.get()), "recipients");
  Check(curl_easy_setopt(h, CURLOPT_UPLOAD, 1L), "upload");
  Check(curl_easy_setopt(h, CURLOPT_READFUNCTION, &ReadMessage), "upload");
  Check(curl_easy_setopt(h, CURLOPT_READDATA, &upload), "upload");
  Check(curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size())),
        "upload");
  // The debug hook only runs in verbose mode; it replaces curl's own output.
  Check(curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &WatchReplies), "replies");
  Check(curl_easy_setopt(h, CURLOPT_DEBUGDATA, &refusal), "replies");
  Check(curl_easy_setopt(h, CURLOPT_VERBOSE, 1L), "replies");

  const CURLcode result = curl_easy_perform(h);
  if (result == CURLE_OK) return;

  std::string text = "SMTP server " + server + ": " + curl_easy_strerror(result);
  if (curlError[0] != '\0' && std::strcmp(curlError, curl_easy_strerror(result)) != 0) {
    text += " (" + std::string(curlError) + ")";
  }
  if (!refusal.empty()) text += "; server reply: " + refusal;
  throw MailError(text);
}

}  // namespace quennet
