// The emulated machine's hosts file, C:\Windows\System32\drivers\etc\hosts, consulted before
// the system's resolver, as Windows consults its own. Host-only.
#pragma once

#include <string>

namespace vovu::platform::host {

inline constexpr char16_t kHostsFilePath[] = u"C:\\Windows\\System32\\drivers\\etc\\hosts";

// The address the machine's hosts file gives `name`: the first line ("ADDRESS NAME
// [ALIASES]", "#" starting a comment) whose names include it, ignoring ASCII case, with a
// valid IPv4 or IPv6 address. False when the file is missing or has no such line.
[[nodiscard]] bool LookUpHostsFile(const std::string& name, std::string* address);

}  // namespace vovu::platform::host
