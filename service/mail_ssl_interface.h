// Sending one e-mail through the outside mail library.
//
// SendSecureMail loads "libquennet.so" for each message (the program's folder
// first, then the system's search), calls the newest of its three entry
// points that it exports, and releases it again before returning, also when
// the call fails or raises. No state survives from one call to the next.
//
// The entry points are plain C functions with the argument lists below; they
// return non-zero when the message was sent, otherwise 0 with an error text
// in the caller's buffer, ended by a zero byte unless it fills the buffer.
// Texts are zero-terminated 8-bit (cp1252) strings, never null.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#pragma pack(push, 1)
// The mail server settings handed to "SendSecureMailDef3", by address.
// Every text is zero-terminated inside its field.
struct TMailServerParams {
  char Pop3Host[128];
  int32_t Pop3Port;
  char SmtpHost[128];
  int32_t SmtpPort;
  char User[64];
  char Password[64];
};
#pragma pack(pop)

static_assert(std::endian::native == std::endian::little,
              "the record's integers are little-endian");
static_assert(sizeof(TMailServerParams) == 392);
static_assert(offsetof(TMailServerParams, Pop3Host) == 0);
static_assert(offsetof(TMailServerParams, Pop3Port) == 128);
static_assert(offsetof(TMailServerParams, SmtpHost) == 132);
static_assert(offsetof(TMailServerParams, SmtpPort) == 260);
static_assert(offsetof(TMailServerParams, User) == 264);
static_assert(offsetof(TMailServerParams, Password) == 328);

extern "C" {
typedef int32_t (*TSendSecureMailDef3)(const char* Recipients, const char* Subject,
                                       const char* BodyLines, const char* Attachments,
                                       const char* Extra, int32_t N1, int32_t N2,
                                       const TMailServerParams* ServerParams, char* ErrorBuffer,
                                       int32_t ErrorBufferSize);
typedef int32_t (*TSendSecureMailDef2)(const char* Recipients, const char* Subject,
                                       const char* BodyLines, const char* Attachments,
                                       const char* Extra, int32_t N1, int32_t N2, char* ErrorBuffer,
                                       int32_t ErrorBufferSize);
typedef int32_t (*TSendSecureMailDef)(const char* Recipients, const char* Subject,
                                      const char* BodyLines, const char* Attachments,
                                      char* ErrorBuffer, int32_t ErrorBufferSize);
}

inline constexpr const char* kMailLibraryName = "libquennet.so";
inline constexpr int32_t kMailErrorBufferSize = 512;

// The record as callers fill it: all bytes zero, each text cut to 127 (hosts)
// or 63 (user, password) characters with its terminating zero, the ports as
// they are.
TMailServerParams MakeMailServerParams(const std::string& Pop3Host, int32_t Pop3Port,
                                       const std::string& SmtpHost, int32_t SmtpPort,
                                       const std::string& User, const std::string& Password);

// The recipient list as the library receives it: runs of blanks shortened to
// one, ", " made ",", then every blank made ",". Nothing is trimmed.
std::string NormalizeMailRecipients(const std::string& Recipients);

// Sends one message. True when the library reports it as sent. ErrorText is
// emptied first; it receives the library's text (at most 512 characters)
// when the entry point returns 0, and stays empty when the library cannot be
// loaded or exports none of the entry points. Only "SendSecureMailDef3"
// receives ServerParams; null lets the library use its own settings.
// An exception raised inside the library is passed on as an Exception with
// its message, after the library has been released.
bool SendSecureMail(const std::string& Recipients, const std::string& Subject,
                    const std::string& BodyLines, const std::string& Attachments,
                    std::string& ErrorText, const std::string& Extra, int32_t N1, int32_t N2,
                    const TMailServerParams* ServerParams);
