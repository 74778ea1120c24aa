// A sync root's namespace class: reading its CLSID from the sync-root key and mirroring the
// class's registry tree from the user's hive into the machine's class roots.
//
// The mirror copies HKU\<sid>_Classes\Software\Classes\CLSID\<clsid> (or, when that does
// not open, HKU\<sid>\Software\Classes\CLSID\<clsid>) into HKLM\SOFTWARE\Classes\CLSID and
// HKLM\SOFTWARE\Classes\WOW6432Node\CLSID (both addressed in the 64-bit view), and names
// the class in the index HKLM\SOFTWARE\KorvaSync\MirroredNamespaceClsids (value name: the
// CLSID; data: the sync-root id it was mirrored for), which the cleanup reads back.
#pragma once

#include <string>

#include "caller/request_context.h"
#include "platform/native_handle.h"

namespace vovu {

inline constexpr char16_t kMirroredNamespaceIndex[] =
    u"SOFTWARE\\KorvaSync\\MirroredNamespaceClsids";
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

// Copies the class tree `source` into HKLM\<root>\<clsid> (64-bit view, created when
// missing), then sets ThreadingModel "Both" in its InProcServer32 subkey when it has one.
// Failures: "RegOpenKeyExW failed for <root>: <error text>", "RegCreateKeyExW failed for
// <root>\<clsid>: <error text>", the copy's messages, "RegSetValueEx failed: error=<n>".
[[nodiscard]] bool MirrorClsidInto(const std::u16string& root, platform::NativeHandle source,
                                   const std::u16string& clsid, std::u16string* error);

// Names `clsid` in the mirror index with `syncRootId` as its data, creating the index when
// missing. Failures: "create mirrored-namespace index failed: <error text>",
// "RegSetValueEx failed: error=<n>".
[[nodiscard]] bool RecordMirroredClsid(const std::u16string& clsid,
                                       const std::u16string& syncRootId, std::u16string* error);

// Mirrors the caller's (`context.userSid`) class `clsid` into both machine class roots and
// records it for `syncRootId`. Only the 64-bit root is required: a failure with the 32-bit
// root or with the index is written to the debugger output and the mirror still succeeds.
// Failures: "invalid NamespaceCLSID: <clsid>", "source CLSID tree not found in user hive for
// <clsid>" (also when the caller's SID is unknown), and MirrorClsidInto's messages.
[[nodiscard]] bool MirrorNamespaceClsid(const RequestContext& context, const std::u16string& clsid,
                                        const std::u16string& syncRootId, std::u16string* error);

}  // namespace vovu
