#include "platform/host/registry/registry_paths.h"

#include <string>

namespace vovu::platform::host {
namespace {

constexpr char16_t kSoftware[] = u"SOFTWARE";
constexpr char16_t kClasses[] = u"CLASSES";
constexpr char16_t kWow64Node[] = u"WOW6432NODE";
constexpr char16_t kWow64NodeName[] = u"WOW6432Node";

bool Is(const KeyPath& path, std::size_t index, const char16_t* folded) {
  return index < path.size() && FoldKeyName(path[index]) == folded;
}

bool IsLocalMachineSoftware(const KeyPath& path) {
  return path.size() >= 2 && path[0] == kHiveLocalMachine && Is(path, 1, kSoftware);
}

}  // namespace

void AppendSubKeyPath(const std::u16string& subKey, KeyPath* path) {
  std::size_t start = 0;
  while (start <= subKey.size()) {
    std::size_t end = subKey.find(u'\\', start);
    if (end == std::u16string::npos)
      end = subKey.size();
    if (end > start)
      path->push_back(subKey.substr(start, end - start));
    start = end + 1;
  }
}

std::u16string JoinKeyPath(const KeyPath& path) {
  std::u16string joined;
  for (const std::u16string& name : path) {
    if (!joined.empty())
      joined += u'\\';
    joined += name;
  }
  return joined;
}

std::u16string FoldKeyName(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - 32);
  }
  return folded;
}

std::u16string FoldedKeyPath(const KeyPath& path) {
  return FoldKeyName(JoinKeyPath(path));
}

void ResolveView(bool view32, KeyPath* path) {
  if (!IsLocalMachineSoftware(*path))
    return;
  KeyPath& p = *path;
  // SOFTWARE\WOW6432Node\Classes is another name of SOFTWARE\Classes\WOW6432Node.
  if (Is(p, 2, kWow64Node) && Is(p, 3, kClasses)) {
    p[2] = p[3];
    p[3] = kWow64NodeName;
    return;
  }
  if (!view32 || Is(p, 2, kWow64Node))
    return;
  if (Is(p, 2, kClasses)) {
    // The Classes key itself is shared; what lies below it is redirected.
    if (p.size() >= 4 && !Is(p, 3, kWow64Node))
      p.insert(p.begin() + 3, kWow64NodeName);
    return;
  }
  p.insert(p.begin() + 2, kWow64NodeName);
}

std::u16string SidOfUid(std::uint32_t uid) {
  if (uid == 0)
    return u"S-1-5-18";
  const std::string text = "S-1-5-21-1000-1000-1000-" + std::to_string(uid);
  return std::u16string(text.begin(), text.end());
}

bool MayChangeKey(const KeyPath& path, std::uint32_t uid) {
  if (uid == 0)
    return true;
  if (path.size() < 2 || path[0] != kHiveUsers)
    return false;
  const std::u16string sid = FoldKeyName(SidOfUid(uid));
  const std::u16string top = FoldKeyName(path[1]);
  return top == sid || top == sid + u"_CLASSES";
}

}  // namespace vovu::platform::host
