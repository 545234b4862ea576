// The service framework: runs one service object under svcmgr.
//
// Threads, as a service expects them:
// - main thread: RunServiceApplication; it handles the switches, or starts the
//   dispatcher and waits for it, turning SIGTERM and SIGINT into the stop code;
// - dispatcher thread: reads the manager's requests from the socket handed over
//   as VIGILO_SCM_FD; a control code goes to the registered control handler
//   (one that follows the start request waits until it is registered);
// - service-start thread (one per start request): registers the control
//   handler (GetServiceController), reports start pending, runs the service
//   thread, waits for it and reports stopped;
// - service thread: reports start pending, calls OnStart; when Started comes
//   back True it reports running, calls OnExecute, handles the control requests
//   once more without waiting and ends.
//
// Control requests are thread messages kCmServiceControl (WParam = code) in the
// service thread's queue. ProcessControlRequests handles them: stop runs OnStop
// (terminated when Stopped stays True, else the state is restored), shutdown
// runs OnShutdown and always terminates, interrogate reports the status; other
// codes do nothing. Once terminated, further stop and shutdown requests are
// ignored, so the handlers never run twice.
//
// When the service thread ends without a stop or shutdown handler having run
// to the end (the start left Started False or raised, the execute handler
// raised or returned on its own, the shutdown handler raised), OnCleanUp runs
// on the service thread, so the service can free what its start created.
// A service whose manager has gone gets the shutdown code; when it has not
// ended WaitHint ms later (busy and not reading its queue), the process ends
// with status 1 and a line in the event log, so that it never runs beside a
// copy that a new manager starts.
//
// RunServiceApplication returns only after every framework thread has ended:
// nothing of the framework touches the service object after it returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/eventlog.h"
#include "platform/scm.h"

namespace platform {

constexpr uint32_t kWmUser = 0x0400;
// The control-request message; WParam is the control code, LParam 0.
constexpr uint32_t kCmServiceControl = kWmUser + 1;

struct ThreadMessage {
  uint32_t Message = 0;
  uint32_t WParam = 0;
  uint32_t LParam = 0;
};

// A thread's message queue: any thread posts and looks, the owning thread
// takes. Every call holds the queue's lock, so a look from another thread sees
// the queue whole, before or after a post or a take.
class ThreadMessageQueue {
 public:
  void Post(const ThreadMessage& message);
  // The first message whose Message lies in [filterMin, filterMax], left in
  // the queue. False when there is none.
  bool Peek(ThreadMessage& message, uint32_t filterMin, uint32_t filterMax) const;
  // True when any queued message, wherever it stands, satisfies `matches`;
  // nothing is removed. `matches` runs under the queue's lock: it must not
  // call back into the queue.
  bool Contains(const std::function<bool(const ThreadMessage&)>& matches) const;
  // Removes the first message; false when the queue is empty.
  bool TryTake(ThreadMessage& message);
  // Waits for a message and removes it.
  void Take(ThreadMessage& message);

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<ThreadMessage> messages_;
};

// The control handler: called on the dispatcher thread with the control code.
using TServiceController = void (*)(uint32_t CtrlCode);

class TService {
 public:
  TService();
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  // The service name (the registration's name) and the name people see.
  std::string Name;
  std::string DisplayName;
  // Reported with every status; the client waits this long between queries.
  uint32_t WaitHint = 5000;

  // Handlers, all on the service thread.
  std::function<void(TService* Sender, bool& Started)> OnStart;
  std::function<void(TService* Sender)> OnExecute;
  std::function<void(TService* Sender, bool& Stopped)> OnStop;
  std::function<void(TService* Sender)> OnShutdown;
  std::function<void(TService* Sender)> OnCleanUp;

  // Supplies the control handler; asked on the service-start thread. A null
  // result fails the start (error 6).
  virtual TServiceController GetServiceController() = 0;

  // Posts kCmServiceControl with `CtrlCode` to the service thread; never waits.
  void PostControlCode(uint32_t CtrlCode);

  // Service thread: reports the current state with its controls accepted (none
  // while start pending, else stop and shutdown), the wait hint and the check
  // point, which every pending report raises and any other report clears.
  void ReportServiceStatus();

  // Service thread: handles the queued messages in order and returns when the
  // queue is empty; with Wait, goes on waiting for messages until terminated.
  void ProcessControlRequests(bool Wait);

  // Any thread: PeekMessage with PM_NOREMOVE on the service thread's queue.
  // What it finds may be taken by the service thread right after.
  bool PeekMessage(ThreadMessage& Msg, uint32_t MsgFilterMin, uint32_t MsgFilterMax) const;
  // Any thread: true when a message in the service thread's queue satisfies
  // `Matches`, behind other messages too; nothing is removed. A watch of work
  // on the service thread asks it, since a request queued behind another
  // (an interrogate, say) is never first while that work holds the thread.
  bool IsMessageQueued(const std::function<bool(const ThreadMessage&)>& Matches) const;

  // True once a stop or shutdown handler has marked the service thread terminated.
  bool Terminated() const { return terminated_.load(); }

  // The current state (kServiceStopped ...).
  uint32_t Status() const;

  // The service's event log: a platform::EventLog under Name, made at first
  // use; reports from several threads are serialised. Never throws.
  EventSink& EventLogger();
  // Replaces the event log (tests).
  void SetEventLogger(std::unique_ptr<EventSink> sink);

  // Writes `message` to the event log as an error.
  void LogMessage(const std::string& message);

 private:
  friend class ServiceRunner;
  class SerialSink : public EventSink {
   public:
    explicit SerialSink(TService& owner) : owner_(owner) {}
    void ReportEvent(EventType type, const std::string& message) override;
    void Replace(std::unique_ptr<EventSink> sink);

   private:
    TService& owner_;
    std::mutex mutex_;
    std::unique_ptr<EventSink> sink_;
  };

  void SetStatus(uint32_t state);
  void HandleControl(uint32_t code);
  void SetManagerSocket(int fd);

  ThreadMessageQueue queue_;
  SerialSink eventLog_{*this};
  std::atomic<bool> terminated_{false};
  // A stop or shutdown handler ran to its end (service thread only): a
  // shutdown handler that raised is terminated all the same, but it may have
  // left things for OnCleanUp.
  bool stopHandlerDone_ = false;
  // Guards the status and the socket writes, so reports never interleave.
  mutable std::mutex statusMutex_;
  uint32_t state_ = kServiceStopped;
  uint32_t checkPoint_ = 0;
  uint32_t exitCode_ = 0;
  int scmFd_ = -1;
};

// The environment variable in which the manager hands a service its end of
// the socket pair; a program started by hand has none.
inline constexpr char kScmFdVariable[] = "VIGILO_SCM_FD";

// Runs the service application for `Service` with the program's arguments:
// "-INSTALL" or "/INSTALL" (any case) writes the registration, "UNINSTALL"
// removes it, "SILENT" keeps the success text off standard output; failures
// go to standard error. Otherwise runs the dispatcher; started without
// VIGILO_SCM_FD it fails with error 1063 (text to the event log and standard
// error). Returns the exit status: 0 on success, 1 on failure.
// SIGTERM and SIGINT are blocked in the calling thread and the threads it
// starts, and become the stop code; a thread the program started before would
// still take them with their default action, so call it before starting any.
int RunServiceApplication(TService& Service, int argc, char** argv);

// True when `name` follows "-" or "/" in one of the arguments, in any case.
bool FindCmdLineSwitch(int argc, char** argv, const std::string& name);

}  // namespace platform
