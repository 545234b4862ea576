#include "maillib/mail_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ascii.h"
#include "platform/eintr.h"

namespace quennet {

namespace {

bool IsSpaceOrControl(unsigned char c) {
  return c >= 1 && c <= 32;
}

}  // namespace

std::vector<std::string> SplitDelimited(const std::string& text) {
  std::vector<std::string> items;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsSpaceOrControl(text[i])) ++i;
  while (i < n) {
    std::string item;
    if (text[i] == '"') {
      ++i;
      while (i < n) {
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      while (i < n && text[i] != ',' && static_cast<unsigned char>(text[i]) > 32) item += text[i++];
    }
    items.push_back(item);
    while (i < n && IsSpaceOrControl(text[i])) ++i;
    if (i < n && text[i] == ',') {
      ++i;
      while (i < n && IsSpaceOrControl(text[i])) ++i;
      if (i == n) items.emplace_back();
    }
  }
  return items;
}

std::vector<std::string> SplitRecipients(const std::string& text) {
  std::vector<std::string> addresses;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string address(platform::TrimBlanks(std::string_view(text).substr(start, comma - start)));
    if (!address.empty()) addresses.push_back(address);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return addresses;
}

bool IsValidAddress(const std::string& address) {
  if (address.empty()) return false;
  for (unsigned char c : address) {
    if (c <= 32 || c == 127 || std::strchr("<>(),;\"\\", c) != nullptr) return false;
  }
  return true;
}

bool IsPrintableAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= 32 && c <= 126; });
}

std::string Base64(const std::string& data, size_t lineLength) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string plain;
  plain.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    uint32_t v = (static_cast<unsigned char>(data[i]) << 16) |
                 (static_cast<unsigned char>(data[i + 1]) << 8) |
                 static_cast<unsigned char>(data[i + 2]);
    plain += alphabet[v >> 18];
    plain += alphabet[(v >> 12) & 63];
    plain += alphabet[(v >> 6) & 63];
    plain += alphabet[v & 63];
  }
  if (i < data.size()) {
    uint32_t v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    plain += alphabet[v >> 18];
    plain += alphabet[(v >> 12) & 63];
    plain += i + 1 < data.size() ? alphabet[(v >> 6) & 63] : '=';
    plain += '=';
  }
  if (lineLength == 0) return plain;
  std::string lines;
  for (size_t at = 0; at < plain.size(); at += lineLength) {
    lines.append(plain, at, lineLength);
    lines += "\r\n";
  }
  return lines;
}

std::string EncodeHeaderWords(const std::string& utf8) {
  // "=?UTF-8?B?" and "?=" take 12 of the 75 characters; 63 base64 characters
  // round down to 60, which carry 45 bytes.
  constexpr size_t kBytesPerWord = 45;
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  std::string out;
  size_t at = 0;
  while (at < utf8.size()) {
    size_t end = at;
    while (end < utf8.size()) {
      // One character, or one ill-formed piece, which no word splits either.
      size_t next = end;
      U8_FWD_1(bytes, next, utf8.size());
      if (next - at > kBytesPerWord) break;
      end = next;
    }
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?B?" + Base64(utf8.substr(at, end - at)) + "?=";
    at = end;
  }
  return out;
}

int OpenRegularFile(const std::string& path, platform::UniqueFd& file, int64_t& size) {
  // O_NONBLOCK: opening a pipe would otherwise wait for a writer, and the
  // check below refuses it anyway; plain files read as before. O_NOCTTY: a
  // terminal named here must not become the service's controlling one.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return errno;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EISDIR;
  size = static_cast<int64_t>(info.st_size);
  file = std::move(fd);
  return 0;
}

int ReadFileBytes(const std::string& path, std::string& data) {
  data.clear();
  platform::UniqueFd fd;
  int64_t size = 0;
  int error = OpenRegularFile(path, fd, size);
  char chunk[65536];
  while (error == 0) {
    const ssize_t n = platform::RetryOnEintr([&] { return ::read(fd.get(), chunk, sizeof chunk); });
    if (n > 0) {
      data.append(chunk, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else {
      error = errno;
    }
  }
  if (error != 0) data.clear();
  return error;
}

void WriteErrorText(char* buffer, int32_t size, std::string_view text) noexcept {
  if (buffer == nullptr || size <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace quennet
