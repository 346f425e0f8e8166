#pragma once
// Is the smart card service installed, configured and running? One status
// code answers, judged by the rules of the running operating system.

#include <cstdint>
#include <string>

#include "platform/service_state.h"

using RmStatus = std::uint32_t;

inline constexpr RmStatus RMS_RUNNING = 0;
inline constexpr RmStatus RMS_UNKNOWN_OS = 0x80008000;
inline constexpr RmStatus RMS_GENERAL_ERROR = 0x80008001;
inline constexpr RmStatus RMS_DISABLED = 0x80008100;
inline constexpr RmStatus RMS_MANUAL = 0x80008101;
inline constexpr RmStatus RMS_OBJECTNAME_INVALID = 0x80008102;
inline constexpr RmStatus RMS_WRONG_BASE_COMPONENTS = 0x80008103;
inline constexpr RmStatus RMS_OLD_SMCLIB = 0x80008104;
inline constexpr RmStatus RMS_NOT_INSTALLED = 0x80008105;
inline constexpr RmStatus RMS_STOPPED = 0x80008106;
// pcscd takes connections but does not answer (stopped, hung): a state the
// service manager does not know, shown with the text for an unknown state.
inline constexpr RmStatus RMS_NOT_ANSWERING = 0x80008200;

// The text for a status code that has none of its own (132).
inline constexpr char kRmStateUnknownText[] = "State of Resource Manager unknown !";

// The General page's text for a status code.
const char* ResourceManagerStatusText(RmStatus status);

// Runs the check for the running system. Uses the version record, the
// settings store and the service control of the platform layer. What it
// keeps between calls (the OS code, the service pack) is kept per thread.
// `pcscd` as IServiceControl::QuerySmartCardService has it.
RmStatus CheckResourceManager(velkaro::PcscdReply pcscd);
// true: pcscd has just answered the caller; false: the caller did not ask.
RmStatus CheckResourceManager(bool pcscdAnswered = false);

// The service-pack text of this thread's last check (NT family only).
const std::string& CheckedServicePack();
