// A named-pipe server with a thread of its own.
//
// The thread sets up the instances of the pipe "\\.\pipe\" + name and serves
// them all through one wait: each instance waits for a client, reads a
// request, has ProcessRequest build the reply, writes it, reads the next
// request of the same client, and listens again when the client goes.
// A client that has not sent its whole request within RequestTime of its
// connect or of its last answer is dropped and counted in ConnectErrors, so
// idle clients cannot hold every instance.
//
// The server runs platform::PipeSlotCount(MaxInstances) instances, one more
// than MaxInstances, shared by the callers' users as platform/named_pipe.h
// says: root and the service's own user hold at most MaxInstances of them,
// all other users together as many and each of them one at a time, so that
// no user's connections, however many, lock the others out.
//
// The server keeps TPipeStatistics of all this. It knows no commands: the
// endpoints derive from it and override ProcessRequest.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "pipes/pipe_messages.h"
#include "platform/named_pipe.h"

// Opens a pipe to every user; filled by InitPipeSecurity.
extern platform::PipeSecurityAttributes PipeSecurityAttributes;

// Builds PipeSecurityAttributes. Runs once when the program starts; a second
// run changes nothing.
void InitPipeSecurity();

class TPipeServer {
 public:
  // Builds the server and starts its thread. MaxInstances is cut to 0..63
  // (0 serves nothing); SecurityAttributes is kept, not copied (none: the
  // owner's default security). LogLevel above 0 adds diagnostic messages.
  // RequestTime bounds the wait for each whole request.
  TPipeServer(const std::string& PipeName, int32_t MaxInstances,
              const platform::PipeSecurityAttributes* SecurityAttributes, int32_t LogLevel = 0,
              std::chrono::milliseconds RequestTime = platform::kPipeRequestTime);
  // Stops the thread and waits for it.
  virtual ~TPipeServer();
  TPipeServer(const TPipeServer&) = delete;
  TPipeServer& operator=(const TPipeServer&) = delete;

  // Asks the thread to end: a waiting thread wakes at once, a serving one
  // ends its step first. Safe to call more than once and from any thread.
  void Stop();

  // Copies the counters. Only from ProcessRequest, in the server's thread.
  void GetStatistics(TPipeStatistics& Dest) const;

  // Called in the server's thread once per request. Request holds
  // RequestSize bytes (1 to 16384) followed by zeros up to 16384; Reply holds
  // ReplyBufferSize (16384) bytes. On entry DefaultAck is true and ReplySize
  // is the size of the previous reply on this instance. An override sets
  // DefaultAck to false and writes its reply and ReplySize; when DefaultAck
  // stays true the server sends "ACK <RequestSize> bytes hh:nn:ss". An
  // exception is logged and drops that client. Does nothing here.
  virtual void ProcessRequest(const uint8_t* Request, uint32_t RequestSize, uint8_t* Reply,
                              int32_t ReplyBufferSize, uint32_t& ReplySize, bool& DefaultAck);

  const std::string& GetPipeName() const { return PipeName; }
  int32_t GetMaxInstances() const { return MaxInstances; }
  int32_t GetLogLevel() const { return LogLevel; }
  std::chrono::milliseconds GetRequestTime() const { return RequestTime; }

 protected:
  struct TDeferStart {};
  // For derived classes: builds the server without its thread. The most
  // derived constructor calls Start() as its last step, so the thread never
  // sees a half-built object, and its destructor calls StopAndWait() first.
  // `System` replaces the socket implementation (tests).
  TPipeServer(TDeferStart, const std::string& PipeName, int32_t MaxInstances,
              const platform::PipeSecurityAttributes* SecurityAttributes, int32_t LogLevel = 0,
              std::chrono::milliseconds RequestTime = platform::kPipeRequestTime,
              std::unique_ptr<platform::PipeServerSystem> System = nullptr);
  void Start();
  // Stop, then wait until the thread has ended. Safe more than once.
  void StopAndWait();

 private:
  enum : uint8_t { kConnecting = 0, kReading = 1, kWriting = 2 };

  struct TPipeInstance {
    bool Created = false;
    uint8_t Request[kPipeBufferSize] = {};
    uint32_t BytesRead = 0;
    uint8_t Reply[kPipeBufferSize] = {};
    uint32_t BytesToWrite = 0;
    uint8_t State = kConnecting;
    bool PendingIO = false;
  };

  void Execute();
  void Run();
  bool InitPipes();
  void ClosePipes();
  void ConnectInstance(int Index);
  bool CompletePendingIO(int Index);
  void ServeInstance(int Index);
  void ReconnectInstance(int Index);
  void BuildReply(TPipeInstance& Instance);
  // A read or write has ended whole: counts it and moves to the next state.
  void RequestRead(TPipeInstance& Instance, uint32_t Count);
  void ReplyWritten(TPipeInstance& Instance, uint32_t Count);

  const int32_t LogLevel;
  const int32_t MaxInstances;
  // The instances run: MaxInstances and the one that keeps users fair.
  const int32_t SlotCount;
  const std::chrono::milliseconds RequestTime;
  platform::PipeEvent StopEvent;
  const std::string PipeName;
  std::unique_ptr<TPipeInstance[]> Instances;
  TPipeStatistics Statistics;
  std::unique_ptr<platform::PipeServerSystem> Pipe;
  std::atomic<bool> Terminated{false};
  std::thread Thread;
};
