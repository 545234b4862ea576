// The service's two pipe endpoints.
//
// TAlrSrvControl (the control pipe, default security) hands out the bytes of
// the service's settings file ("REQGETCONFIG") and replaces them
// ("REQSETCONFIG"). TAlrSrvInfo (the info pipe, open to every user) answers
// "REQGETSTATS" with its own statistics and the status block that the
// service fills through OnGetStatus. Each endpoint answers the requests of
// the other, and anything it does not know, with "ANSREQUNKNOWN".
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "pipes/pipe_messages.h"
#include "pipes/srvpipe.h"

class TAlrSrvControl;
class TAlrSrvInfo;

using TNotifyEvent = std::function<void(TAlrSrvControl& Sender)>;
using TGetStatusEvent = std::function<void(TAlrSrvInfo& Sender, TAlrSrvStatusBlock& Status)>;

// A handler that the owner installs and clears while the pipe thread may be
// calling it.
template <typename Handler>
class TPipeEventHandler {
 public:
  // Installs `handler` (an empty one clears). Waits for a call in progress, so
  // that the old handler is never called once Set has returned. Must not be
  // called from inside the handler, nor while holding a lock the handler takes.
  void Set(Handler handler) {
    std::lock_guard<std::mutex> guard(Lock);
    Fn = std::move(handler);
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> guard(Lock);
    return static_cast<bool>(Fn);
  }
  // Calls the handler when one is set; true when it was called.
  template <typename... Args>
  bool Call(Args&&... args) {
    std::lock_guard<std::mutex> guard(Lock);
    if (!Fn) return false;
    Fn(std::forward<Args>(args)...);
    return true;
  }

 private:
  mutable std::mutex Lock;
  Handler Fn;
};

class TAlrSrvControl final : public TPipeServer {
 public:
  // Serves "\\.\pipe\" + PipeName for ConfigFileName (its full path). The
  // thread starts once the object is complete.
  TAlrSrvControl(const std::string& PipeName, int32_t MaxInstances,
                 const std::string& ConfigFileName);
  ~TAlrSrvControl() override;

  void ProcessRequest(const uint8_t* Request, uint32_t RequestSize, uint8_t* Reply,
                      int32_t ReplyBufferSize, uint32_t& ReplySize, bool& DefaultAck) override;

  // Reads the whole settings file into Buffer, under the settings-file lock,
  // and raises OnConfigRead. A file that is missing, unreadable or longer
  // than MaxCount gives Count 0, no handler and the error code.
  uint32_t ReadConfigFile(uint8_t* Buffer, int32_t MaxCount, int32_t& Count);

  // Replaces the settings file by Count bytes from Buffer: written to a
  // temporary file beside it, checked, renamed over it under the
  // settings-file lock, then OnConfigWritten. A read-only file is not
  // replaced. On failure the old file stays whole, the failure is logged at
  // level 3, no handler is raised and the error code is returned.
  uint32_t WriteConfigFile(const uint8_t* Buffer, int32_t Count);

  const std::string& GetConfigFileName() const { return ConfigFileName; }

  // Called in the pipe thread; must not call Set on themselves.
  TPipeEventHandler<TNotifyEvent> OnConfigWritten;
  TPipeEventHandler<TNotifyEvent> OnConfigRead;

 private:
  const std::string ConfigFileName;
};

class TAlrSrvInfo final : public TPipeServer {
 public:
  // Serves "\\.\pipe\" + PipeName, open to every user (PipeSecurityAttributes).
  TAlrSrvInfo(const std::string& PipeName, int32_t MaxInstances);
  ~TAlrSrvInfo() override;

  void ProcessRequest(const uint8_t* Request, uint32_t RequestSize, uint8_t* Reply,
                      int32_t ReplyBufferSize, uint32_t& ReplySize, bool& DefaultAck) override;

  // Writes this server's statistics (56 bytes) to StatsDest and the status
  // block (337 bytes) to StatusDest: as OnGetStatus fills it, or all zero
  // when no handler is set.
  void FillStatus(uint8_t* StatsDest, uint8_t* StatusDest);

  // Called in the pipe thread with a zeroed block to fill.
  TPipeEventHandler<TGetStatusEvent> OnGetStatus;
};
