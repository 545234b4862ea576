// The texts of the control program, in Windows-1252 as the program keeps its
// text; the Qt view converts each once when it shows it. Accented letters are
// written as byte escapes (a hex escape followed by a hex letter is split into
// two literals). Format fills each "%s" in turn.
#pragma once

#include "service/alr_resstr.h"  // Format, shared with the service

namespace cfgstr {
using resstr::Format;
}  // namespace cfgstr

namespace cfgstr {

inline constexpr char SAppTitle[] = "Alarm Service Statistics & Status";
inline constexpr char SWindowCaption[] = "CORVANTE Alert Service";
inline constexpr char SLabPc[] = "The program works with Alert Service running on";
inline constexpr char SBtnPc[] = "Sur un autre PC";
inline constexpr char SBtnPcHint[] = "Choisissez l'ordinateur o\xF9 le service travaille";
inline constexpr char STsActivity[] = "Service activity";
inline constexpr char SLabNextCheckTime[] =
    "Suivant v\xE9rification des donn\xE9"
    "es";
inline constexpr char SLabLastReportTime[] = "Dernier rapport est g\xE9n\xE9r\xE9 \xE0";
inline constexpr char SLabLastEvtTime[] = "Dernier \xE9v\xE8nement";
inline constexpr char SLabLastErrTime[] = "Derni\xE8re erreur";
inline constexpr char STsStatistics[] = "Statistique";
inline constexpr char SLabVersion[] = "Version du Service:";
inline constexpr char SLabStartedAt[] = "D\xE9marrage a:";
inline constexpr char SLabConns[] = "Connections avec succ\xE8s:";
inline constexpr char SLabConErrors[] = "Connections avec erreur:";
inline constexpr char SLabReq[] = "Demandes received:";
inline constexpr char SLabReqBytes[] = "Bytes received:";
inline constexpr char SLabAns[] = "R\xE9ponses sent:";
inline constexpr char SLabAnsBytes[] = "Bytes sent:";
inline constexpr char SLabWriteErr[] = "Write errors:";
inline constexpr char SBtnConfigure[] = "Configurer le service";
inline constexpr char SBtnConfigureHint[] = "Change Gathrel parameters on specified PC";
inline constexpr char SBtnSrvStart[] = "D\xE9marrer le service";
inline constexpr char SBtnSrvStartHint[] = "D\xE9marrer Gathrel Service sur PC indiqu\xE9";
inline constexpr char SBtnSrvStop[] = "Arr\xEAter le service";
inline constexpr char SBtnSrvStopHint[] = "Arr\xEAter Gathrel Service sur PC indiqu\xE9";
inline constexpr char SBtnClose[] = "Fermer";
inline constexpr char SPanelService[] = "Service";
inline constexpr char SPanelBusy[] = "Busy";
inline constexpr char SThisPc[] = "cet PC";

inline constexpr char SServiceStopped[] = "Service stopped";
inline constexpr char SServiceStarting[] = "Service starting...";
inline constexpr char SServiceStopping[] = "Service stopping...";
inline constexpr char SServiceRunning[] = "Service is running";
inline constexpr char SServiceResuming[] = "Service resuming...";
inline constexpr char SServicePausing[] = "Service pausing...";
inline constexpr char SServicePaused[] = "Service paused";
inline constexpr char SServiceStateUnknown[] = "Service state unknown";

inline constexpr char SHours[] = "h";
inline constexpr char SMinutes[] = "m";
inline constexpr char SSeconds[] = "s";
inline constexpr char SCheckRunning[] = "en cours";
inline constexpr char SNoNextCheck[] =
    "non d\xE9"
    "fini";
inline constexpr char SNextCheckIn[] = "%s (en %s)";
inline constexpr char SNoReportYet[] = "pas encore g\xE9n\xE9r\xE9";
inline constexpr char SScmError[] = "Service Control Manager erreur sur %s: ";
inline constexpr char SServiceAccessError[] = "acc\xE8s au service est absent sur %s: ";

inline constexpr char SRunningAlready[] = "The service is running already on ";
inline constexpr char SStoppedAlready[] = "The service is stopped already on ";
inline constexpr char SFailedToStart[] = "Failed to start service";
inline constexpr char SFailedToStop[] = "Failed to stop service";
inline constexpr char SOSError[] = "System Error.  Code: %s.\r\n%s";
inline constexpr char SUnkOSError[] = "A call to an OS function failed";

inline constexpr char SLengthError[] = "Length error";
inline constexpr char SWrongQuittance[] = "Wrong quittance from Brevast Service";
inline constexpr char SConfigNotRead[] = "Brevast Service could not read its settings file";
inline constexpr char SConfigEmpty[] = "Brevast Service sent an empty settings file";
inline constexpr char SConfigNotWritten[] = "Brevast Service could not write its settings file";
inline constexpr char SFCreateError[] = "Cannot create file \"%s\". %s";
inline constexpr char SFOpenError[] = "Cannot open file \"%s\". %s";
inline constexpr char SLocalCopyTooLarge[] =
    "The file \"%s\" holds %s bytes; at most %s bytes can be sent to the service";

}  // namespace cfgstr
