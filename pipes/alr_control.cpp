#include "pipes/alr_control.h"

#include <algorithm>
#include <cstring>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "platform/syserror.h"

namespace {

std::span<const uint8_t, kPipeCommandSize> CommandOf(const uint8_t* request) {
  return std::span<const uint8_t, kPipeCommandSize>(request, kPipeCommandSize);
}

void PutHeader(uint8_t* reply, const TPipeMessageHeader& header) {
  EncodePipeHeader(header, std::span<uint8_t, kPipeHeaderSize>(reply, kPipeHeaderSize));
}

void ReplyUnknown(uint8_t* Reply, uint32_t& ReplySize) {
  PutHeader(Reply, MakePipeHeader(kAnsReqUnknown));
  ReplySize = kPipeHeaderSize;
}

// The start of both endpoints' handling: no default acknowledgement, a zeroed
// reply, and "ANSREQUNKNOWN" for a request too short to hold a header.
bool StartReply(uint32_t RequestSize, uint8_t* Reply, int32_t ReplyBufferSize, uint32_t& ReplySize,
                bool& DefaultAck) {
  DefaultAck = false;
  std::memset(Reply, 0, static_cast<size_t>(ReplyBufferSize));
  if (RequestSize >= kPipeHeaderSize) return true;
  ReplyUnknown(Reply, ReplySize);
  return false;
}

}  // namespace

TAlrSrvControl::TAlrSrvControl(const std::string& PipeName, int32_t MaxInstances,
                               const std::string& ConfigFileName)
    : TPipeServer(TDeferStart{}, PipeName, MaxInstances, nullptr), ConfigFileName(ConfigFileName) {
  Start();
}

TAlrSrvControl::~TAlrSrvControl() {
  StopAndWait();
}

void TAlrSrvControl::ProcessRequest(const uint8_t* Request, uint32_t RequestSize, uint8_t* Reply,
                                    int32_t ReplyBufferSize, uint32_t& ReplySize,
                                    bool& DefaultAck) {
  if (!StartReply(RequestSize, Reply, ReplyBufferSize, ReplySize, DefaultAck)) return;
  if (PipeCommandIs(CommandOf(Request), kReqGetConfig)) {
    int32_t maxCount = std::min<int32_t>(static_cast<int32_t>(kPipeMaxPayload),
                                         ReplyBufferSize - static_cast<int32_t>(kPipeHeaderSize));
    int32_t count = 0;
    uint32_t rc = ReadConfigFile(Reply + kPipeHeaderSize, maxCount, count);
    // A file that could not be read whole goes out as no data at all, marked
    // as failed, so that no client edits a cut or empty copy and sends it back.
    PutHeader(Reply, MakePipeHeader(kAnsGetConfig, static_cast<uint32_t>(count),
                                    rc == 0 ? kPipeErrorNone : kPipeErrorFailed));
    ReplySize = kPipeHeaderSize + static_cast<uint32_t>(count);
  } else if (PipeCommandIs(CommandOf(Request), kReqSetConfig)) {
    TPipeMessageHeader header =
        DecodePipeHeader(std::span<const uint8_t, kPipeHeaderSize>(Request, kPipeHeaderSize));
    int32_t error = kPipeErrorFailed;
    // RequestSize is at least the header here, so the difference cannot wrap.
    if (header.DataLength <= RequestSize - kPipeHeaderSize &&
        WriteConfigFile(Request + kPipeHeaderSize, static_cast<int32_t>(header.DataLength)) == 0) {
      error = kPipeErrorNone;
    }
    PutHeader(Reply, MakePipeHeader(kAnsSetConfig, 0, error));
    ReplySize = kPipeHeaderSize;
  } else {
    ReplyUnknown(Reply, ReplySize);
  }
}

uint32_t TAlrSrvControl::ReadConfigFile(uint8_t* Buffer, int32_t MaxCount, int32_t& Count) {
  Count = 0;
  std::string data;
  uint32_t rc;
  {
    const std::string onDisk = PathOnDisk(ConfigFileName);
    auto lock = platform::LockSettingsFile(onDisk);
    rc = platform::ReadWholeFile(onDisk, data, static_cast<size_t>(std::max(MaxCount, 0)));
  }
  if (rc != 0) return rc;
  std::memcpy(Buffer, data.data(), data.size());
  Count = static_cast<int32_t>(data.size());
  OnConfigRead.Call(*this);
  return 0;
}

uint32_t TAlrSrvControl::WriteConfigFile(const uint8_t* Buffer, int32_t Count) {
  uint32_t rc = platform::ReplaceSettingsFile(
      PathOnDisk(ConfigFileName),
      std::string(reinterpret_cast<const char*>(Buffer), static_cast<size_t>(Count)));
  if (rc != 0) {
    WriteLog(3, "Error writing data to " + ConfigFileName + " : " + platform::SystemErrorText(rc));
    return rc;
  }
  OnConfigWritten.Call(*this);
  return 0;
}

TAlrSrvInfo::TAlrSrvInfo(const std::string& PipeName, int32_t MaxInstances)
    : TPipeServer(TDeferStart{}, PipeName, MaxInstances, &PipeSecurityAttributes) {
  Start();
}

TAlrSrvInfo::~TAlrSrvInfo() {
  StopAndWait();
}

void TAlrSrvInfo::ProcessRequest(const uint8_t* Request, uint32_t RequestSize, uint8_t* Reply,
                                 int32_t ReplyBufferSize, uint32_t& ReplySize, bool& DefaultAck) {
  if (!StartReply(RequestSize, Reply, ReplyBufferSize, ReplySize, DefaultAck)) return;
  if (!PipeCommandIs(CommandOf(Request), kReqGetStats)) {
    ReplyUnknown(Reply, ReplySize);
    return;
  }
  PutHeader(Reply, MakePipeHeader(kAnsGetStats, kAnsGetStatsDataLength));
  FillStatus(Reply + kAnsGetStatsStatisticsOffset, Reply + kAnsGetStatsStatusOffset);
  ReplySize = kAnsGetStatsSize;
}

void TAlrSrvInfo::FillStatus(uint8_t* StatsDest, uint8_t* StatusDest) {
  TPipeStatistics statistics;
  GetStatistics(statistics);
  EncodePipeStatistics(statistics,
                       std::span<uint8_t, kPipeStatisticsSize>(StatsDest, kPipeStatisticsSize));
  TAlrSrvStatusBlock status;
  std::span<uint8_t, kAlrSrvStatusBlockSize> dest(StatusDest, kAlrSrvStatusBlockSize);
  if (OnGetStatus.Call(*this, status)) {
    EncodeStatusBlock(status, dest);
  } else {
    std::fill(dest.begin(), dest.end(), uint8_t{0});
  }
}
