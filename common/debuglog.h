// The log: one call, WriteLog, appends a time-stamped line to a text file and,
// while a service is registered, reports the message to the system log.
//
// Every operation runs under one process-wide lock. It is not a leaf: the clock
// is read and the message is reported to the event sink while it is held, so
// callers must not hold another lock while they log, and an event sink must
// neither log nor take a lock that a logging thread may hold.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"
#include "platform/eventlog.h"

// Appends "dd/mm/yyyy hh:nn:ss<TAB>Msg" LF to the log file (every CR LF in
// Msg becomes one blank) and, when a service is set, reports Msg unchanged as
// information for levels 0 to 2 and as an error otherwise. Never throws.
void WriteLog(int32_t Level, const std::string& Msg);

// Appends Line, every CR LF pair replaced by one blank, converted from cp1252
// to UTF-8, and LF. The file is opened and closed for each line, through a
// link only when the trusted-link rule (platform/file.h) trusts it; a line
// that cannot be written is lost. Never throws.
void WriteLogLine(const std::string& Line);

// Points the log at FileName (stored unchanged) and its reports at Service
// (none when null). Service is not owned: clear it before it goes.
void SetLogTarget(platform::EventSink* Service, const std::string& FileName);

// Stops the reports; the file stays the same.
void ClearLogTarget();

// Deletes the log file when it is larger than 131072 bytes; a file of exactly
// that size stays. Nothing of the old file is kept. A trusted link to the log
// stays and the file behind it goes. Never throws.
void TruncateLogFile();

// Fills FormatSettings with the locale's settings and the log's fixed ones.
void InitLogFormatSettings(TFormatSettings& FormatSettings);

// The current log file name ("debug.txt" until SetLogTarget).
std::string LogFileName();

// For tests: the clock the log reads its date and time from, called under the
// log's lock (so it must not log); an empty one restores the local clock.
void SetLogClock(TClock clock);
