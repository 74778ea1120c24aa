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
// DACL. Creates at most the last component, with that descriptor in the creation call itself
// (never with default security first). An existing entry is opened once without following a
// link and checked, and its descriptor set, through that handle only. An entry owned by
// anybody but LocalSystem, Administrators or this process's own user (ordinary users can
// create folders in ProgramData, and own what they create) is never walked into or reused:
// it is renamed through its handle to "<name>.aside-<16 hex digits>" in the same parent,
// removed there without following any link, and a fresh directory is made
// (docs/pipe-security.md). A file, junction or symbolic link of a trusted owner is refused,
// never followed or replaced. On failure `error` holds one of: "security descriptor
// creation failed: ...", "CreateDirectory failed (<path>): ...", "protected hot-update path
// is not a normal directory: <path>", "GetFileSecurity failed (<path>): ...", "protected
// directory could not be moved aside (<path>): ...", "protected directory keeps being
// replaced: <path>" (another user recreated the name every time), "SetFileSecurity failed
// (<path>): ...". Nothing done before a failure is undone.
[[nodiscard]] bool EnsureProtectedDirectory(const std::u16string& path, std::u16string* error);

// Ensures the protected root and then the hot-update directory, stopping at the first
// failure with its message.
[[nodiscard]] bool EnsureHotUpdateDirectories(std::u16string* error);

// Best-effort removal of a file or a whole directory tree; reports nothing. Each level is
// opened relative to its parent's handle without following a link, so a link (junction or
// symbolic link) is removed as itself at any depth, also when a directory is swapped for a
// link while the removal runs; what a link points to is never touched.
void RemoveTree(const std::u16string& path);

}  // namespace vovu
