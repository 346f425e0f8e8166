#include "platform/uevent_monitor.h"

#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace velkaro {

namespace {

// The kernel's own multicast group; udev re-sends on group 2 in its binary form.
constexpr unsigned kKernelGroup = 1;

bool IsAction(std::string_view action) {
  return action == "add" || action == "remove" || action == "bind" || action == "unbind";
}

}  // namespace

bool IsUsbDeviceChange(std::string_view message) {
  if (message.empty() || message.size() > kMaxUeventSize || message.back() != '\0') return false;
  if (message.starts_with(std::string_view("libudev\0", 8))) return false;
  std::string_view rest = message;
  auto nextField = [&rest] {
    const std::size_t end = rest.find('\0');
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end + 1);  // every field ends in a NUL: checked above
    return field;
  };
  const std::string_view header = nextField();
  const std::size_t at = header.find('@');
  if (at == std::string_view::npos || at + 1 == header.size()) return false;
  const std::string_view headerAction = header.substr(0, at);
  std::optional<std::string_view> action, subsystem, devtype;
  while (!rest.empty()) {
    const std::string_view field = nextField();
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view key = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    std::optional<std::string_view>* slot = key == "ACTION"      ? &action
                                            : key == "SUBSYSTEM" ? &subsystem
                                            : key == "DEVTYPE"   ? &devtype
                                                                 : nullptr;
    if (!slot) continue;
    if (*slot) return false;  // a key twice: not the kernel's
    *slot = value;
  }
  return action && *action == headerAction && IsAction(*action) && subsystem == "usb" && devtype == "usb_device";
}

std::optional<UeventMonitor> UeventMonitor::Open() {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
  if (fd.Get() < 0) return std::nullopt;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelGroup;
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return std::nullopt;
  return UeventMonitor(std::move(fd));
}

bool UeventMonitor::DrainUsbChanges() {
  bool changed = false;
  // One byte more than the bound: a message that fills it was cut short.
  std::array<char, kMaxUeventSize + 1> buffer;
  for (;;) {
    sockaddr_nl sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t got = ::recvfrom(m_fd.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      // EAGAIN: drained. ENOBUFS: messages were lost; the list may have changed.
      if (errno == ENOBUFS) {
        changed = true;
        continue;
      }
      return changed;
    }
    if (got == 0) return changed;  // a stream peer that closed (tests)
    // Only the kernel (port 0) speaks on its group; a process could forge the
    // rest. A socketpair in tests has no netlink sender.
    if (senderSize >= sizeof sender && sender.nl_family == AF_NETLINK && sender.nl_pid != 0) continue;
    if (static_cast<std::size_t>(got) > kMaxUeventSize) continue;
    changed = IsUsbDeviceChange(std::string_view(buffer.data(), static_cast<std::size_t>(got))) || changed;
  }
}

}  // namespace velkaro
