// Texts of the alarm service that people read: report, alarm and mail texts
// in French, and the lines the service logs as its last event or last error.
// Windows-1252 bytes, like every text the service assembles; the reports
// convert them to UTF-8 once, when a document is complete.
//
// The info pipe carries the last event and error in 127 characters: each of
// these lines fits them once its arguments are filled in, save those that
// carry a path or another program's words (the database's, the mail
// library's), which the status field shows cut.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace resstr {

inline constexpr std::string_view SServiceTitle = "CORVANTE Alert Service";
inline constexpr std::string_view SNoCountingSince = "Absence du comptage depuis %s";
inline constexpr std::string_view SReportGeneratedBy =
    "Le rapport est g\xE9n\xE9r\xE9 par %s %s \xE0 %s";
inline constexpr std::string_view SNoAlarmFound = "Il y avait trouv\xE9 aucune alarme.";
// Split so that "es" is not read as part of the hexadecimal escape.
inline constexpr std::string_view SDatabase =
    "Base de donn\xE9"
    "es";
inline constexpr std::string_view SDayNames = "Dim|Lun|Mar|Mer|Jeu|Ven|Sam|";
inline constexpr std::string_view SDaysExcluded = "Jours sont exclus du contr\xF4le: ";
// The service's own lines. The "%s" of the start and stop lines is the
// service's name.
inline constexpr std::string_view SServiceStarted = "%s service started (ver. %s)";
inline constexpr std::string_view SStartingService = "Starting service...";
inline constexpr std::string_view SConfigLoaded = "Configuration loaded from \"%s\"";
inline constexpr std::string_view SPipeServerStarted = "Pipe server started \"%s\"";
inline constexpr std::string_view SStoppingService = "Stopping service...";
inline constexpr std::string_view SPipeServerStopped = "Pipe server stopped \"%s\"";
inline constexpr std::string_view SServiceStopped = "%s service stopped";
inline constexpr std::string_view SServiceShutDown = "%s stopped at system shutdown";
inline constexpr std::string_view SConfigRetrieved =
    "Service configuration file retrieved by client";
inline constexpr std::string_view SConfigUpdated = "Service configuration file updated by client";
inline constexpr std::string_view SDataCheckDone = "Data check done, elapsed time %s";
// The message of the desktop or the shortcut that failed.
inline constexpr std::string_view SLinkError = "Link error %s";
// The mail library's error text.
inline constexpr std::string_view SMailSendError = "E-mail send error: %s";
// The report's path, then the system's text.
inline constexpr std::string_view SCannotCreateFile = "Cannot create file \"%s\". %s";
inline constexpr std::string_view SStreamWriteError = "Stream write error";
inline constexpr std::string_view SServiceTaskCanceled =
    "Current service task canceled due to urgent control request.";
inline constexpr std::string_view SChainDatabaseTimeout =
    "Database time-out: the chain's database work did not end within %s s and was aborted";
inline constexpr std::string_view SAlarmMailSubject = "Message de alarme du Alert Service";
inline constexpr std::string_view SMailSentOk = "le message est envoy\xE9 avec succ\xE8s.";
inline constexpr std::string_view SAllDaysIncluded =
    "Tous les jours de la semaine sont inclus pour le contr\xF4le.";

// The format with each "%s", from left to right, replaced by the next
// argument; a "%s" without an argument is left as it is, extra arguments are
// dropped.
inline std::string Format(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string result;
  result.reserve(format.size() + 32);
  auto arg = args.begin();
  size_t pos = 0;
  while (pos < format.size()) {
    const size_t mark = format.find("%s", pos);
    if (mark == std::string_view::npos || arg == args.end()) {
      result.append(format.substr(pos));
      break;
    }
    result.append(format.substr(pos, mark - pos));
    result.append(*arg++);
    pos = mark + 2;
  }
  return result;
}

}  // namespace resstr
