#include "pipes/srvpipe.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <optional>

#include "common/datetime.h"
#include "common/debuglog.h"
#include "platform/syserror.h"

platform::PipeSecurityAttributes PipeSecurityAttributes;

void InitPipeSecurity() {
  PipeSecurityAttributes.OpenToEveryone = true;
}

namespace {

// Set up once at program start, before any server can ask for it.
const bool kPipeSecurityReady = (InitPipeSecurity(), true);

// After a failed wait, the next one comes only after this pause, so that a
// wait that keeps failing cannot turn the thread into a spin over the log.
constexpr auto kWaitErrorPause = std::chrono::milliseconds(1000);

int32_t ClampInstances(int32_t count) {
  if (count < 0) return 0;
  return count > platform::kPipeMaxInstances ? platform::kPipeMaxInstances : count;
}

std::string ErrorText(uint32_t code) {
  return platform::SystemErrorText(code);
}

}  // namespace

TPipeServer::TPipeServer(const std::string& PipeName, int32_t MaxInstances,
                         const platform::PipeSecurityAttributes* SecurityAttributes,
                         int32_t LogLevel, std::chrono::milliseconds RequestTime)
    : TPipeServer(TDeferStart{}, PipeName, MaxInstances, SecurityAttributes, LogLevel,
                  RequestTime) {
  Start();
}

TPipeServer::TPipeServer(TDeferStart, const std::string& PipeName, int32_t MaxInstances,
                         const platform::PipeSecurityAttributes* SecurityAttributes,
                         int32_t LogLevel, std::chrono::milliseconds RequestTime,
                         std::unique_ptr<platform::PipeServerSystem> System)
    : LogLevel(LogLevel),
      MaxInstances(ClampInstances(MaxInstances)),
      SlotCount(platform::PipeSlotCount(this->MaxInstances)),
      RequestTime(RequestTime),
      PipeName("\\\\.\\pipe\\" + PipeName),
      Instances(std::make_unique<TPipeInstance[]>(static_cast<size_t>(SlotCount))),
      Pipe(System ? std::move(System)
                  : platform::CreatePipeServerSystem(this->PipeName, this->MaxInstances,
                                                     SecurityAttributes, RequestTime)) {
  (void)kPipeSecurityReady;
}

TPipeServer::~TPipeServer() {
  StopAndWait();
}

void TPipeServer::Start() {
  if (!Thread.joinable()) Thread = std::thread([this] { Execute(); });
}

void TPipeServer::Stop() {
  Terminated.store(true);
  StopEvent.Set();
}

void TPipeServer::StopAndWait() {
  Stop();
  if (Thread.joinable()) Thread.join();
}

void TPipeServer::GetStatistics(TPipeStatistics& Dest) const {
  Dest = Statistics;
}

void TPipeServer::ProcessRequest(const uint8_t*, uint32_t, uint8_t*, int32_t, uint32_t&, bool&) {}

void TPipeServer::Execute() {
  // Nothing may leave a thread's entry point.
  try {
    Run();
  } catch (const std::exception& e) {
    WriteLog(3, e.what());
    ClosePipes();
  } catch (...) {
    WriteLog(3, "Unknown exception in the pipe server thread");
    ClosePipes();
  }
}

void TPipeServer::Run() {
  if (LogLevel > 0) WriteLog(0, "Named pipe server thread started");
  if (InitPipes()) {
    while (!Terminated.load()) {
      uint32_t error = 0;
      int result = Pipe->Wait(StopEvent, SlotCount, error);
      if (result == 0) break;
      if (result > 0) {
        int index = result - 1;
        if (index >= SlotCount) {
          WriteLog(3, "Wrong pipe index");
        } else if (CompletePendingIO(index)) {
          ServeInstance(index);
        }
      } else {
        WriteLog(3, "Wait error : ");
        StopEvent.WaitFor(kWaitErrorPause);
      }
    }
  }
  ClosePipes();
  if (LogLevel > 0) WriteLog(0, "Named pipe server thread finished");
}

bool TPipeServer::InitPipes() {
  Statistics = TPipeStatistics{};
  Statistics.StartedAt = DateTimeToSystemTime(Now());
  for (int i = 0; i < SlotCount; ++i) {
    if (uint32_t rc = Pipe->CreateInstance(i)) {
      WriteLog(3, "Failed to create pipe instance: " + ErrorText(rc));
      return false;
    }
    Instances[i].Created = true;
    ConnectInstance(i);
  }
  return true;
}

void TPipeServer::ClosePipes() {
  for (int i = SlotCount - 1; i >= 0; --i) {
    if (!Instances[i].Created) continue;
    Pipe->CloseInstance(i);
    Instances[i].Created = false;
  }
}

