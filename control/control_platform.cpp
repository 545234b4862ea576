#include "control/control_platform.h"

#include <langinfo.h>
#include <clocale>

#include <chrono>
#include <string_view>
#include <thread>

#include "platform/named_pipe.h"
#include "platform/remote.h"
#include "platform/text.h"
#include "service/mail_ssl_interface.h"

namespace {

class SystemPipes final : public TPipeClient {
 public:
  uint32_t CallNamedPipe(const std::string& pipePath, const uint8_t* request, uint32_t requestSize,
                         uint8_t* answer, uint32_t answerSize, uint32_t& answerCount) override {
    return platform::CallNamedPipe(pipePath, request, requestSize, answer, answerSize, answerCount);
  }
};

}  // namespace

TPipeClient& SystemPipeClient() {
  static SystemPipes pipes;
  return pipes;
}

void SystemCarryRemotePipes(const std::vector<std::string>& PipeNames) {
  platform::SystemRemoteForwardings().AddPipes(PipeNames);
}

void SystemEndRemoteLinks() {
  platform::SystemRemoteForwardings().EndAll();
}

void SystemSleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::string LocaleThousandSeparator() {
  const char* sep = std::localeconv()->thousands_sep;
  if (sep == nullptr || *sep == '\0') return "";
  std::string text = sep;
  if (std::string_view(nl_langinfo(CODESET)) == "UTF-8") text = platform::Utf8ToCp1252(text);
  // Locales such as fr_FR group with a narrow no-break space, which cp1252 lacks.
  if (text.find('?') != std::string::npos) return "\xA0";
  return text;
}

TMailSender SystemMailSender() {
  return [](const std::string& recipients, const std::string& subject, const std::string& bodyLines,
            const TMailServerParams* serverParams, std::string& errorText) {
    return SendSecureMail(recipients, subject, bodyLines, "", errorText, "", 0, 0, serverParams);
  };
}
