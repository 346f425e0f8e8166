#include "scenario/driver_settings.h"

namespace velkaro::sim {

StoredSettings ReadStoredSettings() { return {}; }

}  // namespace velkaro::sim
