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

// The configuration round trip.
inline constexpr char SReceivingConfig[] = "re\xE7ois la configuration de %s...";
inline constexpr char SSendingConfig[] = "envoie la configuration \xE0 %s...";
inline constexpr char SChangingConfig[] = "Changing service configuration...";
inline constexpr char SAskStartService[] =
    "Service n'est pas travailler.\rVulez vous demarrer maintenant?";

// The parameters dialog.
inline constexpr char SConfigDlgCaption[] = "Alert Service parameters";
inline constexpr char SBtnOk[] = "OK";
inline constexpr char SBtnCancel[] = "Annuler";
inline constexpr char STsGeneral[] = "General";
inline constexpr char SLabDatabases[] =
    "Bases de donn\xE9"
    "es sont v\xE9rifi\xE9"
    "es par Alert Service";
inline constexpr char SBtnCheckOptions[] = "Modes de la v\xE9rification";
inline constexpr char SLabCheckTime[] = "Check state of the  data files at";
inline constexpr char SEdExactTimesHint[] =
    "Liste des valeurs de temps, s\xE9par\xE9"
    "es par un espace, par exemple \"10:30 18:00\"";
inline constexpr char SCbLogDetailed[] = "Detailed event log";
inline constexpr char STsAlarms[] = "Notifications sur les alarmes";
inline constexpr char SGbMail[] = "Notifications sur les alarmes";
inline constexpr char SCbUseEmail[] = "Notify user about alarms by e-mail";
inline constexpr char SLabAlarmMailAddr[] = "Envoyer e-mail vers";
inline constexpr char SLabAlarmMessage[] = "Message de alarme";
inline constexpr char SBtnTest[] = "Test email";
inline constexpr char SCbAlarmMailDefault[] = "Default mail system parameters";
inline constexpr char SLabSmtpHost[] = "Outgoing mail (SMTP) ";
inline constexpr char SLabPort[] = "Port";
inline constexpr char SLabPop3Host[] = "Incoming mail (POP3)";
inline constexpr char SLabAlarmMailUser[] = "Login (usually email)";
inline constexpr char SLabAlarmMailPassword[] = "Password";
inline constexpr char SCbMaskPsw[] = "Mask password";
inline constexpr char SDefaultSmtpPort[] = "25";
inline constexpr char SDefaultPop3Port[] = "110";
inline constexpr char STestMailTitle[] = "CORVANTE Alert Service";
inline constexpr char STestMailText[] = "Ce message est un test de communication.";
inline constexpr char STestMailSubject[] = "Message de alarme du Alert Service";
inline constexpr char STestMailSent[] = "E-mail: was sent to %s successfully.";
inline constexpr char STestMailFailed[] = "E-mail: failed to send to %s\r\n%s";

// The excluded-days dialog.
inline constexpr char SCheckOptionsCaption[] = "Modes de la v\xE9rification";
inline constexpr char SLabDatabase[] =
    "Base de donn\xE9"
    "es";
inline constexpr char SGbDays[] = "Days to be excluded from check";
inline constexpr char SCbMonday[] = "Mondays";
inline constexpr char SCbTuesday[] = "Tuesdays";
inline constexpr char SCbWednesday[] = "Wednesdays";
inline constexpr char SCbThursday[] = "Thursdays";
inline constexpr char SCbFriday[] = "Fridays";
inline constexpr char SCbSaturday[] = "Saturdays";
inline constexpr char SCbSunday[] = "Sundays";

// The PC-switch dialog.
inline constexpr char SSelectPcCaption[] = "Commut\xE9 pour un autre PC";
inline constexpr char SLabPrompt[] =
    "Tapez le nom du PC ou choisissez PC parmi la liste.\r"
    "Laissez le nom non rempli si vous voulez choisir votre PC";

}  // namespace cfgstr
