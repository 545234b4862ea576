// Calls SendSecureMail from wherever this program is copied to, so the mail
// library is looked up beside it. Arguments:
//   CALLS RECIPIENTS SUBJECT BODY ATTACHMENTS EXTRA N1 N2
//   [POP3HOST POP3PORT SMTPHOST SMTPPORT USER PASSWORD]
// With the last six the record is passed, without them none. For each call
// it prints one line:
//   call=I result=0|1 error=HEX exception=HEX|- loaded=0|1 peak=KIB
// where loaded tells whether a libquennet.so is still mapped afterwards, and
// peak is this program's largest resident memory so far (VmHWM), in KiB.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "common/exceptions.h"
#include "service/mail_ssl_interface.h"

namespace {

std::string Hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

bool MailLibraryMapped() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(kMailLibraryName) != std::string::npos) return true;
  }
  return false;
}

std::string PeakResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::to_string(std::strtol(line.c_str() + 6, nullptr, 10));
  }
  return "-";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9 && argc != 15) {
    std::fprintf(stderr,
                 "usage: mail_probe CALLS RECIPIENTS SUBJECT BODY ATTACHMENTS EXTRA N1 N2 "
                 "[POP3HOST POP3PORT SMTPHOST SMTPPORT USER PASSWORD]\n");
    return 2;
  }
  std::optional<TMailServerParams> params;
  if (argc == 15) {
    params = MakeMailServerParams(argv[9], std::atoi(argv[10]), argv[11], std::atoi(argv[12]),
                                  argv[13], argv[14]);
  }
  const int calls = std::atoi(argv[1]);
  for (int i = 1; i <= calls; ++i) {
    std::string error = "stale";
    std::string raised;
    bool sent = false;
    try {
      sent = SendSecureMail(argv[2], argv[3], argv[4], argv[5], error, argv[6], std::atoi(argv[7]),
                            std::atoi(argv[8]), params ? &*params : nullptr);
    } catch (const Exception& e) {
      raised = e.Message();
    }
    std::cout << "call=" << i << " result=" << (sent ? 1 : 0) << " error=" << Hex(error)
              << " exception=" << Hex(raised) << " loaded=" << (MailLibraryMapped() ? 1 : 0)
              << " peak=" << PeakResidentKib() << std::endl;
  }
  return 0;
}
