// Debian's aiosmtpd on a free loopback port, started for one test, and the
// messages it stored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_runner.h"

namespace mailtest {

std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text);

// A self-signed certificate for 127.0.0.1 and localhost, made with openssl.
struct Certificate {
  std::filesystem::path cert;
  std::filesystem::path key;
};
Certificate MakeCertificate(const std::filesystem::path& dir);

struct ReceivedAttachment {
  std::string name, type, data;
};

struct ReceivedMail {
  std::string envelopeFrom;
  std::vector<std::string> recipients;
  bool tls = false;
  std::string auth;  // the login, empty without AUTH
  std::string raw, subject, body, bodyType;
  std::vector<ReceivedAttachment> attachments;
};

class SmtpTestServer {
 public:
  struct Options {
    std::optional<Certificate> startTls;
    std::optional<Certificate> implicitTls;
    std::string user, password;  // non-empty user: AUTH required
    std::string refuse;          // this recipient gets 550
    std::string refusal;         // with this UTF-8 text (empty: "Mailbox unavailable")
    int64_t sizeLimit = -1;      // bytes a message may have; 0 none, -1 aiosmtpd's (32 MiB)
  };
  // Starts the server storing into `dir`; throws when it does not come up.
  SmtpTestServer(const std::filesystem::path& dir, const Options& options);
  int Port() const { return port_; }
  std::vector<ReceivedMail> Messages() const;

 private:
  std::filesystem::path dir_;
  std::unique_ptr<testing_support::ChildProcess> process_;
  int port_ = 0;
};

}  // namespace mailtest
