#include "platform/service_state.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/system_files.h"
#include "platform/unique_fd.h"

namespace velkaro {
namespace {

// pcsc-lite's first message on a new connection: its header (body size,
// command 0x11 "version") and the client's protocol version 4.4 with a zero
// result. pcscd answers it with its own version, whatever the client's is.
constexpr std::uint32_t kVersionMessage[] = {12, 0x11, 4, 4, 0};

bool IsMasked(const SystemdUnitFacts& unit) {
  return unit.exists && (unit.fileState == "masked" || unit.fileState == "masked-runtime");
}

bool IsActive(const SystemdUnitFacts& unit) {
  return unit.activeState == "active" || unit.activeState == "reloading";
}

}  // namespace

std::string PcscdSocketPath() {
  const char* path = std::getenv("PCSCLITE_CSOCK_NAME");
  return path && *path ? path : "/run/pcscd/pcscd.comm";
}

PcscdReply ProbePcscdSocket(std::chrono::milliseconds timeout) {
  const std::string path = PcscdSocketPath();
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return PcscdReply::kRefused;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) return PcscdReply::kRefused;
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // A full listen queue: something is there, but it does not take clients.
    return errno == EAGAIN ? PcscdReply::kNoAnswer : PcscdReply::kRefused;
  }
  if (::send(fd.Get(), kVersionMessage, sizeof kVersionMessage, MSG_NOSIGNAL) != sizeof kVersionMessage) {
    return PcscdReply::kNoAnswer;
  }
  pollfd wait{fd.Get(), POLLIN, 0};
  const int ready = ::poll(&wait, 1, static_cast<int>(timeout.count()));
  char reply[sizeof kVersionMessage];
  // A connection closed without a word is no answer either.
  if (ready == 1 && ::recv(fd.Get(), reply, sizeof reply, MSG_DONTWAIT) > 0) return PcscdReply::kAnswered;
  return PcscdReply::kNoAnswer;
}

bool SocketProbeServiceControl::QueryServiceState(const std::string&, std::uint32_t&) { return false; }

SmartCardServiceStatus SocketProbeServiceControl::QuerySmartCardService(PcscdReply reply) {
  if (reply == PcscdReply::kNotAsked) reply = ProbePcscdSocket();
  SmartCardServiceStatus status;
  switch (reply) {
    case PcscdReply::kAnswered: status.runState = ServiceRunState::kRunning; break;
    case PcscdReply::kNoAnswer: status.runState = ServiceRunState::kNotAnswering; break;
    default: status.runState = ServiceRunState::kStopped; break;
  }
  struct stat st {};
  const std::string root = SystemRoot();
  status.installed = status.runState != ServiceRunState::kStopped ||
                     ::stat((root + "/usr/sbin/pcscd").c_str(), &st) == 0 ||
                     ::stat((root + "/sbin/pcscd").c_str(), &st) == 0;
  return status;
}

SmartCardServiceStatus StatusFromSystemdUnits(const SystemdUnitFacts& service, const SystemdUnitFacts& socket,
                                              PcscdReply reply) {
  SmartCardServiceStatus status;
  const bool units = service.exists || socket.exists;
  // Something that takes connections on pcscd's socket is a pcscd, units or not.
  status.installed = units || reply == PcscdReply::kAnswered || reply == PcscdReply::kNoAnswer;
  if (!status.installed) return status;

  const auto enabled = [](const SystemdUnitFacts& unit) {
    return unit.exists && (unit.fileState == "enabled" || unit.fileState == "enabled-runtime");
  };
  if (!units) {
    status.startType = ServiceStartType::kUnknown;
  } else if (IsMasked(service) || (!service.exists && IsMasked(socket))) {
    status.startType = ServiceStartType::kDisabled;
  } else if (enabled(service) || enabled(socket)) {
    status.startType = ServiceStartType::kAutomatic;
  } else {
    status.startType = ServiceStartType::kManual;
  }

  if (reply == PcscdReply::kAnswered) {
    status.runState = ServiceRunState::kRunning;
  } else if (reply == PcscdReply::kNoAnswer) {
    status.runState = ServiceRunState::kNotAnswering;
  } else if (IsActive(service) || IsActive(socket)) {
    status.runState = ServiceRunState::kRunning;
  } else if (service.activeState == "activating" || service.activeState == "deactivating") {
    status.runState = ServiceRunState::kPending;
  } else if (service.activeState.empty() && socket.activeState.empty()) {
    status.runState = ServiceRunState::kUnknown;
  } else {
    status.runState = ServiceRunState::kStopped;
  }
  return status;
}

namespace {
std::mutex g_serviceLock;
std::shared_ptr<IServiceControl> DefaultService() {
  static const auto probe = std::make_shared<SocketProbeServiceControl>();
  return probe;
}
std::shared_ptr<IServiceControl> g_serviceControl = DefaultService();
}  // namespace

IServiceControl& ServiceControl() { return *SharedServiceControl(); }

std::shared_ptr<IServiceControl> SharedServiceControl() {
  const std::lock_guard lock(g_serviceLock);
  return g_serviceControl;
}

void InstallServiceControl(IServiceControl* service) {
  // The owner keeps it alive: shared without ownership.
  InstallSharedServiceControl(service ? std::shared_ptr<IServiceControl>(service, [](IServiceControl*) {}) : nullptr);
}

void InstallSharedServiceControl(std::shared_ptr<IServiceControl> service) {
  if (!service) service = DefaultService();
  const std::lock_guard lock(g_serviceLock);
  // The old one is released after the lock, when `service` goes.
  g_serviceControl.swap(service);
}

}  // namespace velkaro
