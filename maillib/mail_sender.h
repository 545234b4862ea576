// One message from the caller's texts to the server: recipients, sender,
// attachments and server are resolved and checked, the message composed and
// sent. Every failure is a MailError whose text says what went wrong.
#pragma once

#include <string>

#include "maillib/quennet_settings.h"
#include "service/mail_ssl_interface.h"

namespace quennet {

// The caller's texts, 8-bit cp1252 as the programs hold them.
struct MailRequest {
  std::string recipients;  // addresses separated by ","
  std::string subject;
  std::string bodyLines;    // comma-delimited lines (see SplitDelimited)
  std::string attachments;  // comma-delimited file paths, each usually in double quotes
  const TMailServerParams* server = nullptr;  // null: the [Server] settings
};

void SendMail(const MailRequest& request, const QuennetSettings& settings);

}  // namespace quennet
