// Windows: cmd.exe, whose echo ends its line with CR LF.
#include "support/shell_command.h"

namespace vovu::testing {

ShellCommand ListedThenExit3() {
  return {u"cmd.exe /c \"echo listed& exit 3\"", "listed\r\n"};
}

ShellCommand TypesFileThenErr(const std::u16string& path) {
  return {u"cmd.exe /c \"type \"" + path + u"\"& echo err>&2\"", "err\r\n"};
}

}  // namespace vovu::testing