void TPipeServer::ConnectInstance(int Index) {
  TPipeInstance& instance = Instances[Index];
  uint32_t error = 0;
  switch (Pipe->Connect(Index, error)) {
    case platform::PipeIo::Done:
      // A client connected before the instance listened: serve it next pass.
      ++Statistics.Connections;
      Pipe->Signal(Index);
      instance.PendingIO = false;
      instance.State = kReading;
      break;
    case platform::PipeIo::Pending:
      instance.PendingIO = true;
      instance.State = kConnecting;
      break;
    case platform::PipeIo::Failed:
      // The instance stays idle: nothing pending, nothing signalled.
      ++Statistics.ConnectErrors;
      if (LogLevel > 0) WriteLog(3, "Cleint listening failed: " + ErrorText(error));
      instance.PendingIO = false;
      instance.State = kReading;
      break;
  }
}

bool TPipeServer::CompletePendingIO(int Index) {
  TPipeInstance& instance = Instances[Index];
  if (!instance.PendingIO) return true;
  uint32_t count = 0;
  uint32_t error = 0;
  bool ok = Pipe->GetResult(Index, count, error);
  switch (instance.State) {
    case kConnecting:
      if (ok) {
        ++Statistics.Connections;
        instance.State = kReading;
        return true;
      }
      if (LogLevel > 0) WriteLog(3, "Overlapped error: " + ErrorText(error));
      ++Statistics.ConnectErrors;
      ReconnectInstance(Index);
      return false;
    case kReading:
      if (ok && count > 0) {
        RequestRead(instance, count);
        return true;
      }
      // A client that kept its instance without a whole request is a failed
      // connect, not a client that left.
      if (!ok && error == platform::kErrorTimeout) ++Statistics.ConnectErrors;
      ReconnectInstance(Index);
      return false;
    case kWriting:
      if (ok && count == instance.BytesToWrite) {
        ReplyWritten(instance, count);
        return true;
      }
      ++Statistics.WriteErrors;
      ReconnectInstance(Index);
      return false;
    default:
      return true;
  }
}

void TPipeServer::ServeInstance(int Index) {
  TPipeInstance& instance = Instances[Index];
  uint32_t count = 0;
  uint32_t error = 0;
  switch (instance.State) {
    case kReading: {
      instance.BytesRead = 0;
      std::memset(instance.Request, 0, sizeof instance.Request);
      platform::PipeIo io = Pipe->Read(Index, instance.Request, kPipeBufferSize, count, error);
      if (io == platform::PipeIo::Done && count > 0) {
        RequestRead(instance, count);
        instance.PendingIO = false;
      } else if (io == platform::PipeIo::Pending) {
        instance.PendingIO = true;
      } else {
        ReconnectInstance(Index);
      }
      break;
    }
    case kWriting: {
      std::optional<std::string> failure;
      try {
        BuildReply(instance);
      } catch (const std::exception& e) {
        failure = e.what();
      } catch (...) {
        failure = "Unknown exception in the request handler";
      }
      if (failure) {
        WriteLog(3, *failure);
        ReconnectInstance(Index);
        return;
      }
      platform::PipeIo io = Pipe->Write(Index, instance.Reply, instance.BytesToWrite, count, error);
      if (io == platform::PipeIo::Done && count == instance.BytesToWrite) {
        ReplyWritten(instance, count);
        instance.PendingIO = false;
      } else if (io == platform::PipeIo::Pending) {
        instance.PendingIO = true;
      } else {
        ++Statistics.WriteErrors;
        ReconnectInstance(Index);
      }
      break;
    }
    default:
      WriteLog(3, "Wrong pipe state");
      break;
  }
}

void TPipeServer::RequestRead(TPipeInstance& Instance, uint32_t Count) {
  ++Statistics.Requests;
  Statistics.BytesReceived += Count;
  Instance.BytesRead = Count;
  Instance.State = kWriting;
}

void TPipeServer::ReplyWritten(TPipeInstance& Instance, uint32_t Count) {
  ++Statistics.Answers;
  Statistics.BytesSent += Count;
  Instance.State = kReading;
}

void TPipeServer::ReconnectInstance(int Index) {
  Pipe->Disconnect(Index);
  if (LogLevel > 0) WriteLog(3, "Disconnected from client and listening again");
  ConnectInstance(Index);
}

void TPipeServer::BuildReply(TPipeInstance& Instance) {
  bool defaultAck = true;
  ProcessRequest(Instance.Request, Instance.BytesRead, Instance.Reply, kPipeBufferSize,
                 Instance.BytesToWrite, defaultAck);
  if (!defaultAck) return;
  std::string ack = "ACK " + std::to_string(Instance.BytesRead) + " bytes " +
                    FormatDateTime("hh:nn:ss", Now(), FixedFormatSettings());
  std::memcpy(Instance.Reply, ack.data(), ack.size());
  Instance.BytesToWrite = static_cast<uint32_t>(ack.size());
}
