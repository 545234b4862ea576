#include "tests/maillib/smtp_test_server.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace mailtest {

namespace fs = std::filesystem;

std::string ReadFileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFileText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

Certificate MakeCertificate(const fs::path& dir) {
  Certificate c{dir / "cert.pem", dir / "key.pem"};
  testing_support::ProgramResult r = testing_support::RunProgram(
      {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
       "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", c.key.string(), "-out",
       c.cert.string()});
  if (r.exitCode != 0 || !fs::exists(c.cert)) throw std::runtime_error("openssl req failed");
  return c;
}

SmtpTestServer::SmtpTestServer(const fs::path& dir, const Options& options) : dir_(dir) {
  fs::create_directories(dir_);
  std::vector<std::string> argv = {"/usr/bin/python3", SMTP_SERVER_SCRIPT, "--dir", dir_.string()};
  if (options.startTls) {
    argv.insert(argv.end(),
                {"--starttls", options.startTls->cert.string(), options.startTls->key.string()});
  }
  if (options.implicitTls) {
    argv.insert(argv.end(), {"--implicit-tls", options.implicitTls->cert.string(),
                             options.implicitTls->key.string()});
  }
  if (!options.user.empty()) argv.insert(argv.end(), {"--auth", options.user, options.password});
  if (!options.refuse.empty()) argv.insert(argv.end(), {"--refuse", options.refuse});
  if (!options.refusal.empty()) argv.insert(argv.end(), {"--refusal", options.refusal});
  if (options.sizeLimit >= 0) {
    argv.insert(argv.end(), {"--size-limit", std::to_string(options.sizeLimit)});
  }
  // The test must not depend on the user's Python set-up.
  process_ = std::make_unique<testing_support::ChildProcess>(
      argv, testing_support::ChildOptions{
                .env = {{"PYTHONPATH", std::nullopt}, {"PYTHONDONTWRITEBYTECODE", "1"}},
                .input = true,
                .captureOutput = true});
  std::optional<std::string> line = process_->ReadLine();
  if (!line || line->rfind("PORT ", 0) != 0) throw std::runtime_error("SMTP server did not start");
  port_ = std::stoi(line->substr(5));
}

std::vector<ReceivedMail> SmtpTestServer::Messages() const {
  std::vector<ReceivedMail> mails;
  for (int n = 1;; ++n) {
    const fs::path m = dir_ / ("msg" + std::to_string(n));
    if (!fs::is_directory(m)) break;
    ReceivedMail mail;
    mail.envelopeFrom = ReadFileText(m / "envelope_from");
    std::istringstream rcpts(ReadFileText(m / "rcpt_tos"));
    for (std::string line; std::getline(rcpts, line);) mail.recipients.push_back(line);
    mail.tls = ReadFileText(m / "tls") == "yes";
    mail.auth = ReadFileText(m / "auth");
    mail.raw = ReadFileText(m / "raw.eml");
    mail.subject = ReadFileText(m / "subject");
    mail.body = ReadFileText(m / "body");
    mail.bodyType = ReadFileText(m / "body_type");
    for (int k = 1; fs::exists(m / ("att" + std::to_string(k) + ".data")); ++k) {
      const std::string base = "att" + std::to_string(k);
      mail.attachments.push_back({ReadFileText(m / (base + ".name")),
                                  ReadFileText(m / (base + ".type")),
                                  ReadFileText(m / (base + ".data"))});
    }
    mails.push_back(mail);
  }
  return mails;
}

}  // namespace mailtest
