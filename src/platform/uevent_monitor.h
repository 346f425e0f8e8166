#pragma once
// The kernel's announcements of devices coming and going (its uevent
// netlink socket), for a window that follows the USB device list. Reading is
// non-blocking and in-process; nothing here waits. Where the socket cannot
// be had (no permission, a container) the caller gathers on request only.

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/unique_fd.h"

namespace velkaro {

// The largest message read; a longer one is cut short and ignored.
inline constexpr std::size_t kMaxUeventSize = 8192;

// Whether one kernel uevent message ("ACTION@DEVPATH\0KEY=VALUE\0...") tells
// of a USB device (not an interface) being added, removed, bound or unbound.
// udev's own messages ("libudev\0" and a binary header) and anything
// malformed or longer than kMaxUeventSize are no change.
bool IsUsbDeviceChange(std::string_view message);

class UeventMonitor {
 public:
  // The kernel's socket, or nothing when it cannot be opened.
  static std::optional<UeventMonitor> Open();
  // Reads datagrams from `fd` as from that socket (tests give a socketpair);
  // the fd must be non-blocking.
  explicit UeventMonitor(UniqueFd fd) : m_fd(std::move(fd)) {}

  int Fd() const { return m_fd.Get(); }
  // Reads every pending message without waiting; whether any was a USB
  // device change.
  bool DrainUsbChanges();

 private:
  UniqueFd m_fd;
};

}  // namespace velkaro
