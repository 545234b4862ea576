// System error codes and their texts.
//
// The layer reports errors in one code space, the numbers of the Windows error
// table, because the programs show them to people and the system's own messages
// name some of them. errno values map to the nearest code; an errno with no
// match becomes 0x20000000 | errno and keeps strerror's text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

enum : uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorBadNetPath = 53,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorModNotFound = 126,
  kErrorProcNotFound = 127,
  kErrorDirNotEmpty = 145,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorBadPipe = 230,
  kErrorPipeBusy = 231,
  kErrorNoData = 232,
  kErrorPipeNotConnected = 233,
  kErrorMoreData = 234,
  kErrorNoMoreItems = 259,
  kErrorOperationAborted = 995,
  kErrorIoIncomplete = 996,
  kErrorIoPending = 997,
  kErrorServiceRequestTimeout = 1053,
  kErrorServiceAlreadyRunning = 1056,
  kErrorServiceDisabled = 1058,
  kErrorServiceDoesNotExist = 1060,
  kErrorServiceCannotAcceptCtrl = 1061,
  kErrorServiceNotActive = 1062,
  kErrorFailedServiceControllerConnect = 1063,
  kErrorServiceSpecificError = 1066,
  kErrorServiceLogonFailed = 1069,
  kErrorProcessAborted = 1067,
  kErrorServiceExists = 1073,
  kErrorServiceMarkedForDelete = 1072,
  kErrorPipeConnected = 535,
  kErrorPipeListening = 536,
  kErrorTimeout = 1460,
  kErrorConnectionRefused = 1225,
  kErrorRpcServerUnavailable = 1722,
  kErrorErrnoBase = 0x20000000,
};

// The code that stands for errno value `err`.
uint32_t ErrorFromErrno(int err);

// The code of the calling thread's current errno.
uint32_t LastErrorFromErrno();

// The message for `code` (at most 256 characters), without its trailing
// blanks, control characters and full stops. An unknown code gives the
// text "Unknown error <code>".
std::string SystemErrorText(uint32_t code);

// An exception that carries a system error code; what() is the system error
// text unless a message is given.
class SystemError : public std::runtime_error {
 public:
  explicit SystemError(uint32_t code);
  SystemError(uint32_t code, const std::string& message);
  uint32_t Code() const { return code_; }

 private:
  uint32_t code_;
};

}  // namespace platform
