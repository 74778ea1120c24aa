// The build-time constants of the update host. VOVU_UPDATE_HOST and VOVU_UPDATE_DOMAIN come
// from the build (CMakeLists.txt checks them and hands them to this file only).
#include "acquisition/update_host.h"

#if !defined(VOVU_UPDATE_HOST) || !defined(VOVU_UPDATE_DOMAIN)
#error "VOVU_UPDATE_HOST and VOVU_UPDATE_DOMAIN must be defined by the build"
#endif

namespace vovu {

const std::u16string& UpdateHostName() {
  static const std::u16string host = u"" VOVU_UPDATE_HOST;
  return host;
}

const std::u16string& UpdateDomain() {
  static const std::u16string domain = u"" VOVU_UPDATE_DOMAIN;
  return domain;
}

const std::u16string& OfficialManifestUrl() {
  static const std::u16string url =
      u"https://" VOVU_UPDATE_HOST u"/client/new/clientHotUpdateInfo.json";
  return url;
}

}  // namespace vovu
