#pragma once
// The smart card service's configuration and state as the service manager
// reports them. On Linux the service is pcscd: systemd answers for it when
// the system bus does, otherwise a connection attempt on pcscd's socket tells
// whether it runs.

#include <cstdint>
#include <string>

namespace velkaro {

enum class ServiceStartType {
  kUnknown,    // no service manager to ask
  kAutomatic,  // enabled service or socket: started at boot or on demand
  kManual,     // disabled, static or indirect: started by hand
  kDisabled,   // masked: cannot be started
};

enum class ServiceRunState {
  kUnknown,   // the service manager did not answer
  kStopped,
  kRunning,   // active, or its socket listens for clients
  kPending,   // activating or deactivating
};

struct SmartCardServiceStatus {
  bool installed = false;  // a unit or the pcscd program exists
  ServiceStartType startType = ServiceStartType::kUnknown;
  ServiceRunState runState = ServiceRunState::kUnknown;
};

// Windows service states (dwCurrentState).
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_PAUSED = 7;

class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  // The current state of a service by its Windows name; false when the
  // service manager cannot be asked or does not know the service.
  virtual bool QueryServiceState(const std::string& name, std::uint32_t& state) = 0;
  // pcscd's configuration and state. `pcscdAnswered`: the caller's own PC/SC
  // context has just had an answer, so pcscd runs and its socket need not
  // be probed (each probe is a connection pcscd makes a thread for).
  virtual SmartCardServiceStatus QuerySmartCardService(bool pcscdAnswered) = 0;
  // The Windows directory, for the checks of the Windows 95 family; empty
  // where there is none.
  virtual std::string WindowsDirectory() = 0;
};

// pcscd's socket: PCSCLITE_CSOCK_NAME, or /run/pcscd/pcscd.comm.
std::string PcscdSocketPath();
// Whether something accepts connections on that socket.
bool PcscdSocketAccepts();

// Asks only the socket and the file system, no service manager. The
// program installs a systemd-aware implementation at start.
class SocketProbeServiceControl : public IServiceControl {
 public:
  bool QueryServiceState(const std::string& name, std::uint32_t& state) override;
  SmartCardServiceStatus QuerySmartCardService(bool pcscdAnswered) override;
  std::string WindowsDirectory() override { return {}; }
};

// What systemd says of one unit.
struct SystemdUnitFacts {
  bool exists = false;
  std::string fileState;    // enabled, enabled-runtime, disabled, static, indirect, masked, ...
  std::string activeState;  // active, inactive, activating, deactivating, failed, or empty
};
// pcscd's status from its service and socket units: an enabled unit starts
// automatically (the socket starts pcscd on demand); disabled, static or
// indirect ones are started by hand; a masked service cannot start. It runs
// when the service is active or the socket listens.
SmartCardServiceStatus StatusFromSystemdUnits(const SystemdUnitFacts& service, const SystemdUnitFacts& socket);

IServiceControl& ServiceControl();
void InstallServiceControl(IServiceControl* service);

}  // namespace velkaro
