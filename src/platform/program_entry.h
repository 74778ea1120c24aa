// The program's entry, called by the platform's own main function (wmain on Windows, main on
// the host) with the whole argument vector as UTF-16 text, program name first. Its result is
// the process exit code. The entry files are linked only into the service executable.
#pragma once

#include <string>
#include <vector>

namespace vovu {

[[nodiscard]] int ProgramMain(const std::vector<std::u16string>& args);

}  // namespace vovu
