#include "acquisition/redirect_target.h"

namespace vovu {
namespace {

// The scheme and authority of an absolute address ("https://host:port"), without the path.
std::u16string OriginOf(const std::u16string& url) {
  const std::size_t authority = url.find(u"://");
  if (authority == std::u16string::npos)
    return std::u16string();
  const std::size_t path = url.find_first_of(u"/?#", authority + 3);
  return path == std::u16string::npos ? url : url.substr(0, path);
}

bool HasScheme(const std::u16string& location) {
  const std::size_t colon = location.find(u':');
  if (colon == std::u16string::npos || colon == 0)
    return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const char16_t c = location[i];
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    const bool other = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
    if (!letter && !(i > 0 && other))
      return false;
  }
  return true;
}

}  // namespace

bool ResolveRedirectLocation(const std::u16string& base, const std::u16string& location,
                             std::u16string* target) {
  if (location.empty())
    return false;
  for (char16_t c : location) {
    if (c <= u' ' || c == u'\x7F' || c == u'\\')
      return false;
  }
  if (HasScheme(location)) {
    *target = location;
    return true;
  }
  if (location.compare(0, 2, u"//") == 0) {
    *target = u"https:" + location;
    return true;
  }
  const std::u16string origin = OriginOf(base);
  if (origin.empty())
    return false;
  if (location[0] == u'/') {
    *target = origin + location;
    return true;
  }
  std::u16string path = base.substr(origin.size());
  path = path.substr(0, path.find_first_of(u"?#"));
  const std::size_t slash = path.rfind(u'/');
  path = slash == std::u16string::npos ? u"/" : path.substr(0, slash + 1);
  *target = origin + path + location;
  return true;
}

}  // namespace vovu
