// Key paths of the host's registry: how a parent and a subkey path become one key of the
// store, how the 32-bit view redirects, and who may change which key. Host-only.
//
// A key path is a list of names, the first being the hive: "HKLM" or "HKU". Names are
// matched ignoring ASCII case; the store keeps the letters a key was created with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu::platform::host {

using KeyPath = std::vector<std::u16string>;

inline constexpr char16_t kHiveLocalMachine[] = u"HKLM";
inline constexpr char16_t kHiveUsers[] = u"HKU";

// Appends the names of a subkey path ("a\b\c") to `path`; empty names (doubled, leading or
// trailing backslashes) are skipped.
void AppendSubKeyPath(const std::u16string& subKey, KeyPath* path);

// The names joined with "\" ("HKLM\SOFTWARE\Classes"), as given.
[[nodiscard]] std::u16string JoinKeyPath(const KeyPath& path);

// The same, upper-cased (ASCII): the store's identity of a key, and its sort order.
[[nodiscard]] std::u16string FoldedKeyPath(const KeyPath& path);
[[nodiscard]] std::u16string FoldKeyName(const std::u16string& name);

// Turns a path into the key it really names. In every view,
// HKLM\SOFTWARE\WOW6432Node\Classes\... is HKLM\SOFTWARE\Classes\WOW6432Node\... (the same
// key under two names). In the 32-bit view, a key below HKLM\SOFTWARE\Classes is taken from
// HKLM\SOFTWARE\Classes\WOW6432Node, and HKLM\SOFTWARE itself and every other key below it
// from HKLM\SOFTWARE\WOW6432Node. No key is shared between the views except
// HKLM\SOFTWARE\Classes itself; HKU is never redirected. A path already inside a
// WOW6432Node stays as it is, so redirecting twice changes nothing.
void ResolveView(bool view32, KeyPath* path);

// The SID a host uid stands for (as platform/identity.h): "S-1-5-18" for uid 0, else
// "S-1-5-21-1000-1000-1000-<uid>".
[[nodiscard]] std::u16string SidOfUid(std::uint32_t uid);

// The access rule: everybody may read every key; uid 0 may change every key; another uid
// may change HKU\<its SID> and HKU\<its SID>_Classes and what lies below them.
[[nodiscard]] bool MayChangeKey(const KeyPath& path, std::uint32_t uid);

}  // namespace vovu::platform::host
