// Text helpers of the mail library: splitting the caller's lists, the
// conversion of its cp1252 texts to UTF-8, and the encodings of a message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cp1252.h"
#include "platform/unique_fd.h"

namespace quennet {

// A failure to send; what() is the text handed back to the caller.
class MailError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The items of a comma-delimited text: outside double quotes, commas and
// characters 1 to 32 separate items; a quoted item runs to the next double
// quote that is not doubled, "" standing for one; two commas give an empty
// item between them, and a comma with nothing after it an empty last item.
// A quote that is never closed takes the rest of the text.
std::vector<std::string> SplitDelimited(const std::string& text);

// The addresses of a recipient list: split at ",", blanks around each
// trimmed, empty ones dropped.
std::vector<std::string> SplitRecipients(const std::string& text);

// True when `address` can go into a mail command and a header unchanged:
// not empty, no character 0 to 32 or 127, none of < > ( ) , ; " \.
bool IsValidAddress(const std::string& address);

// cp1252 to UTF-8; never fails (the five undefined bytes become the C1
// controls of the same number).
using platform::Cp1252ToUtf8;

// True when every byte is a printable ASCII character (32 to 126).
bool IsPrintableAscii(const std::string& text);

// Base64 of `data`; with lineLength > 0 the output is cut into lines of that
// many characters, each ended by CR LF.
std::string Base64(const std::string& data, size_t lineLength = 0);

// The UTF-8 text as RFC 2047 encoded words ("=?UTF-8?B?...?="), each at most
// 75 characters and never splitting a character, joined by CR LF and a blank
// so that the header folds between them.
std::string EncodeHeaderWords(const std::string& utf8);

// Opens the regular file `path` for reading into `file` and gives its size.
// Returns 0, or the errno value of the failure (EISDIR for a folder or
// anything but a plain file, which is refused without waiting on it, as a
// pipe would make it wait).
int OpenRegularFile(const std::string& path, platform::UniqueFd& file, int64_t& size);

// Reads the regular file `path` whole into `data`. Returns 0, or the errno
// value of the failure, as OpenRegularFile.
int ReadFileBytes(const std::string& path, std::string& data);

// Writes `text` into the caller's buffer, cut so that it and its terminating
// zero fit inside `size` bytes. Does nothing for a null buffer or size <= 0.
// It allocates nothing, so it can report a failure from a catch handler
// without raising another.
void WriteErrorText(char* buffer, int32_t size, std::string_view text) noexcept;

}  // namespace quennet
