#pragma once
// How long the log waits for each call that pcscd, a reader driver or the
// service manager may never answer. The log makes at most two such waits in
// a row (the service check, then one pcsc-lite call: after a miss it makes no
// more), so with pcscd stopped it ends well within 20 s.

#include <chrono>

namespace logdeadline {

using std::chrono::milliseconds;

inline constexpr milliseconds kServiceCheck{4000};  // socket probe and systemd's bus
inline constexpr milliseconds kReaderList{4000};    // SCardEstablishContext and SCardListReaders
inline constexpr milliseconds kReaderInfo{4000};    // a direct connection and two control codes
inline constexpr milliseconds kRegisterRead{5000};  // a direct connection and every antenna's registers
inline constexpr milliseconds kCardStates{4000};    // a context and one SCardGetStatusChange with time-out 0

}  // namespace logdeadline
