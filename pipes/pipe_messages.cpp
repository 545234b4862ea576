#include "pipes/pipe_messages.h"

#include <algorithm>
#include <cstring>

namespace {

// Field offsets. Each block is packed: every field starts where the one before
// it ends, which the asserts below check against the blocks' sizes.
namespace header {
constexpr size_t kCommand = 0;
constexpr size_t kErrorCode = kCommand + kPipeCommandSize;
constexpr size_t kReserved = kErrorCode + 4;
constexpr size_t kDataLength = kReserved + 4;
static_assert(kErrorCode == 16 && kDataLength == 24 && kDataLength + 4 == kPipeHeaderSize);
}  // namespace header

namespace stats {
constexpr size_t kStartedAt = 0;
constexpr size_t kConnections = kStartedAt + kSystemTimeSize;
constexpr size_t kConnectErrors = kConnections + 4;
constexpr size_t kRequests = kConnectErrors + 4;
constexpr size_t kBytesReceived = kRequests + 4;
constexpr size_t kReserved = kBytesReceived + 8;
constexpr size_t kAnswers = kReserved + 4;
constexpr size_t kBytesSent = kAnswers + 4;
constexpr size_t kWriteErrors = kBytesSent + 8;
static_assert(kConnections == 16 && kBytesReceived == 28 && kAnswers == 40 && kBytesSent == 44);
static_assert(kWriteErrors == 52 && kWriteErrors + 4 == kPipeStatisticsSize);
}  // namespace stats

namespace status {
constexpr size_t kBlockSize = 0;
constexpr size_t kVerMajor = 2;
constexpr size_t kVerMinor = 4;
constexpr size_t kVerRelease = 6;
constexpr size_t kBusy = kVerRelease + 2;
constexpr size_t kLastEventTime = kBusy + 1;
constexpr size_t kReserved1 = kLastEventTime + kSystemTimeSize;
constexpr size_t kLastErrorTime = kReserved1 + 4;
constexpr size_t kReserved2 = kLastErrorTime + kSystemTimeSize;
constexpr size_t kNextCheckTime = kReserved2 + 4;
constexpr size_t kLastReportTime = kNextCheckTime + kSystemTimeSize;
constexpr size_t kLastEventText = kLastReportTime + kSystemTimeSize;
constexpr size_t kLastErrorText = kLastEventText + kStatusTextSize;
static_assert(kBusy == 8 && kLastEventTime == 9 && kReserved1 == 25 && kLastErrorTime == 29);
static_assert(kReserved2 == 45 && kNextCheckTime == 49 && kLastReportTime == 65);
static_assert(kLastEventText == 81 && kLastErrorText == 209);
static_assert(kLastErrorText + kStatusTextSize == kAlrSrvStatusBlockSize);
}  // namespace status

static_assert(sizeof(TSystemTime) == kSystemTimeSize, "eight 16-bit fields");

void Put16(uint8_t* dest, uint16_t value) {
  dest[0] = static_cast<uint8_t>(value);
  dest[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* dest, uint32_t value) {
  for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put64(uint8_t* dest, uint64_t value) {
  for (int i = 0; i < 8; ++i) dest[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t Get16(const uint8_t* src) {
  return static_cast<uint16_t>(src[0] | src[1] << 8);
}

uint32_t Get32(const uint8_t* src) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | src[i];
  return value;
}

uint64_t Get64(const uint8_t* src) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | src[i];
  return value;
}

void PutTime(uint8_t* dest, const TSystemTime& time) {
  EncodeSystemTime(time, std::span<uint8_t, kSystemTimeSize>(dest, kSystemTimeSize));
}

TSystemTime GetTime(const uint8_t* src) {
  return DecodeSystemTime(std::span<const uint8_t, kSystemTimeSize>(src, kSystemTimeSize));
}

size_t TextLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

void PutText(uint8_t* dest, const std::array<char, kStatusTextSize>& text) {
  size_t n = TextLength(text.data(), kStatusTextSize - 1);
  std::memcpy(dest, text.data(), n);
  std::memset(dest + n, 0, kStatusTextSize - n);
}

}  // namespace

TPipeMessageHeader MakePipeHeader(std::string_view command, uint32_t dataLength,
                                  int32_t errorCode) {
  TPipeMessageHeader header;
  size_t n = std::min<size_t>(command.size(), kPipeCommandSize - 1);
  std::copy_n(command.data(), n, header.Command.data());
  header.ErrorCode = errorCode;
  header.DataLength = dataLength;
  return header;
}

std::string PipeCommandName(const std::array<char, kPipeCommandSize>& command) {
  return std::string(command.data(), TextLength(command.data(), kPipeCommandSize));
}

bool PipeCommandIs(std::span<const uint8_t, kPipeCommandSize> command, std::string_view name) {
  if (name.size() >= kPipeCommandSize) return false;
  return std::memcmp(command.data(), name.data(), name.size()) == 0 && command[name.size()] == 0;
}

void SetStatusText(std::array<char, kStatusTextSize>& field, std::string_view text) {
  field.fill('\0');
  size_t n = TextLength(text.data(), std::min<size_t>(text.size(), kStatusTextSize - 1));
  std::copy_n(text.data(), n, field.data());
}

void SetStatusTextEllipsized(std::array<char, kStatusTextSize>& field, std::string_view text) {
  constexpr char kEllipsis = '\x85';
  if (TextLength(text.data(), text.size()) < kStatusTextSize) {
    SetStatusText(field, text);
    return;
  }
  size_t kept = kStatusTextSize - 2;
  while (kept > 0 && static_cast<unsigned char>(text[kept - 1]) <= ' ') --kept;
  field.fill('\0');
  std::copy_n(text.data(), kept, field.data());
  field[kept] = kEllipsis;
}

std::string StatusText(const std::array<char, kStatusTextSize>& field) {
  return std::string(field.data(), TextLength(field.data(), kStatusTextSize));
}

void EncodePipeHeader(const TPipeMessageHeader& h, std::span<uint8_t, kPipeHeaderSize> dest) {
  uint8_t* d = dest.data();
  std::memcpy(d + header::kCommand, h.Command.data(), kPipeCommandSize);
  Put32(d + header::kErrorCode, static_cast<uint32_t>(h.ErrorCode));
  Put32(d + header::kReserved, static_cast<uint32_t>(h.Reserved));
  Put32(d + header::kDataLength, h.DataLength);
}

TPipeMessageHeader DecodePipeHeader(std::span<const uint8_t, kPipeHeaderSize> src) {
  const uint8_t* s = src.data();
  TPipeMessageHeader h;
  std::memcpy(h.Command.data(), s + header::kCommand, kPipeCommandSize);
  h.ErrorCode = static_cast<int32_t>(Get32(s + header::kErrorCode));
  h.Reserved = static_cast<int32_t>(Get32(s + header::kReserved));
  h.DataLength = Get32(s + header::kDataLength);
  return h;
}

void EncodeSystemTime(const TSystemTime& t, std::span<uint8_t, kSystemTimeSize> dest) {
  const uint16_t fields[8] = {t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                              t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
  for (int i = 0; i < 8; ++i) Put16(dest.data() + 2 * i, fields[i]);
}

TSystemTime DecodeSystemTime(std::span<const uint8_t, kSystemTimeSize> src) {
  const uint8_t* s = src.data();
  TSystemTime t;
  t.wYear = Get16(s);
  t.wMonth = Get16(s + 2);
  t.wDayOfWeek = Get16(s + 4);
  t.wDay = Get16(s + 6);
  t.wHour = Get16(s + 8);
  t.wMinute = Get16(s + 10);
  t.wSecond = Get16(s + 12);
  t.wMilliseconds = Get16(s + 14);
  return t;
}

void EncodePipeStatistics(const TPipeStatistics& st, std::span<uint8_t, kPipeStatisticsSize> dest) {
  uint8_t* d = dest.data();
  PutTime(d + stats::kStartedAt, st.StartedAt);
  Put32(d + stats::kConnections, st.Connections);
  Put32(d + stats::kConnectErrors, st.ConnectErrors);
  Put32(d + stats::kRequests, st.Requests);
  Put64(d + stats::kBytesReceived, st.BytesReceived);
  Put32(d + stats::kReserved, st.Reserved);
  Put32(d + stats::kAnswers, st.Answers);
  Put64(d + stats::kBytesSent, st.BytesSent);
  Put32(d + stats::kWriteErrors, st.WriteErrors);
}

TPipeStatistics DecodePipeStatistics(std::span<const uint8_t, kPipeStatisticsSize> src) {
  const uint8_t* s = src.data();
  TPipeStatistics st;
  st.StartedAt = GetTime(s + stats::kStartedAt);
  st.Connections = Get32(s + stats::kConnections);
  st.ConnectErrors = Get32(s + stats::kConnectErrors);
  st.Requests = Get32(s + stats::kRequests);
  st.BytesReceived = Get64(s + stats::kBytesReceived);
  st.Reserved = Get32(s + stats::kReserved);
  st.Answers = Get32(s + stats::kAnswers);
  st.BytesSent = Get64(s + stats::kBytesSent);
  st.WriteErrors = Get32(s + stats::kWriteErrors);
  return st;
}

void EncodeStatusBlock(const TAlrSrvStatusBlock& b,
                       std::span<uint8_t, kAlrSrvStatusBlockSize> dest) {
  uint8_t* d = dest.data();
  Put16(d + status::kBlockSize, b.BlockSize);
  Put16(d + status::kVerMajor, b.VerMajor);
  Put16(d + status::kVerMinor, b.VerMinor);
  Put16(d + status::kVerRelease, b.VerRelease);
  d[status::kBusy] = b.Busy;
  PutTime(d + status::kLastEventTime, b.LastEventTime);
  Put32(d + status::kReserved1, static_cast<uint32_t>(b.Reserved1));
  PutTime(d + status::kLastErrorTime, b.LastErrorTime);
  Put32(d + status::kReserved2, static_cast<uint32_t>(b.Reserved2));
  PutTime(d + status::kNextCheckTime, b.NextCheckTime);
  PutTime(d + status::kLastReportTime, b.LastReportTime);
  PutText(d + status::kLastEventText, b.LastEventText);
  PutText(d + status::kLastErrorText, b.LastErrorText);
}

TAlrSrvStatusBlock DecodeStatusBlock(std::span<const uint8_t, kAlrSrvStatusBlockSize> src) {
  const uint8_t* s = src.data();
  TAlrSrvStatusBlock b;
  b.BlockSize = Get16(s + status::kBlockSize);
  b.VerMajor = Get16(s + status::kVerMajor);
  b.VerMinor = Get16(s + status::kVerMinor);
  b.VerRelease = Get16(s + status::kVerRelease);
  b.Busy = s[status::kBusy];
  b.LastEventTime = GetTime(s + status::kLastEventTime);
  b.Reserved1 = static_cast<int32_t>(Get32(s + status::kReserved1));
  b.LastErrorTime = GetTime(s + status::kLastErrorTime);
  b.Reserved2 = static_cast<int32_t>(Get32(s + status::kReserved2));
  b.NextCheckTime = GetTime(s + status::kNextCheckTime);
  b.LastReportTime = GetTime(s + status::kLastReportTime);
  std::memcpy(b.LastEventText.data(), s + status::kLastEventText, kStatusTextSize);
  std::memcpy(b.LastErrorText.data(), s + status::kLastErrorText, kStatusTextSize);
  return b;
}
