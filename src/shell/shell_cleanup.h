// Removing all of the product's shell registration from HKLM: the handler classes, the
// product's sync roots, the shell namespace entries that point at them, and the mirrored
// namespace classes with their index.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/native_handle.h"

namespace vovu {

// True when a REG_SZ or REG_EXPAND_SZ value of `key` or of any key below it (opened in
// `view`; keys that cannot be opened are skipped) contains "KorvaStorageProvider!",
// letter case included.
[[nodiscard]] bool KeyTreeMentionsProvider(platform::NativeHandle key, std::uint32_t view);

// Deletes, in `view`, every SyncRootManager subkey whose name starts with
// "KorvaStorageProvider!" (letter case included). Failures are ignored.
void RemoveKorvaSyncRoots(std::uint32_t view);

// The value names of the mirror index; a shorter or empty list when it cannot be read.
[[nodiscard]] std::vector<std::u16string> ListMirroredClsids();

// Deletes HKLM\SOFTWARE\Classes\CLSID\<clsid> and its WOW6432Node twin (64-bit view).
// Absent keys and unopenable roots are fine; each other failure adds "RegDeleteTreeW failed
// for <root>\<clsid>: error=<status>" (joined by "; ") and makes the result false.
[[nodiscard]] bool DeleteMirroredClsid(const std::u16string& clsid, std::u16string* error);

// Deletes every indexed mirror whose CLSID no product sync root (in either view) still
// names, with its index value. Always true; the failures of DeleteMirroredClsid are joined
// into `*error` by "; ".
bool RemoveUnusedMirroredClsids(std::u16string* error);

// The "cleanup" command. Unregisters the handler classes, then in each view (64-bit first)
// removes the product's sync roots and the MyComputer and Desktop namespace entries that
// mention the provider, then the unused mirrored classes and the index key. The result is
// the class unregistration's: when it failed, `*error` holds its messages followed by
// those of the mirror removal ("; " between them); when it succeeded, `*error` is left
// alone whatever happened later.
[[nodiscard]] bool CleanupShellRegistration(std::u16string* error);

}  // namespace vovu
