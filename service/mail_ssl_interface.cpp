#include "service/mail_ssl_interface.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

#include "common/exceptions.h"
#include "platform/dynlib.h"

namespace {

void CopyCut(char* field, size_t fieldSize, const std::string& text) {
  const size_t n = std::min(text.size(), fieldSize - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  std::string result;
  size_t start = 0;
  for (size_t at; (at = text.find(from, start)) != std::string::npos; start = at + from.size()) {
    result.append(text, start, at - start);
    result += to;
  }
  result.append(text, start, std::string::npos);
  return result;
}

}  // namespace

TMailServerParams MakeMailServerParams(const std::string& Pop3Host, int32_t Pop3Port,
                                       const std::string& SmtpHost, int32_t SmtpPort,
                                       const std::string& User, const std::string& Password) {
  TMailServerParams params;
  std::memset(&params, 0, sizeof params);
  CopyCut(params.Pop3Host, sizeof params.Pop3Host, Pop3Host);
  params.Pop3Port = Pop3Port;
  CopyCut(params.SmtpHost, sizeof params.SmtpHost, SmtpHost);
  params.SmtpPort = SmtpPort;
  CopyCut(params.User, sizeof params.User, User);
  CopyCut(params.Password, sizeof params.Password, Password);
  return params;
}

std::string NormalizeMailRecipients(const std::string& Recipients) {
  std::string text = Recipients;
  while (text.find("  ") != std::string::npos) text = ReplaceAll(text, "  ", " ");
  text = ReplaceAll(text, ", ", ",");
  return ReplaceAll(text, " ", ",");
}

bool SendSecureMail(const std::string& Recipients, const std::string& Subject,
                    const std::string& BodyLines, const std::string& Attachments,
                    std::string& ErrorText, const std::string& Extra, int32_t N1, int32_t N2,
                    const TMailServerParams* ServerParams) {
  ErrorText.clear();
  const std::string recipients = NormalizeMailRecipients(Recipients);

  platform::DynamicLibrary library;
  if (!library.OpenBesideProgram(kMailLibraryName)) return false;
  auto def = reinterpret_cast<TSendSecureMailDef>(library.Symbol("SendSecureMailDef"));
  auto def2 = reinterpret_cast<TSendSecureMailDef2>(library.Symbol("SendSecureMailDef2"));
  auto def3 = reinterpret_cast<TSendSecureMailDef3>(library.Symbol("SendSecureMailDef3"));
  if (def == nullptr && def2 == nullptr && def3 == nullptr) return false;

  // Zero-filled, so a library that fails without writing leaves an empty
  // text rather than whatever the stack held.
  char buffer[kMailErrorBufferSize] = {};
  int32_t sent = 0;
  std::optional<std::string> raised;
  try {
    if (def3 != nullptr) {
      sent = def3(recipients.c_str(), Subject.c_str(), BodyLines.c_str(), Attachments.c_str(),
                  Extra.c_str(), N1, N2, ServerParams, buffer, kMailErrorBufferSize);
    } else if (def2 != nullptr) {
      sent = def2(recipients.c_str(), Subject.c_str(), BodyLines.c_str(), Attachments.c_str(),
                  Extra.c_str(), N1, N2, buffer, kMailErrorBufferSize);
    } else {
      sent = def(recipients.c_str(), Subject.c_str(), BodyLines.c_str(), Attachments.c_str(),
                 buffer, kMailErrorBufferSize);
    }
  } catch (const std::exception& e) {
    raised = e.what();
  } catch (...) {
    raised = "Unknown exception in the mail library";
  }
  // The caught object may belong to the library's code: it has been
  // destroyed above, while the library was still loaded, and only its
  // message travels on once the library is gone.
  library.Close();
  if (raised) throw Exception(*raised);

  if (sent != 0) return true;
  ErrorText.assign(buffer, ::strnlen(buffer, sizeof buffer));
  return false;
}
