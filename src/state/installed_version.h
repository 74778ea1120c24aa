// The protected record of the installed application version, installed-version.json in the
// hot-update directory. Its baseline is the product version of Korvadesk.exe; its current
// version is where confirmed hot updates have brought the application, never below the
// baseline. Written only through WriteFileAtomic, in one fixed layout.
#pragma once

#include <string>

namespace vovu {

// installed-version.json in the hot-update directory.
[[nodiscard]] std::u16string InstalledVersionStatePath();

// The product version of Korvadesk.exe beside this executable as "a.b.c" (the fourth number
// is ignored). Failures: "cannot read Korvadesk.exe version size: ...", "cannot read
// Korvadesk.exe version: ...", "Korvadesk.exe has no valid fixed product version",
// "Korvadesk.exe product version is not semantic: <text>".
[[nodiscard]] bool ReadDesktopAppVersion(std::u16string* version, std::u16string* error);

// The file's exact text for the two versions at `updatedAtMs` (milliseconds since 1601).
[[nodiscard]] std::u16string FormatInstalledVersionState(const std::u16string& baseline,
                                                         const std::u16string& current,
                                                         long long updatedAtMs);

// Ensures the protected directories, then writes the record atomically with the current
// time. Versions are not checked here. Failure: the directories' message, or "cannot persist
// protected installed version state: " + the error text.
[[nodiscard]] bool WriteInstalledVersionState(const std::u16string& baseline,
                                              const std::u16string& current, std::u16string* error);

// Reads the record: false when it cannot be read or parsed, when either version is not
// semantic or when current is below baseline. Both outputs are filled whenever it parses.
[[nodiscard]] bool ReadInstalledVersionState(std::u16string* baseline, std::u16string* current);

// The installed version every hot-update decision compares against: the stored current
// version when the record is valid and its baseline equals Korvadesk.exe's version; else
// (and always when `reset`) the record is rewritten with that version as both and it is the
// result.
[[nodiscard]] bool LoadInstalledVersion(std::u16string* version, std::u16string* error, bool reset);

// Records a confirmed version: it must parse and not be below the executable's version,
// else "invalid confirmed hot-update version: <version>" and the file is left alone.
[[nodiscard]] bool RecordConfirmedVersion(const std::u16string& version, std::u16string* error);

}  // namespace vovu
