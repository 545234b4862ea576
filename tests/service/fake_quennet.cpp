// A stand-in mail library for the interface tests. Which entry points it
// exports is fixed when it is built (FAKE_DEF3, FAKE_DEF2, FAKE_DEF); what
// they do is read from FAKE_QUENNET_MODE at each call:
//   ok      return 1
//   fail    write a text, return 0
//   fill    fill the whole buffer with 'x' (no zero), return 0
//   silent  return 0 without writing
//   throw   raise std::runtime_error
// Each call appends one line to the file FAKE_QUENNET_REPORT: the entry point,
// every argument in hex, the number of non-zero bytes the error buffer held
// on entry, how many calls this loaded copy has served, and its own path.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "service/mail_ssl_interface.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Lives as long as this copy stays loaded.
int callCount = 0;

std::string Hex(const void* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out.empty() ? "-" : out;
}

// Not std::to_string: its digit table is a GNU unique symbol, and a library
// holding one can never be unloaded.
std::string Decimal(long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%ld", value);
  return text;
}

std::string HexText(const char* text) {
  return text ? Hex(text, std::strlen(text)) : "null";
}

std::string OwnPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Hex), &info) == 0 || info.dli_fname == nullptr) return "?";
  return info.dli_fname;
}

[[maybe_unused]] int32_t Serve(const char* entry, const char* recipients, const char* subject,
                               const char* body, const char* attachments, const char* extra,
                               int32_t n1, int32_t n2, const TMailServerParams* params,
                               bool hasParams, char* buffer, int32_t size) {
  ++callCount;
  size_t dirty = 0;
  for (int32_t i = 0; i < size; ++i) dirty += buffer[i] != 0;
  std::string line = std::string("entry=") + entry + " recipients=" + HexText(recipients) +
                     " subject=" + HexText(subject) + " body=" + HexText(body) +
                     " attachments=" + HexText(attachments);
  if (extra != nullptr) {
    line += " extra=" + HexText(extra) + " n1=" + Decimal(n1) + " n2=" + Decimal(n2);
  }
  if (hasParams) line += " params=" + (params ? Hex(params, sizeof *params) : std::string("null"));
  line += " size=" + Decimal(size) + " dirty=" + Decimal(dirty) + " count=" + Decimal(callCount) +
          " path=" + HexText(OwnPath().c_str()) + "\n";
  if (const char* report = std::getenv("FAKE_QUENNET_REPORT")) {
    if (FILE* f = std::fopen(report, "ab")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
    }
  }

  const char* modeText = std::getenv("FAKE_QUENNET_MODE");
  const std::string mode = modeText ? modeText : "ok";
  if (mode == "fail") {
    std::snprintf(buffer, static_cast<size_t>(size), "Refused by the test library");
    return 0;
  }
  if (mode == "fill") {
    std::memset(buffer, 'x', static_cast<size_t>(size));
    return 0;
  }
  if (mode == "silent") return 0;
  if (mode == "throw") throw std::runtime_error("Failure inside the test library");
  return 1;
}

}  // namespace

#ifdef FAKE_DEF3
FAKE_EXPORT int32_t SendSecureMailDef3(const char* Recipients, const char* Subject,
                                       const char* BodyLines, const char* Attachments,
                                       const char* Extra, int32_t N1, int32_t N2,
                                       const TMailServerParams* ServerParams, char* ErrorBuffer,
                                       int32_t ErrorBufferSize) {
  return Serve("Def3", Recipients, Subject, BodyLines, Attachments, Extra, N1, N2, ServerParams,
               true, ErrorBuffer, ErrorBufferSize);
}
static_assert(std::is_same_v<decltype(&SendSecureMailDef3), TSendSecureMailDef3>);
#endif

#ifdef FAKE_DEF2
FAKE_EXPORT int32_t SendSecureMailDef2(const char* Recipients, const char* Subject,
                                       const char* BodyLines, const char* Attachments,
                                       const char* Extra, int32_t N1, int32_t N2, char* ErrorBuffer,
                                       int32_t ErrorBufferSize) {
  return Serve("Def2", Recipients, Subject, BodyLines, Attachments, Extra, N1, N2, nullptr, false,
               ErrorBuffer, ErrorBufferSize);
}
static_assert(std::is_same_v<decltype(&SendSecureMailDef2), TSendSecureMailDef2>);
#endif

#ifdef FAKE_DEF
FAKE_EXPORT int32_t SendSecureMailDef(const char* Recipients, const char* Subject,
                                      const char* BodyLines, const char* Attachments,
                                      char* ErrorBuffer, int32_t ErrorBufferSize) {
  return Serve("Def", Recipients, Subject, BodyLines, Attachments, nullptr, 0, 0, nullptr, false,
               ErrorBuffer, ErrorBufferSize);
}
static_assert(std::is_same_v<decltype(&SendSecureMailDef), TSendSecureMailDef>);
#endif

// Something exported in every variant, so the variant without entry points
// is still a proper library.
FAKE_EXPORT int32_t FakeQuennetCalls() {
  return callCount;
}
