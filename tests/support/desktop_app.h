// Stand-in desktop applications for tests that read Korvadesk.exe's product version.
#pragma once

#include <string>

namespace vovu::testing {

// The product version every stand-in placed by InstallDesktopApp carries (its fourth
// number is not part of the version the service reads).
inline constexpr char16_t kStandinProductVersion[] = u"2.10.0.999";
inline constexpr char16_t kStandinAppVersion[] = u"2.10.0";

// Places Korvadesk.exe with product version 2.10.0.999 in `directory` and makes the module
// path report `directory`\vovudidavuda.exe, as if the service were installed there.
void InstallDesktopApp(const std::u16string& directory);

// The same, with an executable that has no version resource at all.
void InstallDesktopAppWithoutVersion(const std::u16string& directory);

}  // namespace vovu::testing
