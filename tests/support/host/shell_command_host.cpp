// Host: the host's /bin/sh, through drive Z:.
#include "support/shell_command.h"

namespace vovu::testing {

ShellCommand ListedThenExit3() {
  return {u"Z:\\bin\\sh -c \"echo listed; exit 3\"", "listed\n"};
}

}  // namespace vovu::testing
