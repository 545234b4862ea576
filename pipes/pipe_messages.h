// The messages of the service's two pipes, shared by the service and the
// control program.
//
// Every message starts with the 28-byte TPipeMessageHeader. Integers are
// little-endian and blocks are packed: the records below are the program's
// own view of them, and the Encode / Decode functions put each field at its
// fixed offset. Every byte that carries no value is zero; names and texts are
// zero-terminated inside their fields.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/datetime.h"

constexpr uint32_t kPipeBufferSize = 16384;  // the longest message, either way
constexpr uint32_t kPipeHeaderSize = 28;
constexpr uint32_t kPipeMaxPayload = kPipeBufferSize - kPipeHeaderSize;
constexpr uint32_t kPipeStatisticsSize = 56;
constexpr uint32_t kAlrSrvStatusBlockSize = 337;
constexpr uint32_t kSystemTimeSize = 16;
constexpr uint32_t kPipeCommandSize = 16;
constexpr uint32_t kStatusTextSize = 128;

// "ANSGETSTATS": the statistics, then the status block.
constexpr uint32_t kAnsGetStatsStatisticsOffset = kPipeHeaderSize;
constexpr uint32_t kAnsGetStatsStatusOffset = kAnsGetStatsStatisticsOffset + kPipeStatisticsSize;
constexpr uint32_t kAnsGetStatsDataLength = kPipeStatisticsSize + kAlrSrvStatusBlockSize;
constexpr uint32_t kAnsGetStatsSize = kPipeHeaderSize + kAnsGetStatsDataLength;
static_assert(kPipeMaxPayload == 16356);
static_assert(kAnsGetStatsStatusOffset == 84);
static_assert(kAnsGetStatsDataLength == 393 && kAnsGetStatsSize == 421);

inline constexpr std::string_view kReqGetStats = "REQGETSTATS";
inline constexpr std::string_view kAnsGetStats = "ANSGETSTATS";
inline constexpr std::string_view kReqGetConfig = "REQGETCONFIG";
inline constexpr std::string_view kAnsGetConfig = "ANSGETCONFIG";
inline constexpr std::string_view kReqSetConfig = "REQSETCONFIG";
inline constexpr std::string_view kAnsSetConfig = "ANSSETCONFIG";
inline constexpr std::string_view kAnsReqUnknown = "ANSREQUNKNOWN";

// ErrorCode of a reply: 1 when the request could not be carried out.
constexpr int32_t kPipeErrorNone = 0;
constexpr int32_t kPipeErrorFailed = 1;

struct TPipeMessageHeader {
  std::array<char, kPipeCommandSize> Command{};
  int32_t ErrorCode = 0;
  int32_t Reserved = 0;
  uint32_t DataLength = 0;
};

// The counters of one pipe server since it set up its instances. The 32-bit
// counters wrap round to 0; the byte totals are 64-bit.
struct TPipeStatistics {
  TSystemTime StartedAt;
  uint32_t Connections = 0;
  uint32_t ConnectErrors = 0;
  uint32_t Requests = 0;
  uint64_t BytesReceived = 0;
  uint32_t Reserved = 0;
  uint32_t Answers = 0;
  uint64_t BytesSent = 0;
  uint32_t WriteErrors = 0;
};

// The service's status as the info pipe reports it.
struct TAlrSrvStatusBlock {
  uint16_t BlockSize = 0;
  uint16_t VerMajor = 0;
  uint16_t VerMinor = 0;
  uint16_t VerRelease = 0;
  uint8_t Busy = 0;
  TSystemTime LastEventTime;
  int32_t Reserved1 = 0;
  TSystemTime LastErrorTime;
  int32_t Reserved2 = 0;
  TSystemTime NextCheckTime;
  TSystemTime LastReportTime;
  std::array<char, kStatusTextSize> LastEventText{};
  std::array<char, kStatusTextSize> LastErrorText{};
};

// A header with `command` (at most 15 characters), the rest zero.
TPipeMessageHeader MakePipeHeader(std::string_view command, uint32_t dataLength = 0,
                                  int32_t errorCode = kPipeErrorNone);

// The name in a command field: its bytes up to the first zero, at most 16.
std::string PipeCommandName(const std::array<char, kPipeCommandSize>& command);

// True when the command field at the start of a message holds `name` followed
// by a zero byte, letter case significant. Bytes after that zero do not count.
bool PipeCommandIs(std::span<const uint8_t, kPipeCommandSize> command, std::string_view name);

// Sets a text field: at most the first 127 characters of `text` (up to a zero
// byte in it), then zeros.
void SetStatusText(std::array<char, kStatusTextSize>& field, std::string_view text);
// Sets a text field to `text` whole when it fits (at most 127 characters up
// to a zero byte in it). A longer text is cut to 126 characters at most and
// ends in "…" (cp1252 0x85), so that whoever reads the field sees that it goes
// on; the blanks and line breaks before the cut are dropped.
void SetStatusTextEllipsized(std::array<char, kStatusTextSize>& field, std::string_view text);
// The text of a field, up to its first zero.
std::string StatusText(const std::array<char, kStatusTextSize>& field);

void EncodePipeHeader(const TPipeMessageHeader& header, std::span<uint8_t, kPipeHeaderSize> dest);
TPipeMessageHeader DecodePipeHeader(std::span<const uint8_t, kPipeHeaderSize> src);

void EncodeSystemTime(const TSystemTime& time, std::span<uint8_t, kSystemTimeSize> dest);
TSystemTime DecodeSystemTime(std::span<const uint8_t, kSystemTimeSize> src);

void EncodePipeStatistics(const TPipeStatistics& statistics,
                          std::span<uint8_t, kPipeStatisticsSize> dest);
TPipeStatistics DecodePipeStatistics(std::span<const uint8_t, kPipeStatisticsSize> src);

// The texts are written cut as SetStatusText cuts them, whatever the record holds.
void EncodeStatusBlock(const TAlrSrvStatusBlock& status,
                       std::span<uint8_t, kAlrSrvStatusBlockSize> dest);
TAlrSrvStatusBlock DecodeStatusBlock(std::span<const uint8_t, kAlrSrvStatusBlockSize> src);
