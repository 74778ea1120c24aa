// The registry, in the shape of the Win32 registry calls.
//
// Every operation returns the status its Win32 call returns (0 on success, otherwise a Win32
// error code); like those calls it does not touch the thread's last error. A key is named
// by a parent, which is either an open key (RegistryKey::get()) or a predefined root
// (kRegistryLocalMachine, kRegistryUsers), and a subkey path below it ("SOFTWARE\Classes").
//
// Views: a subkey path opened with kKeyWow64_32Key is redirected as on 64-bit Windows;
// kKeyWow64_64Key or neither flag gives the 64-bit (unredirected) view, since the program
// is a 64-bit process. A key opened in a view stays the key it was redirected to; paths
// below it are not redirected a second time.
//
// Windows: RegOpenKeyExW, RegCreateKeyExW, RegSetValueExW, RegQueryValueExW,
// RegQueryInfoKeyW, RegEnumKeyExW, RegEnumValueW, RegDeleteValueW, RegDeleteTreeW.
// Host: a persistent store in the machine root (docs/host-platform.md, "Registry").
#pragma once

#include <cstdint>
#include <string>

#include "platform/native_handle.h"

namespace vovu::platform {

// The predefined roots HKEY_LOCAL_MACHINE and HKEY_USERS (the values Windows gives them).
// They are never closed.
inline constexpr NativeHandle kRegistryLocalMachine = static_cast<std::int32_t>(0x80000002u);
inline constexpr NativeHandle kRegistryUsers = static_cast<std::int32_t>(0x80000003u);

// Access rights, as KEY_* and the standard rights.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyNotify = 0x0010;
inline constexpr std::uint32_t kKeyWow64_64Key = 0x0100;
inline constexpr std::uint32_t kKeyWow64_32Key = 0x0200;
inline constexpr std::uint32_t kKeyDelete = 0x00010000;  // DELETE
inline constexpr std::uint32_t kKeyRead = 0x00020019;    // KEY_READ
inline constexpr std::uint32_t kKeyWrite = 0x00020006;   // KEY_WRITE
inline constexpr std::uint32_t kKeyAllAccess = 0x000F003F;

// Value types, as REG_*.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegLink = 6;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// REG_OPTION_OPEN_LINK: the last key of the path is opened as itself when it is a link.
inline constexpr std::uint32_t kRegOptionOpenLink = 0x0008;
// The value that makes a key a link, and names its target.
inline constexpr char16_t kRegistryLinkValueName[] = u"SymbolicLinkValue";

// Statuses met only here (234, kErrorMoreData, is in error.h).
inline constexpr Win32Error kErrorNoMoreItems = 259;
inline constexpr Win32Error kErrorKeyDeleted = 1018;

struct RegistryKeyTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
// An open key, closed when the owner goes.
using RegistryKey = UniqueHandle<RegistryKeyTraits>;

// Opens parent\subKey (RegOpenKeyExW). An empty subKey opens the parent again. 2 when the
// key does not exist, 5 when `access` asks for more than the caller may have.
[[nodiscard]] Win32Error OpenRegistryKey(NativeHandle parent, const std::u16string& subKey,
                                         std::uint32_t access, RegistryKey* key);

// The same with RegOpenKeyExW's options. Every key of the path that is a registry link is
// followed to its target, as Windows follows it, except the last one when `options` holds
// kRegOptionOpenLink: that one is opened as itself (its kRegistryLinkValueName value can
// then be read). The target of a followed link is not redirected by the view.
[[nodiscard]] Win32Error OpenRegistryKeyWithOptions(NativeHandle parent,
                                                    const std::u16string& subKey,
                                                    std::uint32_t options, std::uint32_t access,
                                                    RegistryKey* key);

// Makes parent\subKey a new registry link to `target`, a native key path
// ("\REGISTRY\MACHINE\SOFTWARE\..." or "\REGISTRY\USER\<SID>\..."): RegCreateKeyExW
// with REG_OPTION_CREATE_LINK and KEY_CREATE_LINK, then the REG_LINK value
// kRegistryLinkValueName holding the target without a NUL. Any user may do this in the keys
// they may change. 183 when the key exists already.
[[nodiscard]] Win32Error CreateRegistryLink(NativeHandle parent, const std::u16string& subKey,
                                            const std::u16string& target);

// Opens parent\subKey, creating it and any missing key above it first (RegCreateKeyExW,
// non-volatile, no class, default security). `*created` (may be null) tells whether the
// key itself was new.
[[nodiscard]] Win32Error CreateRegistryKey(NativeHandle parent, const std::u16string& subKey,
                                           std::uint32_t access, RegistryKey* key, bool* created);

// Writes value `name` ("" is the default value) with `type` and exactly `size` bytes of
// `data` (RegSetValueExW): nothing is added or removed, a string may lack its NUL. (Windows
// counts one more character for a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ that ends without
// a NUL when the memory just past `size` holds one; the host does not.)
[[nodiscard]] Win32Error SetRegistryValue(NativeHandle key, const std::u16string& name,
                                          std::uint32_t type, const void* data, std::uint32_t size);

// Reads value `name` (RegQueryValueExW). `type` may be null. With `data` null, `*size`
// becomes the value's size. With `data`, `*size` is the buffer's size on entry and the
// value's size on return; when the buffer is smaller the result is 234 and the buffer's
// content is unspecified. 2 when the value does not exist.
[[nodiscard]] Win32Error QueryRegistryValue(NativeHandle key, const std::u16string& name,
                                            std::uint32_t* type, void* data, std::uint32_t* size);

// The sizes RegQueryInfoKeyW reports: name lengths in characters without the NUL, data in
// bytes.
struct RegistryKeyInfo {
  std::uint32_t subKeyCount = 0;
  std::uint32_t maxSubKeyNameLength = 0;
  std::uint32_t valueCount = 0;
  std::uint32_t maxValueNameLength = 0;
  std::uint32_t maxValueDataSize = 0;
};
[[nodiscard]] Win32Error QueryRegistryKeyInfo(NativeHandle key, RegistryKeyInfo* info);

// The name of subkey number `index` (RegEnumKeyExW): `*nameLength` is the buffer's size in
// characters on entry and the name's length without its NUL on return. Subkeys come in
// order of their upper-cased names. 259 past the last subkey; 234 when the name and its
// NUL do not fit.
[[nodiscard]] Win32Error EnumRegistrySubKey(NativeHandle key, std::uint32_t index, char16_t* name,
                                            std::uint32_t* nameLength);

// Value number `index` (RegEnumValueW): its name as for EnumRegistrySubKey, and `type`,
// `data` and `dataSize` as for QueryRegistryValue (each may be null). The order of values
// is the store's own (creation order on Windows and on the host, by name under wine);
// callers must not rely on it. 259 past the last value; 234 when the name or the data do
// not fit.
[[nodiscard]] Win32Error EnumRegistryValue(NativeHandle key, std::uint32_t index, char16_t* name,
                                           std::uint32_t* nameLength, std::uint32_t* type,
                                           void* data, std::uint32_t* dataSize);

// Deletes value `name` (RegDeleteValueW); 2 when it does not exist.
[[nodiscard]] Win32Error DeleteRegistryValue(NativeHandle key, const std::u16string& name);

// RegDeleteTreeW: with a subKey, deletes key\subKey with everything below it (2 when it
// does not exist); with an empty subKey, deletes every subkey and value of `key` and keeps
// the key itself.
[[nodiscard]] Win32Error DeleteRegistryTree(NativeHandle key, const std::u16string& subKey);

}  // namespace vovu::platform
