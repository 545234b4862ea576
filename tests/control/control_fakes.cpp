#include "control_fakes.h"

#include <span>

namespace control_test {

std::vector<uint8_t> MakeAnswer(std::string_view command, uint32_t dataLength,
                                const std::vector<uint8_t>& payload, size_t size,
                                int32_t errorCode) {
  std::vector<uint8_t> answer(kPipeHeaderSize);
  EncodePipeHeader(MakePipeHeader(command, dataLength, errorCode),
                   std::span<uint8_t, kPipeHeaderSize>(answer.data(), kPipeHeaderSize));
  answer.insert(answer.end(), payload.begin(), payload.end());
  if (size != 0) answer.resize(size);
  return answer;
}

std::vector<uint8_t> StatsAnswer(const TPipeStatistics& statistics,
                                 const TAlrSrvStatusBlock& status, size_t size) {
  std::vector<uint8_t> payload(kAnsGetStatsDataLength);
  EncodePipeStatistics(
      statistics, std::span<uint8_t, kPipeStatisticsSize>(payload.data(), kPipeStatisticsSize));
  EncodeStatusBlock(status, std::span<uint8_t, kAlrSrvStatusBlockSize>(
                                payload.data() + kPipeStatisticsSize, kAlrSrvStatusBlockSize));
  return MakeAnswer(kAnsGetStats, kAnsGetStatsDataLength, payload, size);
}

}  // namespace control_test
