// The protected directory tree under the program-data folder: only LocalSystem and the
// Administrators group may read or write in it, so nothing a user writes can land there.
#pragma once

#include <string>

namespace vovu {

// "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)": owned by LocalSystem, with a protected DACL
// granting full access to LocalSystem and Administrators, inherited by files and
// subdirectories. The owner matters: an owner may always rewrite the DACL.
inline constexpr char16_t kProtectedDirectorySddl[] = u"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The hot-update directory: "ProgramData" (or C:\ProgramData when unset, empty or too long)
// joined with "VovudIdavUda" and "hotupdate". Never fails, never ends in a separator.
[[nodiscard]] std::u16string GetHotUpdateDir();

// The protected directory above the hot-update directory (its text up to the last
// separator), or empty.
[[nodiscard]] std::u16string GetProtectedRootDir();

// Makes `path` an existing, plain directory owned by LocalSystem and carrying the protected
// DACL, both re-applied on every call. Creates at most the last component. Refuses a file,
// junction or symbolic link in its place (never followed or replaced). A directory that was
// owned by anybody but LocalSystem, Administrators or this process's own user may hold what
// another user put there (ordinary users can create folders in ProgramData): once it is
// locked down, everything in it is removed, links as themselves, never followed
// (docs/pipe-security.md). On failure `error` holds one of: "CreateDirectory failed
// (<path>): ...", "protected hot-update path is not a normal directory: <path>",
// "GetFileSecurity failed (<path>): ...", "security descriptor creation failed: ...",
// "SetFileSecurity failed (<path>): ...". Nothing done before a failure is undone.
[[nodiscard]] bool EnsureProtectedDirectory(const std::u16string& path, std::u16string* error);

// Ensures the protected root and then the hot-update directory, stopping at the first
// failure with its message.
[[nodiscard]] bool EnsureHotUpdateDirectories(std::u16string* error);

// Best-effort removal of a file or a whole directory tree; reports nothing. A link (junction
// or symbolic link) is removed as itself; what it points to is never touched.
void RemoveTree(const std::u16string& path);

}  // namespace vovu
