// The helper's four shell-handler classes, registered as COM local servers under
// HKLM\SOFTWARE\Classes\CLSID in both registry views.
//
// For each class and view: the class key's default value is "KorvaCF Cloud Files Handler"
// and its LocalServer32 default value is the quoted path of korvaCF.exe in the installation
// directory followed by " -Embedding". Nothing else is written. A failure leaves whatever
// was already written in place.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace vovu {

// The handler classes in their fixed order: copy hook, context-menu verb, custom state,
// status-UI source factory. The letter case is the one written to the registry.
inline constexpr std::array<const char16_t*, 4> kHandlerClsids = {
    u"{7D21C4A9-5E0B-4F83-9A16-2B8E41C7D319}",
    u"{4e9a0b52-c7d3-4a18-b6f0-93d25e7c4a11}",
    u"{a83f61d7-2b94-4c05-8e7a-d1c0f94e2b12}",
    u"{c5d2e980-3f17-4b6a-a4d9-6e0b17c83a14}",
};

// The views the classes live in, in the order they are visited: 64-bit, then 32-bit.
inline constexpr std::array<std::uint32_t, 2> kClassViews = {platform::kKeyWow64_64Key,
                                                             platform::kKeyWow64_32Key};

// The LocalServer32 command line: `"<install dir>\korvaCF.exe" -Embedding`.
[[nodiscard]] std::u16string ComServerCommandLine();

// Writes one class in one view (`view` is one of kClassViews). Failures:
// "RegOpenKeyEx Classes\CLSID failed: error=<status>", "RegCreateKeyEx failed for <clsid>:
// error=<status>", "RegSetValueEx failed: error=<status>", "RegCreateKeyEx LocalServer32
// failed for <clsid>: error=<status>".
[[nodiscard]] bool RegisterComServer(const std::u16string& clsid, std::uint32_t view,
                                     std::u16string* error);

// Every class in both views (eight registrations, class by class, 64-bit view first). Keeps
// going after a failure; `*error` collects every failure joined by "; ". True only when all
// eight succeeded. Registering again overwrites the same values.
[[nodiscard]] bool RegisterComServers(std::u16string* error);

// Deletes the class key with everything below it in one view; a class that is not there
// counts as removed. Failures: "RegOpenKeyEx Classes\CLSID failed: error=<status>",
// "RegDeleteTree failed for <clsid>: error=<status>".
[[nodiscard]] bool UnregisterComServer(const std::u16string& clsid, std::uint32_t view,
                                       std::u16string* error);

// The eight-fold walk of RegisterComServers, deleting; the same collection of failures.
[[nodiscard]] bool UnregisterComServers(std::u16string* error);

}  // namespace vovu
