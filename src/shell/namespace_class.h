// What of a user's namespace class may reach the machine's class roots, and how it is
// written there.
//
// A shell namespace folder for a sync root needs little: its display name, an icon, the
// shell's own folder implementation (shell32.dll hosting the file-system folder class) with
// its property bag, and a few shell-folder flags. Everything else a user may put in their
// class (LocalServer32, TreatAs, AppID, Elevation, a DLL of their own, ...) would become a
// machine-wide COM class that elevated and LocalSystem processes load, so it is never read.
// The user's keys are opened one name at a time with the open-link option, and a registry
// link anywhere in them refuses the whole class: a link would let the user make the service
// read (and copy) keys that are not theirs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/native_handle.h"
#include "platform/registry.h"

namespace vovu {

// Longest text value taken from a user's class, in characters without the NUL.
inline constexpr std::size_t kMaxClassTextLength = 1024;
// Most values taken from a property bag.
inline constexpr std::size_t kMaxPropertyBagValues = 16;
// The shell's file-system folder class, the only Instance class a mirror may name.
inline constexpr char16_t kFileSystemFolderClsid[] = u"{0E5AAE11-A475-4c5b-AB00-C66DE400274E}";

struct ClassValue {
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// A key of the class as it is to be written: its values and its subkeys by name.
struct ClassKey {
  std::vector<ClassValue> values;
  std::map<std::u16string, ClassKey> subkeys;
};

// Opens parent\<path> one name at a time with the open-link option and KEY_READ, in the
// 64-bit view. `*key` stays invalid (and the result is true) when a key is missing; false
// with "registry link refused in NamespaceCLSID source: <path so far>" when one of them is
// a link (a key holding a value named SymbolicLinkValue, whatever its type).
[[nodiscard]] bool OpenKeyWithoutLinks(platform::NativeHandle parent, const std::u16string& path,
                                       platform::RegistryKey* key, std::u16string* error);

// True when `text` names the system's shell32.dll: "shell32.dll" (a known DLL, always loaded
// from the system folder), or "%SystemRoot%\System32\shell32.dll" or
// "%windir%\System32\shell32.dll" as REG_EXPAND_SZ, or the service's own
// <SystemRoot>\System32\shell32.dll, ignoring ASCII case.
[[nodiscard]] bool NamesSystemShell32(std::uint32_t type, const std::u16string& text);

// Reads the parts of the class `source` that a namespace folder needs (see the file's
// comment); each value is taken only when it has the expected type and, for text, at most
// kMaxClassTextLength characters without an embedded NUL; anything else is left out. The
// InProcServer32 subkey is taken only when its default value names the system's shell32.dll,
// and then gets ThreadingModel "Both"; Instance only when its CLSID is the file-system folder
// class. False only for a link (OpenKeyWithoutLinks's message).
[[nodiscard]] bool ReadNamespaceClass(platform::NativeHandle source, ClassKey* out,
                                      std::u16string* error);

// Makes `destination` hold exactly `wanted`: writes its values and subkeys, then deletes
// every value and subkey of the destination that `wanted` does not name (what an earlier
// mirror wrote and the source no longer has). Failures, after which what was written stays:
// "RegSetValueExW failed while copying CLSID tree", "RegCreateKeyExW failed while copying
// CLSID tree", "RegDeleteValueW failed while copying CLSID tree", "RegDeleteTreeW failed
// while copying CLSID tree".
[[nodiscard]] bool WriteClassExactly(platform::NativeHandle destination, const ClassKey& wanted,
                                     std::u16string* error);

}  // namespace vovu
