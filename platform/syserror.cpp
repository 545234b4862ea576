#include "platform/syserror.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace platform {
namespace {

struct ErrnoCode {
  int err;
  uint32_t code;
};

constexpr ErrnoCode kErrnoCodes[] = {
    {EPERM, kErrorAccessDenied},
    {EACCES, kErrorAccessDenied},
    {EROFS, kErrorAccessDenied},
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EEXIST, kErrorAlreadyExists},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {EBADF, kErrorInvalidHandle},
    {ENOMEM, kErrorNotEnoughMemory},
    {EINVAL, kErrorInvalidParameter},
    {ENAMETOOLONG, kErrorInvalidName},
    {ENOSPC, kErrorDiskFull},
    {EDQUOT, kErrorDiskFull},
    {EPIPE, kErrorBrokenPipe},
    {ECONNRESET, kErrorBrokenPipe},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {EBUSY, kErrorBusy},
    {EAGAIN, kErrorIoPending},
    {ETIMEDOUT, kErrorTimeout},
    {ECONNREFUSED, kErrorConnectionRefused},
    {ENOTCONN, kErrorPipeNotConnected},
    {ENOSYS, kErrorNotSupported},
    {EOPNOTSUPP, kErrorNotSupported},
    {EIO, kErrorGenFailure},
    {EHOSTUNREACH, kErrorBadNetPath},
    {ENETUNREACH, kErrorBadNetPath},
};

struct CodeText {
  uint32_t code;
  const char* text;
};

// The texts as the system message table words them, full stops included;
// SystemErrorText trims them.
constexpr CodeText kCodeTexts[] = {
    {kErrorSuccess, "The operation completed successfully."},
    {kErrorInvalidFunction, "Incorrect function."},
    {kErrorFileNotFound, "The system cannot find the file specified."},
    {kErrorPathNotFound, "The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, "The system cannot open the file."},
    {kErrorAccessDenied, "Access is denied."},
    {kErrorInvalidHandle, "The handle is invalid."},
    {kErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {kErrorWriteFault, "The system cannot write to the specified device."},
    {kErrorReadFault, "The system cannot read from the specified device."},
    {kErrorGenFailure, "A device attached to the system is not functioning."},
    {kErrorSharingViolation,
     "The process cannot access the file because it is being used by another process."},
    {kErrorHandleEof, "Reached the end of the file."},
    {kErrorNotSupported, "The request is not supported."},
    {kErrorBadNetPath, "The network path was not found."},
    {kErrorFileExists, "The file exists."},
    {kErrorInvalidParameter, "The parameter is incorrect."},
    {kErrorBrokenPipe, "The pipe has been ended."},
    {kErrorDiskFull, "There is not enough space on the disk."},
    {kErrorInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorModNotFound, "The specified module could not be found."},
    {kErrorProcNotFound, "The specified procedure could not be found."},
    {kErrorDirNotEmpty, "The directory is not empty."},
    {kErrorBusy, "The requested resource is in use."},
    {kErrorAlreadyExists, "Cannot create a file when that file already exists."},
    {kErrorBadPipe, "The pipe state is invalid."},
    {kErrorPipeBusy, "All pipe instances are busy."},
    {kErrorNoData, "The pipe is being closed."},
    {kErrorPipeNotConnected, "No process is on the other end of the pipe."},
    {kErrorMoreData, "More data is available."},
    {kErrorNoMoreItems, "No more data is available."},
    {kErrorPipeConnected, "There is a process on other end of the pipe."},
    {kErrorPipeListening, "Waiting for a process to open the other end of the pipe."},
    {kErrorOperationAborted,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {kErrorIoIncomplete, "Overlapped I/O event is not in a signaled state."},
    {kErrorIoPending, "Overlapped I/O operation is in progress."},
    {kErrorServiceRequestTimeout,
     "The service did not respond to the start or control request in a timely fashion."},
    {kErrorServiceAlreadyRunning, "An instance of the service is already running."},
    {kErrorServiceDisabled,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it."},
    {kErrorServiceDoesNotExist, "The specified service does not exist as an installed service."},
    {kErrorServiceCannotAcceptCtrl, "The service cannot accept control messages at this time."},
    {kErrorServiceNotActive, "The service has not been started."},
    {kErrorFailedServiceControllerConnect,
     "The service process could not connect to the service controller."},
    {kErrorServiceSpecificError, "The service has returned a service-specific error code."},
    {kErrorProcessAborted, "The process terminated unexpectedly."},
    {kErrorServiceLogonFailed, "The service did not start due to a logon failure."},
    {kErrorServiceMarkedForDelete, "The specified service has been marked for deletion."},
    {kErrorServiceExists, "The specified service already exists."},
    {kErrorConnectionRefused, "The remote computer refused the network connection."},
    {kErrorRpcServerUnavailable, "The RPC server is unavailable."},
    {kErrorTimeout, "This operation returned because the timeout period expired."},
};

std::string RawText(uint32_t code) {
  for (const CodeText& entry : kCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  if ((code & kErrorErrnoBase) != 0) {
    char buffer[256];
    // The GNU strerror_r returns the text, which need not be in the buffer.
    const char* text = strerror_r(static_cast<int>(code & ~kErrorErrnoBase), buffer, sizeof buffer);
    return text;
  }
  return "Unknown error " + std::to_string(code);
}

}  // namespace

uint32_t ErrorFromErrno(int err) {
  if (err == 0) return kErrorSuccess;
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.err == err) return entry.code;
  }
  return kErrorErrnoBase | static_cast<uint32_t>(err);
}

uint32_t LastErrorFromErrno() {
  return ErrorFromErrno(errno);
}

std::string SystemErrorText(uint32_t code) {
  std::string text = RawText(code);
  if (text.size() > 256) text.resize(256);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

SystemError::SystemError(uint32_t code) : std::runtime_error(SystemErrorText(code)), code_(code) {}

SystemError::SystemError(uint32_t code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

}  // namespace platform
