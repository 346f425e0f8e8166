#include "platform/service_state.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/system_files.h"

namespace velkaro {

std::string PcscdSocketPath() {
  const char* path = std::getenv("PCSCLITE_CSOCK_NAME");
  return path && *path ? path : "/run/pcscd/pcscd.comm";
}

bool PcscdSocketAccepts() {
  const std::string path = PcscdSocketPath();
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

bool SocketProbeServiceControl::QueryServiceState(const std::string&, std::uint32_t&) { return false; }

SmartCardServiceStatus SocketProbeServiceControl::QuerySmartCardService(bool pcscdAnswered) {
  SmartCardServiceStatus status;
  status.runState = pcscdAnswered || PcscdSocketAccepts() ? ServiceRunState::kRunning : ServiceRunState::kStopped;
  struct stat st {};
  const std::string root = SystemRoot();
  status.installed = status.runState == ServiceRunState::kRunning ||
                     ::stat((root + "/usr/sbin/pcscd").c_str(), &st) == 0 ||
                     ::stat((root + "/sbin/pcscd").c_str(), &st) == 0;
  return status;
}

SmartCardServiceStatus StatusFromSystemdUnits(const SystemdUnitFacts& service, const SystemdUnitFacts& socket) {
  SmartCardServiceStatus status;
  status.installed = service.exists || socket.exists;
  if (!status.installed) return status;

  const auto fileState = [](const SystemdUnitFacts& unit, std::string_view state) {
    return unit.exists && unit.fileState == state;
  };
  const auto enabled = [&](const SystemdUnitFacts& unit) {
    return fileState(unit, "enabled") || fileState(unit, "enabled-runtime");
  };
  if (fileState(service, "masked") || (!service.exists && fileState(socket, "masked"))) {
    status.startType = ServiceStartType::kDisabled;
  } else if (enabled(service) || enabled(socket)) {
    status.startType = ServiceStartType::kAutomatic;
  } else {
    status.startType = ServiceStartType::kManual;
  }

  if (service.activeState == "active" || socket.activeState == "active") {
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
SocketProbeServiceControl g_socketProbe;
std::atomic<IServiceControl*> g_serviceControl{&g_socketProbe};
}  // namespace

IServiceControl& ServiceControl() { return *g_serviceControl.load(std::memory_order_acquire); }

void InstallServiceControl(IServiceControl* service) {
  g_serviceControl.store(service ? service : &g_socketProbe, std::memory_order_release);
}

}  // namespace velkaro
