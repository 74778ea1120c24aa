// vovu-reg: the emulated machine's registry from the shell, in the manner of reg.exe.
//
//   vovu-reg query KEY [/reg:32] [/s]          values (and, with /s, every subkey below)
//   vovu-reg add KEY [/reg:32] [/v NAME /d TEXT] creates the key, sets a REG_SZ value
//
// KEY starts with HKLM\ or HKU\. Runs with the caller's own rights (only root may change
// HKLM). Exit 0 on success, 1 with a message on failure.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "platform/registry.h"

namespace {

using vovu::platform::NativeHandle;
using vovu::platform::RegistryKey;

std::string Utf8(const std::u16string& text) {
  return vovu::WideToUtf8(text);
}

std::string ValueText(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  if (type == vovu::platform::kRegSz || type == vovu::platform::kRegExpandSz) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
      const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
      if (unit == 0)
        break;
      text.push_back(unit);
    }
    return (type == vovu::platform::kRegSz ? "REG_SZ    " : "REG_EXPAND_SZ    ") + Utf8(text);
  }
  if (type == vovu::platform::kRegDword && data.size() == 4) {
    char line[32];
    std::snprintf(
        line, sizeof line, "REG_DWORD    0x%x",
        data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<unsigned>(data[3]) << 24));
    return line;
  }
  std::string hex = "type " + std::to_string(type) + "    ";
  for (std::uint8_t b : data) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

void Query(NativeHandle key, const std::string& path, bool recurse) {
  std::printf("%s\n", path.c_str());
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[16384];
    std::uint32_t nameLength = 16384;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data(65536);
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    if (vovu::platform::EnumRegistryValue(key, i, name, &nameLength, &type, data.data(), &size) !=
        0) {
      break;
    }
    data.resize(size);
    const std::u16string valueName(name, nameLength);
    std::printf("    %s    %s\n", valueName.empty() ? "(Default)" : Utf8(valueName).c_str(),
                ValueText(type, data).c_str());
  }
  std::printf("\n");
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[512];
    std::uint32_t nameLength = 512;
    if (vovu::platform::EnumRegistrySubKey(key, i, name, &nameLength) != 0)
      break;
    const std::u16string subName(name, nameLength);
    if (!recurse) {
      std::printf("%s\\%s\n", path.c_str(), Utf8(subName).c_str());
      continue;
    }
    RegistryKey sub;
    if (vovu::platform::OpenRegistryKey(key, subName, vovu::platform::kKeyRead, &sub) == 0) {
      Query(sub.get(), path + "\\" + Utf8(subName), true);
    }
  }
}

int Fail(const char* what, std::uint32_t status) {
  std::fprintf(stderr, "vovu-reg: %s: error=%u\n", what, status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr, "usage: vovu-reg query KEY [/reg:32] [/s] | add KEY [/reg:32] [/v NAME /d TEXT]\n");
    return 2;
  }
  const std::string verb = argv[1];
  const std::string path = argv[2];
  std::uint32_t view = vovu::platform::kKeyWow64_64Key;
  bool recurse = false;
  std::string name;
  std::string data;
  bool hasValue = false;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "/reg:32")
      view = vovu::platform::kKeyWow64_32Key;
    if (arg == "/s")
      recurse = true;
    if (arg == "/v" && i + 1 < argc)
      name = argv[++i], hasValue = true;
    if (arg == "/d" && i + 1 < argc)
      data = argv[++i];
  }
  const std::size_t slash = path.find('\\');
  const std::string hive = path.substr(0, slash);
  const std::u16string subKey =
      vovu::Utf8ToWide(slash == std::string::npos ? "" : path.substr(slash + 1));
  NativeHandle root = hive == "HKLM"  ? vovu::platform::kRegistryLocalMachine
                      : hive == "HKU" ? vovu::platform::kRegistryUsers
                                      : 0;
  if (root == 0)
    return Fail("unknown hive", 87);
  RegistryKey key;
  if (verb == "query") {
    const std::uint32_t status =
        vovu::platform::OpenRegistryKey(root, subKey, vovu::platform::kKeyRead | view, &key);
    if (status != 0)
      return Fail("cannot open the key", status);
    Query(key.get(), path, recurse);
    return 0;
  }
  if (verb == "add") {
    std::uint32_t status = vovu::platform::CreateRegistryKey(
        root, subKey, vovu::platform::kKeyAllAccess | view, &key, nullptr);
    if (status != 0)
      return Fail("cannot create the key", status);
    if (hasValue) {
      const std::u16string text = vovu::Utf8ToWide(data);
      status = vovu::platform::SetRegistryValue(key.get(), vovu::Utf8ToWide(name),
                                                vovu::platform::kRegSz, text.c_str(),
                                                static_cast<std::uint32_t>((text.size() + 1) * 2));
      if (status != 0)
        return Fail("cannot set the value", status);
    }
    return 0;
  }
  return Fail("unknown verb", 87);
}
