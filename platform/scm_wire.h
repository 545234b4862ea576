// What svcmgr, its clients and the services it runs say to each other.
//
// Every message is a frame: a 4-byte little-endian length, then that many
// bytes (at most kMaxFrame). A message is an operation code followed by its
// fields: 32-bit little-endian integers and texts (a 32-bit length, then the
// bytes).
//
// Client to manager, one request and one answer per connection on scm.sock:
//   OpenManager  access                 -> error
//   OpenService  name access            -> error
//   QueryStatus  name access            -> error status
//   Start        name access            -> error
//   Control      name access code       -> error status
// Manager to service, on the socket pair handed over as VIGILO_SCM_FD:
//   ServiceStart name;  ServiceControl code
// Service to manager:
//   ServiceReport status
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/scm.h"

namespace platform::scmwire {

constexpr size_t kMaxFrame = 16384;

enum class Op : uint32_t {
  OpenManager = 1,
  OpenService = 2,
  QueryStatus = 3,
  Start = 4,
  Control = 5,
  ServiceStart = 20,
  ServiceControl = 21,
  ServiceReport = 22,
};

class Writer {
 public:
  // An answer: fields without an operation code.
  Writer() = default;
  explicit Writer(Op op) { U32(static_cast<uint32_t>(op)); }
  Writer& U32(uint32_t value);
  Writer& Text(const std::string& value);
  Writer& Status(const ServiceStatus& status);
  const std::string& Data() const { return data_; }

 private:
  std::string data_;
};

// Reads fields in order; a read past the end or a text longer than the rest
// fails and stays failed.
class Reader {
 public:
  explicit Reader(const std::string& data) : data_(data) {}
  bool U32(uint32_t& value);
  bool Text(std::string& value);
  bool Status(ServiceStatus& status);
  bool Op(scmwire::Op& op);

 private:
  const std::string& data_;
  size_t pos_ = 0;
  bool failed_ = false;
};

// The frame of `payload`: its length, then the bytes.
std::string Frame(const std::string& payload);

// Sends one frame on a blocking socket. Returns 0 or the error code.
uint32_t SendFrame(int fd, const std::string& payload);

// Receives one frame on a blocking socket. The peer closing before a whole
// frame is kErrorBrokenPipe; a frame longer than kMaxFrame kErrorMoreData.
uint32_t ReceiveFrame(int fd, std::string& payload);

// Collects the bytes of a non-blocking socket into frames; it never holds much
// more than one longest frame.
class FrameBuffer {
 public:
  enum class Result { Frame, NeedMore, Closed, Error };
  // Reads what the socket has, as far as the buffer's room goes, and extracts
  // the first complete frame. Error: the socket failed or a frame announced
  // more than kMaxFrame bytes. Closed: the peer closed without a whole frame.
  Result Read(int fd, std::string& payload);
  // Extracts a complete frame already read, without reading.
  bool Next(std::string& payload);

 private:
  std::string buffer_;
  bool tooLong_ = false;
};

}  // namespace platform::scmwire
