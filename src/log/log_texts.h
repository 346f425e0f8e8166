#pragma once
// The diagnostic log's own texts. Support reads them, so they are stable and
// never translated; numbers in comments are the string table's.

namespace logtext {

// The report.
inline constexpr char kGeneralInformation[] = "General Information: ";
inline constexpr char kToolVersion[] = "Diagnostic tool version:   ";
inline constexpr char kRmStatus[] = "Resource Manager Status: ";
inline constexpr char kFiles[] = "Files: ";
inline constexpr char kInstalledApi[] = "Installed API: %s, File: %s (Version: %s)";
inline constexpr char kPresentReader[] =
    "Present reader %i: %s, FW Version = %s, Lib Version = %s, Serial Number = %s";
inline constexpr char kNotAvailable[] = "n/a";
inline constexpr char kOsVersionUnknown[] = "OS Version: n/a";  // the version record could not be read
inline constexpr char kBuildNumber[] = "  BuildNumber: ";
inline constexpr char kUnknownOsVersion[] = "Unknown OS MajorVersion = %d MinorVersion = %d\n";
inline constexpr char kRegistryScanSkipped[] = "Registry scan skipped";
inline constexpr char kNoAdministrator[] = "You do not have administration privileges on this machine";
// After the settings dump: the cards in the report's readers.
inline constexpr char kCards[] = "Cards:";
inline constexpr char kNoCards[] = "none";
inline constexpr char kMuteCard[] = ": no ATR (mute card)";

// The messages.
inline constexpr char kGetVersionFailed[] = "%ld : Call to GetVersionEx failed!!";
inline constexpr char kFileCannotBeCreated[] = "FILE CANNOT BE CREATED";
inline constexpr char kLogCreated[] = "LogFile created successfully";
inline constexpr char kCaptionDiagnosticTool[] = "Diagnostic Tool";
inline constexpr char kErrorScanningRegistry[] = "Error scanning registry";
inline constexpr char kOsUnknown[] = "Can not determinate OS Version";
inline constexpr char kInvalidConfiguration[] = "Invalid ";
inline constexpr char kFileIoError[] = "File-IO error";
inline constexpr char kUnknownError[] = "Unknown Error";
inline constexpr char kErrorCode[] = "\nErrorcode: ";

// The steps under way, for the progress window.
inline constexpr char kStepSystem[] = "Reading the system and the files…";
inline constexpr char kStepService[] = "Asking the smart card service…";
inline constexpr char kStepReaders[] = "Reading the readers…";
inline constexpr char kStepReader[] = "Reading reader %i: %s…";
inline constexpr char kStepSettings[] = "Reading the settings…";
inline constexpr char kStepFinishing[] = "Putting the log in place…";
inline constexpr char kCancelling[] = "Cancelling…";
inline constexpr char kProgressTitle[] = "Create Logfile";
inline constexpr char kNoWorker[] = "The log cannot be written: no thread can be started for it";

// The calls that did not answer in time, one line each.
inline constexpr char kStepNameService[] = "the smart card service check";
inline constexpr char kStepNameReaderList[] = "the reader list";
inline constexpr char kStepNameReaderInfo[] = "the reader information";
inline constexpr char kStepNameRegisters[] = "the RFID register read";
inline constexpr char kStepNameCards[] = "the cards' ATRs";
inline constexpr char kNoAnswer[] = "No answer: %s";
inline constexpr char kNoAnswerForReader[] = "No answer: %s of \"%s\"";
inline constexpr char kNotAsked[] = " (not asked: an earlier call to pcscd had not answered)";
inline constexpr char kUnansweredHeading[] = "Some steps did not answer in time; the log shows them as n/a:";

// The registry dump.
inline constexpr char kDumpHeading[] = "General Information";
inline constexpr char kSeparator[] = "*****************************************************************************";
inline constexpr char kUnableToOpenKey[] = "Unable to open key ";
// In place of the line above when the store itself failed, not the key.
inline constexpr char kStoreFailedAtKey[] = "The settings store failed at key ";
inline constexpr char kAccessDenied[] = "access denied!";
inline constexpr char kUndefinedType[] = "Error ReadValuesFromRegistry - undefined type";
inline constexpr char kValueBufferFailed[] = "realloc szValueData failed!!!";

}  // namespace logtext
