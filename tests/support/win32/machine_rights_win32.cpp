#include "support/machine_rights.h"

namespace vovu::testing {

// The Windows suites run as an administrator (wine's only user is one).
bool CanChangeMachineKeys() {
  return true;
}

}  // namespace vovu::testing
