// The three entry points of libquennet.so. Each one sends one message and
// returns 1, or returns 0 with its error text in the caller's buffer; no
// exception ever leaves them. Extra, N1 and N2 carry nothing for this
// library (its callers pass an empty text and zeros).
#include <curl/curl.h>

#include <type_traits>

#include "maillib/mail_sender.h"
#include "maillib/mail_text.h"
#include "maillib/quennet_settings.h"
#include "service/mail_ssl_interface.h"

#define QUENNET_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string Text(const char* text) {
  return text ? text : "";
}

// curl's global state lives as long as one call: the library is loaded and
// released around every message.
class CurlGlobal {
 public:
  CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw quennet::MailError("Mail library set-up failed: curl_global_init");
    }
  }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

int32_t Send(const char* recipients, const char* subject, const char* bodyLines,
             const char* attachments, const TMailServerParams* server, char* errorBuffer,
             int32_t errorBufferSize) noexcept {
  try {
    quennet::MailRequest request{Text(recipients), Text(subject), Text(bodyLines),
                                 Text(attachments), server};
    const quennet::QuennetSettings settings =
        quennet::LoadQuennetSettings(quennet::QuennetSettingsPath());
    CurlGlobal curl;
    quennet::SendMail(request, settings);
    quennet::WriteErrorText(errorBuffer, errorBufferSize, "");
    return 1;
  } catch (const std::exception& e) {
    quennet::WriteErrorText(errorBuffer, errorBufferSize, e.what());
  } catch (...) {
    quennet::WriteErrorText(errorBuffer, errorBufferSize, "Unknown error in the mail library");
  }
  return 0;
}

}  // namespace

QUENNET_EXPORT int32_t SendSecureMailDef3(const char* Recipients, const char* Subject,
                                          const char* BodyLines, const char* Attachments,
                                          const char* /*Extra*/, int32_t /*N1*/, int32_t /*N2*/,
                                          const TMailServerParams* ServerParams, char* ErrorBuffer,
                                          int32_t ErrorBufferSize) {
  return Send(Recipients, Subject, BodyLines, Attachments, ServerParams, ErrorBuffer,
              ErrorBufferSize);
}

QUENNET_EXPORT int32_t SendSecureMailDef2(const char* Recipients, const char* Subject,
                                          const char* BodyLines, const char* Attachments,
                                          const char* /*Extra*/, int32_t /*N1*/, int32_t /*N2*/,
                                          char* ErrorBuffer, int32_t ErrorBufferSize) {
  return Send(Recipients, Subject, BodyLines, Attachments, nullptr, ErrorBuffer, ErrorBufferSize);
}

QUENNET_EXPORT int32_t SendSecureMailDef(const char* Recipients, const char* Subject,
                                         const char* BodyLines, const char* Attachments,
                                         char* ErrorBuffer, int32_t ErrorBufferSize) {
  return Send(Recipients, Subject, BodyLines, Attachments, nullptr, ErrorBuffer, ErrorBufferSize);
}

static_assert(std::is_same_v<decltype(&SendSecureMailDef3), TSendSecureMailDef3>);
static_assert(std::is_same_v<decltype(&SendSecureMailDef2), TSendSecureMailDef2>);
static_assert(std::is_same_v<decltype(&SendSecureMailDef), TSendSecureMailDef>);
