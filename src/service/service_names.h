// The service's fixed names and texts. The service has no configuration of its own: these
// are compiled in.
#pragma once

namespace vovu {

inline constexpr char16_t kServiceName[] = u"VovudIdavUda";
inline constexpr char16_t kServiceDisplayName[] = u"Korva Sync Service";
inline constexpr char16_t kServiceDescription[] =
    u"Performs elevated Korva Cloud Files registry work and starts korvaCF for logged-in users.";
inline constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovudIdavUda";

}  // namespace vovu
