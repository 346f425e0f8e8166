#pragma once
// The smart card service's configuration and state as the service manager
// reports them. On Linux the service is pcscd: systemd answers for it when
// the system bus does, otherwise a connection attempt on pcscd's socket tells
// whether it runs.

#include <chrono>
#include <cstdint>
#include <memory>
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
  kRunning,   // active, or its socket listens for clients, or pcscd answers
  kPending,   // activating or deactivating
  kNotAnswering,  // pcscd takes connections but does not answer (stopped, hung)
};

// What the caller's own PC/SC call found out about pcscd, if it made one.
enum class PcscdReply {
  kNotAsked,  // no call made: the socket is probed where the answer matters
  kAnswered,  // pcscd answered within the caller's deadline
  kNoAnswer,  // the call did not come back in time
  kRefused,   // the call failed at once: nothing serves the socket
};

// How long the socket probe waits for pcscd's answer.
inline constexpr std::chrono::milliseconds kPcscdProbeTimeout{500};

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
  // pcscd's configuration and state. `reply`: what the caller's own PC/SC
  // call has just seen, which then needs no probe of the socket (each probe
  // is a connection pcscd makes a thread for). An answer means pcscd runs,
  // whatever the service manager says: it may have been started by hand.
  virtual SmartCardServiceStatus QuerySmartCardService(PcscdReply reply) = 0;
  // true: pcscd answered the caller; false: the caller did not ask it.
  SmartCardServiceStatus QuerySmartCardService(bool pcscdAnswered) {
    return QuerySmartCardService(pcscdAnswered ? PcscdReply::kAnswered : PcscdReply::kNotAsked);
  }
  // The Windows directory, for the checks of the Windows 95 family; empty
  // where there is none.
  virtual std::string WindowsDirectory() = 0;
};

// pcscd's socket: PCSCLITE_CSOCK_NAME, or /run/pcscd/pcscd.comm.
std::string PcscdSocketPath();
// Whether pcscd answers on that socket: a connection alone is not enough, a
// stopped pcscd's listen queue still takes it. The probe sends the version
// message every client opens with and waits up to `timeout` for the reply.
PcscdReply ProbePcscdSocket(std::chrono::milliseconds timeout = kPcscdProbeTimeout);

// Asks only the socket and the file system, no service manager. The
// program installs a systemd-aware implementation at start.
class SocketProbeServiceControl : public IServiceControl {
 public:
  using IServiceControl::QuerySmartCardService;
  bool QueryServiceState(const std::string& name, std::uint32_t& state) override;
  SmartCardServiceStatus QuerySmartCardService(PcscdReply reply) override;
  std::string WindowsDirectory() override { return {}; }
};

// What systemd says of one unit.
struct SystemdUnitFacts {
  bool exists = false;
  std::string fileState;    // enabled, enabled-runtime, disabled, static, indirect, masked, masked-runtime, ...
  std::string activeState;  // active, reloading, inactive, activating, deactivating, failed, or empty
};
// pcscd's status from its service and socket units: an enabled unit starts
// automatically (the socket starts pcscd on demand); disabled, static or
// indirect ones are started by hand; a masked service cannot start. It runs
// when the service is active or the socket listens. pcscd's own reply, where
// there is one, decides whether it runs (a pcscd started by hand while the
// units are stopped runs all the same); the start type stays the units'.
SmartCardServiceStatus StatusFromSystemdUnits(const SystemdUnitFacts& service, const SystemdUnitFacts& socket,
                                              PcscdReply reply = PcscdReply::kNotAsked);

// The installed service control. A thread that may still run when the
// installer replaces it holds the shared one for the length of its call.
IServiceControl& ServiceControl();
std::shared_ptr<IServiceControl> SharedServiceControl();
// Installs a service its owner keeps alive while it is installed, or the
// socket probe for null.
void InstallServiceControl(IServiceControl* service);
// Installs a service that lives as long as anyone still uses it.
void InstallSharedServiceControl(std::shared_ptr<IServiceControl> service);

}  // namespace velkaro
