#include "state/installed_version.h"

#include <cstring>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/file_io.h"
#include "foundation/json.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/version_resource.h"
#include "state/protected_storage.h"
#include "state/semantic_version.h"

namespace vovu {
namespace {

constexpr std::uint32_t kFixedFileInfoMinimumSize = 52;

bool IsSemantic(const std::u16string& text) {
  SemanticVersion parsed;
  return ParseSemanticVersion(text, &parsed);
}

// -2 when either text does not parse; otherwise CompareSemanticVersions(a, b).
int CompareVersionTexts(const std::u16string& a, const std::u16string& b) {
  SemanticVersion va;
  SemanticVersion vb;
  if (!ParseSemanticVersion(a, &va) || !ParseSemanticVersion(b, &vb))
    return -2;
  return CompareSemanticVersions(va, vb);
}

std::u16string JsonStringLine(const char16_t* key, const std::u16string& value, bool comma) {
  std::u16string line = u"  \"";
  line += key;
  line += u"\": \"";
  EscapeJsonString(value, &line);
  line += comma ? u"\",\n" : u"\"\n";
  return line;
}

}  // namespace

std::u16string InstalledVersionStatePath() {
  return JoinPath(GetHotUpdateDir(), u"installed-version.json");
}

bool ReadDesktopAppVersion(std::u16string* version, std::u16string* error) {
  const std::u16string path = JoinPath(GetInstallDirectory(), u"Korvadesk.exe");
  const std::uint32_t size = platform::GetVersionInfoSize(path);
  if (size == 0) {
    *error = u"cannot read Korvadesk.exe version size: " + FormatWin32Error(platform::LastError());
    return false;
  }
  std::vector<std::uint8_t> block;
  if (!platform::GetVersionInfo(path, size, &block)) {
    *error = u"cannot read Korvadesk.exe version: " + FormatWin32Error(platform::LastError());
    return false;
  }
  const void* value = nullptr;
  std::uint32_t length = 0;
  platform::FixedFileInfo info{};
  if (platform::QueryRootVersionValue(block, &value, &length) && value != nullptr &&
      length >= kFixedFileInfoMinimumSize) {
    std::memcpy(&info, value, sizeof(info));
  }
  if (info.signature != platform::kFixedFileInfoSignature) {
    *error = u"Korvadesk.exe has no valid fixed product version";
    return false;
  }
  const std::u16string text =
      ToDecimal(static_cast<unsigned long long>(info.productVersionMS >> 16)) + u"." +
      ToDecimal(static_cast<unsigned long long>(info.productVersionMS & 0xFFFF)) + u"." +
      ToDecimal(static_cast<unsigned long long>(info.productVersionLS >> 16));
  *version = text;
  if (!IsSemantic(text)) {
    *error = u"Korvadesk.exe product version is not semantic: " + text;
    return false;
  }
  return true;
}

std::u16string FormatInstalledVersionState(const std::u16string& baseline,
                                           const std::u16string& current, long long updatedAtMs) {
  std::u16string text = u"{\n  \"schemaVersion\": 1,\n";
  text += JsonStringLine(u"baselineVersion", baseline, true);
  text += JsonStringLine(u"currentVersion", current, true);
  text += u"  \"updatedAt\": " + ToDecimal(updatedAtMs) + u"\n}\n";
  return text;
}

bool WriteInstalledVersionState(const std::u16string& baseline, const std::u16string& current,
                                std::u16string* error) {
  if (!EnsureHotUpdateDirectories(error))
    return false;
  const long long now = platform::GetSystemTimeAsFileTimeTicks() / 10000;
  const std::string bytes = WideToUtf8(FormatInstalledVersionState(baseline, current, now));
  if (!WriteFileAtomic(InstalledVersionStatePath(), bytes)) {
    *error = u"cannot persist protected installed version state: " +
             FormatWin32Error(platform::LastError());
    return false;
  }
  return true;
}

bool ReadInstalledVersionState(std::u16string* baseline, std::u16string* current) {
  std::u16string text;
  if (!ReadUtf8TextFile(InstalledVersionStatePath(), &text))
    return false;
  JsonValue root;
  std::u16string parseError;
  if (!ParseJson(text, &root, &parseError))
    return false;
  *baseline = GetStringMember(root, u"baselineVersion");
  *current = GetStringMember(root, u"currentVersion");
  const int order = CompareVersionTexts(*current, *baseline);
  return order == 0 || order == 1;
}

bool LoadInstalledVersion(std::u16string* version, std::u16string* error, bool reset) {
  std::u16string appVersion;
  if (!ReadDesktopAppVersion(&appVersion, error))
    return false;
  std::u16string baseline;
  std::u16string current;
  if (!reset && ReadInstalledVersionState(&baseline, &current) && baseline == appVersion) {
    *version = current;
    return true;
  }
  if (!WriteInstalledVersionState(appVersion, appVersion, error))
    return false;
  *version = appVersion;
  return true;
}

bool RecordConfirmedVersion(const std::u16string& version, std::u16string* error) {
  std::u16string baseline;
  if (!ReadDesktopAppVersion(&baseline, error))
    return false;
  const int order = CompareVersionTexts(version, baseline);
  if (order != 0 && order != 1) {
    *error = u"invalid confirmed hot-update version: " + version;
    return false;
  }
  return WriteInstalledVersionState(baseline, version, error);
}

}  // namespace vovu
