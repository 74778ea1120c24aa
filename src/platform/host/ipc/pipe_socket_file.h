// The socket file of a host pipe instance: moved between its listening and busy names and
// removed only while it is still the file the instance bound, so that nothing else that
// took its name meanwhile is ever touched.
#pragma once

#include <string>

#include "platform/host/ipc/pipe_object.h"

namespace vovu::platform::host {

// Renames the instance's socket file at `from` to `to`; false when `from` is not that file.
bool RenameOwnSocketFile(const PipeObject& pipe, const std::string& from, const std::string& to);

// Removes the instance's socket file at `path`, if it is that file.
void RemoveOwnSocketFile(const PipeObject& pipe, const std::string& path);

}  // namespace vovu::platform::host
