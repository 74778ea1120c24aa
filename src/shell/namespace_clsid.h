// A sync root's namespace class: reading its CLSID from the sync-root key and mirroring the
// class's registry tree from the user's hive into the machine's class roots.
//
// The mirror copies the namespace part (namespace_class.h) of
// HKU\<sid>_Classes\Software\Classes\CLSID\<clsid> (or, when that does not open,
// HKU\<sid>\Software\Classes\CLSID\<clsid>) into HKLM\SOFTWARE\Classes\CLSID and
// HKLM\SOFTWARE\Classes\WOW6432Node\CLSID (both addressed in the 64-bit view), and names
// the class in the index HKLM\SOFTWARE\KorvaSync\MirroredNamespaceClsids (value name: the
// CLSID; data: the sync-root id it was mirrored for), which the cleanup reads back.
#pragma once

#include <string>

#include "caller/request_context.h"
#include "platform/native_handle.h"
#include "shell/namespace_class.h"

namespace vovu {

inline constexpr char16_t kMirroredNamespaceIndex[] =
    u"SOFTWARE\\KorvaSync\\MirroredNamespaceClsids";
// The refusal of a class the machine has that the service did not mirror for this sync root.
inline constexpr char16_t kMachineClassRefusal[] =
    u"NamespaceCLSID names a class the machine already has: ";
inline constexpr char16_t kClassRoot64[] = u"SOFTWARE\\Classes\\CLSID";
inline constexpr char16_t kClassRoot32[] = u"SOFTWARE\\Classes\\WOW6432Node\\CLSID";

// True for exactly 38 characters "{8-4-4-4-12}" of hexadecimal digits in either case.
[[nodiscard]] bool IsValidClsidText(const std::u16string& text);

// The value "NamespaceCLSID" of an open sync-root key, as text without its trailing NULs
// (REG_EXPAND_SZ is not expanded). False with `*error` untouched when the value cannot be
// read (it is missing, for instance); false with "unexpected registry value type <n>" when
// it is neither REG_SZ nor REG_EXPAND_SZ.
[[nodiscard]] bool ReadNamespaceClsid(platform::NativeHandle syncRootKey, std::u16string* clsid,
                                      std::u16string* error);

// Writes `wanted` as HKLM\<root>\<clsid> (64-bit view, created when missing), exactly
// (WriteClassExactly). `*madeKey` tells whether the key was created here. Without
// `mayReuse`, a key that exists already is left alone and refused with kMachineClassRefusal.
// Failures: "RegOpenKeyExW failed for <root>: <error text>", "RegCreateKeyExW failed for
// <root>\<clsid>: <error text>", WriteClassExactly's messages.
[[nodiscard]] bool MirrorClsidInto(const std::u16string& root, const ClassKey& wanted,
                                   const std::u16string& clsid, bool mayReuse, bool* madeKey,
                                   std::u16string* error);

// Names `clsid` in the mirror index with `syncRootId` as its data, creating the index when
// missing. Failures: "create mirrored-namespace index failed: <error text>",
// "RegSetValueEx failed: error=<n>".
[[nodiscard]] bool RecordMirroredClsid(const std::u16string& clsid,
                                       const std::u16string& syncRootId, std::u16string* error);

// Mirrors the namespace part of the caller's (`context.userSid`) class `clsid`
// (ReadNamespaceClass: never a server, handler or elevation setting of the user's) into both
// machine class roots for `syncRootId`. A class that either root holds already is refused
// unless the index names it for this same sync root: it is the machine's, or another user's
// mirror. A first mirror writes the 64-bit root, then the index (its failure is the mirror's
// and removes that copy again, since a copy the index does not name would be refused ever
// after); a failure with the 32-bit root is written to the debugger output and the mirror
// still succeeds. Failures: "invalid NamespaceCLSID: <clsid>", "source CLSID tree not found
// in user hive for <clsid>" (also when the caller's SID is unknown), "registry link refused
// in NamespaceCLSID source: <key>", kMachineClassRefusal + clsid, MirrorClsidInto's and
// RecordMirroredClsid's messages.
[[nodiscard]] bool MirrorNamespaceClsid(const RequestContext& context, const std::u16string& clsid,
                                        const std::u16string& syncRootId, std::u16string* error);

}  // namespace vovu
