#include "platform/scm_wire.h"

#include "platform/syserror.h"
#include "platform/unix_socket.h"

namespace platform::scmwire {
namespace {

void PutU32(std::string& out, uint32_t value) {
  uint8_t bytes[kFrameHeaderSize];
  PutFrameLength(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

uint32_t GetU32(const char* p) {
  return GetFrameLength(reinterpret_cast<const uint8_t*>(p));
}

}  // namespace

Writer& Writer::U32(uint32_t value) {
  PutU32(data_, value);
  return *this;
}

Writer& Writer::Text(const std::string& value) {
  PutU32(data_, static_cast<uint32_t>(value.size()));
  data_ += value;
  return *this;
}

Writer& Writer::Status(const ServiceStatus& s) {
  return U32(s.dwServiceType)
      .U32(s.dwCurrentState)
      .U32(s.dwControlsAccepted)
      .U32(s.dwWin32ExitCode)
      .U32(s.dwServiceSpecificExitCode)
      .U32(s.dwCheckPoint)
      .U32(s.dwWaitHint);
}

bool Reader::U32(uint32_t& value) {
  if (failed_ || data_.size() - pos_ < 4) {
    failed_ = true;
    return false;
  }
  value = GetU32(data_.data() + pos_);
  pos_ += 4;
  return true;
}

bool Reader::Text(std::string& value) {
  uint32_t size = 0;
  if (!U32(size)) return false;
  if (data_.size() - pos_ < size) {
    failed_ = true;
    return false;
  }
  value.assign(data_, pos_, size);
  pos_ += size;
  return true;
}

bool Reader::Status(ServiceStatus& s) {
  return U32(s.dwServiceType) && U32(s.dwCurrentState) && U32(s.dwControlsAccepted) &&
         U32(s.dwWin32ExitCode) && U32(s.dwServiceSpecificExitCode) && U32(s.dwCheckPoint) &&
         U32(s.dwWaitHint);
}

bool Reader::Op(scmwire::Op& op) {
  uint32_t value = 0;
  if (!U32(value)) return false;
  op = static_cast<scmwire::Op>(value);
  return true;
}

std::string Frame(const std::string& payload) {
  std::string frame;
  frame.reserve(4 + payload.size());
  PutU32(frame, static_cast<uint32_t>(payload.size()));
  frame += payload;
  return frame;
}

uint32_t SendFrame(int fd, const std::string& payload) {
  if (payload.size() > kMaxFrame) return kErrorMoreData;
  return platform::SendFrame(fd, reinterpret_cast<const uint8_t*>(payload.data()),
                             static_cast<uint32_t>(payload.size()));
}

uint32_t ReceiveFrame(int fd, std::string& payload) {
  char header[4];
  if (uint32_t rc = ReceiveAll(fd, header, sizeof header)) return rc;
  uint32_t size = GetU32(header);
  if (size > kMaxFrame) return kErrorMoreData;
  payload.assign(size, '\0');
  return ReceiveAll(fd, payload.data(), size);
}

FrameBuffer::Result FrameBuffer::Read(int fd, std::string& payload) {
  bool closed = false;
  bool failed = false;
  char chunk[4096];
  // Room for the longest frame is enough: what else the peer sent waits in the
  // socket, which stays readable for the next call.
  while (buffer_.size() < kMaxFrame + 4) {
    size_t got = 0;
    uint32_t error = 0;
    TransferStep step = ReceiveSome(fd, chunk, sizeof chunk, got, error);
    if (step == TransferStep::Done) {
      buffer_.append(chunk, got);
      continue;
    }
    closed = step == TransferStep::Closed;
    failed = step == TransferStep::Failed;
    break;
  }
  if (Next(payload)) return Result::Frame;
  if (tooLong_ || failed) return Result::Error;
  return closed ? Result::Closed : Result::NeedMore;
}

bool FrameBuffer::Next(std::string& payload) {
  if (buffer_.size() < 4) return false;
  uint32_t size = GetU32(buffer_.data());
  if (size > kMaxFrame) {
    tooLong_ = true;
    return false;
  }
  if (buffer_.size() - 4 < size) return false;
  payload.assign(buffer_, 4, size);
  buffer_.erase(0, 4 + size);
  return true;
}

}  // namespace platform::scmwire
