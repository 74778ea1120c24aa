#include "tool_common.h"

namespace vovu::tools {

// The tools work on the real machine; there is no machine root to name.
void NoteMachineRoot(std::string_view) {}

}  // namespace vovu::tools
