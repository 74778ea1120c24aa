// The update host, its domain and the fixed settings of every request the service makes to
// it. The host name and the domain are fixed when the program is built (the CMake cache
// variables VOVU_UPDATE_HOST and VOVU_UPDATE_DOMAIN, checked at configure time: the host lies
// inside the domain); nothing at run time can change them.
#pragma once

#include <string>

namespace vovu {

// The update host's name, in lower case ("updates.korvasync.example").
[[nodiscard]] const std::u16string& UpdateHostName();

// The update domain, in lower case ("korvasync.example"). Packages may come only from
// names below it.
[[nodiscard]] const std::u16string& UpdateDomain();

// "https://" + the update host + "/client/new/clientHotUpdateInfo.json": no port, user or
// query.
[[nodiscard]] const std::u16string& OfficialManifestUrl();

// The user agent of the manifest fetch and the package download.
inline constexpr char16_t kUpdateUserAgent[] = u"VovudIdavUda/1.0";

// Time-outs of both requests, in milliseconds.
inline constexpr int kResolveTimeoutMs = 10000;
inline constexpr int kConnectTimeoutMs = 10000;
inline constexpr int kSendTimeoutMs = 30000;
inline constexpr int kReceiveTimeoutMs = 30000;

}  // namespace vovu
