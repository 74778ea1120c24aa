#include <unistd.h>

#include "support/machine_rights.h"

namespace vovu::testing {

bool CanChangeMachineKeys() {
  return geteuid() == 0;
}

}  // namespace vovu::testing
