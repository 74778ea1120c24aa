// Host: the host's /bin/sh, through drive Z:.
#include "support/shell_command.h"

namespace vovu::testing {

ShellCommand ListedThenExit3() {
  return {u"Z:\\bin\\sh -c \"echo listed; exit 3\"", "listed\n"};
}

ShellCommand TypesFileThenErr(const std::u16string& path) {
  return {u"Z:\\bin\\sh -c \"cat \\\"$0\\\"; echo err >&2\" " + path, "err\n"};
}

}  // namespace vovu::testing
