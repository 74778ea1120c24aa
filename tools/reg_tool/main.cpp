// vovu-reg: the emulated machine's registry from the shell, in the manner of reg.exe, for the
// verbs it has.
//
//   vovu-reg query KEY [/v NAME | /ve] [/s] [/reg:32 | /reg:64]
//   vovu-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f] [/reg:32 | /reg:64]
//   vovu-reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32 | /reg:64]
//
// KEY begins with HKLM or HKEY_LOCAL_MACHINE, HKU or HKEY_USERS (any case). Switches are
// matched in any case; an unknown switch or type is a usage error, never stored as data.
// Runs with the caller's own rights (only root may change HKLM). Exit code 0; 1 with the
// failed call and its error text on standard error; 2 for a usage error.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "platform/registry.h"
#include "reg_values.h"
#include "tool_common.h"

namespace {

namespace platform = vovu::platform;
using platform::NativeHandle;
using platform::RegistryKey;
using vovu::tools::kExitFailure;
using vovu::tools::kExitSuccess;

constexpr char kUsage[] =
    "usage: vovu-reg query KEY [/v NAME | /ve] [/s] [/reg:32 | /reg:64]\n"
    "       vovu-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "                    [/reg:32 | /reg:64]\n"
    "       vovu-reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32 | /reg:64]\n"
    "KEY: HKLM\\... or HKU\\... (also HKEY_LOCAL_MACHINE, HKEY_USERS; any case).\n"
    "TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY,\n"
    "REG_NONE. /reg:32 works in the 32-bit view. Exit code 0; 1 when the registry refuses\n"
    "(the call and its error text on standard error); 2 for a usage error.\n";

std::string Utf8(const std::u16string& text) {
  return vovu::WideToUtf8(text);
}

int Fail(const char* call, platform::Win32Error status) {
  std::fprintf(stderr, "vovu-reg: %s failed: %s\n", call, vovu::tools::ErrorText(status).c_str());
  return kExitFailure;
}

int Usage(const std::string& problem) {
  return vovu::tools::UsageError("vovu-reg", problem, kUsage);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + 32);
  }
  return text;
}

// What the command line asked for.
struct Request {
  std::string verb;
  NativeHandle hive = 0;
  std::string hiveName;  // HKEY_LOCAL_MACHINE or HKEY_USERS
  std::u16string subKey;
  std::uint32_t view = platform::kKeyWow64_64Key;
  std::optional<std::string> valueName;  // /v NAME, or "" for /ve
  bool allValues = false;                // /va
  bool recurse = false;                  // query /s
  std::optional<std::string> typeName;   // /t
  std::optional<std::string> data;       // /d
  std::string separator = "\\0";         // add /s
};

// Splits KEY into its hive and the path below it. False for an unknown hive.
bool ParseKey(const std::string& key, Request* request) {
  const std::size_t slash = key.find('\\');
  const std::string hive = Lower(key.substr(0, slash));
  if (hive == "hklm" || hive == "hkey_local_machine") {
    request->hive = platform::kRegistryLocalMachine;
    request->hiveName = "HKEY_LOCAL_MACHINE";
  } else if (hive == "hku" || hive == "hkey_users") {
    request->hive = platform::kRegistryUsers;
    request->hiveName = "HKEY_USERS";
  } else {
    return false;
  }
  std::string rest = slash == std::string::npos ? "" : key.substr(slash + 1);
  while (!rest.empty() && rest.back() == '\\')
    rest.pop_back();
  request->subKey = vovu::Utf8ToWide(rest);
  return true;
}

// Reads the switches after KEY. An empty result means they are fine; otherwise the problem.
std::string ParseSwitches(int argc, char** argv, Request* request) {
  const bool query = request->verb == "query";
  const bool add = request->verb == "add";
  for (int i = 3; i < argc; ++i) {
    const std::string name = Lower(argv[i]);
    const bool hasNext = i + 1 < argc;
    if (name == "/reg:32") {
      request->view = platform::kKeyWow64_32Key;
    } else if (name == "/reg:64") {
      request->view = platform::kKeyWow64_64Key;
    } else if (name == "/v" && hasNext) {
      request->valueName = argv[++i];
    } else if (name == "/ve") {
      request->valueName = std::string();
    } else if (name == "/va" && request->verb == "delete") {
      request->allValues = true;
    } else if (name == "/s" && query) {
      request->recurse = true;
    } else if (name == "/s" && add && hasNext) {
      request->separator = argv[++i];
    } else if (name == "/t" && add && hasNext) {
      request->typeName = argv[++i];
    } else if (name == "/d" && add && hasNext) {
      request->data = argv[++i];
    } else if (name == "/f" && !query) {
      // Never asks for confirmation anyway.
    } else if (name == "/v" || name == "/t" || name == "/d" || (name == "/s" && add)) {
      return "switch " + std::string(argv[i]) + " needs a value";
    } else {
      return "unknown switch for " + request->verb + ": " + argv[i];
    }
  }
  if (request->allValues && request->valueName)
    return "/va cannot go with /v or /ve";
  if (request->separator.empty())
    return "the separator of /s cannot be empty";
  return "";
}

std::string KeyText(const Request& request, const std::u16string& subKey) {
  return subKey.empty() ? request.hiveName : request.hiveName + "\\" + Utf8(subKey);
}

void PrintValue(const std::u16string& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data) {
  std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : Utf8(name).c_str(),
              vovu::tools::RegistryTypeName(type).c_str(),
              vovu::tools::RegistryDataText(type, data).c_str());
}

void QueryKey(NativeHandle key, const std::string& path, bool recurse) {
  std::printf("%s\n", path.c_str());
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[16384];
    std::uint32_t nameLength = 16384;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data(65536);
    auto size = static_cast<std::uint32_t>(data.size());
    if (platform::EnumRegistryValue(key, i, name, &nameLength, &type, data.data(), &size) != 0)
      break;
    data.resize(size);
    PrintValue(std::u16string(name, nameLength), type, data);
  }
  std::printf("\n");
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[512];
    std::uint32_t nameLength = 512;
    if (platform::EnumRegistrySubKey(key, i, name, &nameLength) != 0)
      break;
    const std::u16string subName(name, nameLength);
    if (!recurse) {
      std::printf("%s\\%s\n", path.c_str(), Utf8(subName).c_str());
      continue;
    }
    RegistryKey sub;
    if (platform::OpenRegistryKey(key, subName, platform::kKeyRead, &sub) == 0)
      QueryKey(sub.get(), path + "\\" + Utf8(subName), true);
  }
}

int Query(const Request& request) {
  RegistryKey key;
  platform::Win32Error status = platform::OpenRegistryKey(request.hive, request.subKey,
                                                          platform::kKeyRead | request.view, &key);
  if (status != 0)
    return Fail("RegOpenKeyEx", status);
  if (!request.valueName) {
    QueryKey(key.get(), KeyText(request, request.subKey), request.recurse);
    return kExitSuccess;
  }
  const std::u16string name = vovu::Utf8ToWide(*request.valueName);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  status = platform::QueryRegistryValue(key.get(), name, &type, nullptr, &size);
  std::vector<std::uint8_t> data(size);
  if (status == 0 && size > 0)
    status = platform::QueryRegistryValue(key.get(), name, &type, data.data(), &size);
  if (status != 0)
    return Fail("RegQueryValueEx", status);
  std::printf("%s\n", KeyText(request, request.subKey).c_str());
  PrintValue(name, type, data);
  std::printf("\n");
  return kExitSuccess;
}

int Add(const Request& request) {
  std::uint32_t type = platform::kRegSz;
  if (request.typeName) {
    const std::optional<std::uint32_t> named = vovu::tools::RegistryTypeFromName(*request.typeName);
    if (!named)
      return Usage("unknown type: " + *request.typeName);
    type = *named;
  }
  std::vector<std::uint8_t> bytes;
  std::string problem;
  const bool setsValue = request.valueName || request.typeName || request.data;
  if (setsValue && !vovu::tools::EncodeRegistryData(type, request.data.value_or(""),
                                                    request.separator, &bytes, &problem)) {
    return Usage(problem);
  }
  RegistryKey key;
  platform::Win32Error status = platform::CreateRegistryKey(
      request.hive, request.subKey, platform::kKeyAllAccess | request.view, &key, nullptr);
  if (status != 0)
    return Fail("RegCreateKeyEx", status);
  if (!setsValue)
    return kExitSuccess;
  status = platform::SetRegistryValue(key.get(), vovu::Utf8ToWide(request.valueName.value_or("")),
                                      type, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return status == 0 ? kExitSuccess : Fail("RegSetValueEx", status);
}

int Delete(const Request& request) {
  if (request.valueName || request.allValues) {
    RegistryKey key;
    platform::Win32Error status = platform::OpenRegistryKey(
        request.hive, request.subKey, platform::kKeyAllAccess | request.view, &key);
    if (status != 0)
      return Fail("RegOpenKeyEx", status);
    if (request.valueName) {
      status = platform::DeleteRegistryValue(key.get(), vovu::Utf8ToWide(*request.valueName));
      return status == 0 ? kExitSuccess : Fail("RegDeleteValue", status);
    }
    // /va: every value of the key; its subkeys stay.
    for (;;) {
      char16_t name[16384];
      std::uint32_t nameLength = 16384;
      status =
          platform::EnumRegistryValue(key.get(), 0, name, &nameLength, nullptr, nullptr, nullptr);
      if (status == platform::kErrorNoMoreItems)
        return kExitSuccess;
      if (status != 0)
        return Fail("RegEnumValue", status);
      status = platform::DeleteRegistryValue(key.get(), std::u16string(name, nameLength));
      if (status != 0)
        return Fail("RegDeleteValue", status);
    }
  }
  if (request.subKey.empty())
    return Usage("a hive itself cannot be deleted");
  // The key and everything below it, removed through its parent.
  const std::size_t slash = request.subKey.find_last_of(u'\\');
  const std::u16string parentPath =
      slash == std::u16string::npos ? std::u16string() : request.subKey.substr(0, slash);
  const std::u16string leaf =
      slash == std::u16string::npos ? request.subKey : request.subKey.substr(slash + 1);
  RegistryKey parent;
  platform::Win32Error status = platform::OpenRegistryKey(
      request.hive, parentPath, platform::kKeyAllAccess | request.view, &parent);
  if (status == 0)
    status = platform::DeleteRegistryTree(parent.get(), leaf);
  return status == 0 ? kExitSuccess : Fail("RegDeleteTree", status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && vovu::tools::IsHelpArgument(argv[1]))
    return vovu::tools::ShowUsage(kUsage);
  if (argc < 3)
    return Usage("expected a verb and a KEY");
  Request request;
  request.verb = Lower(argv[1]);
  if (request.verb != "query" && request.verb != "add" && request.verb != "delete")
    return Usage(std::string("unknown verb: ") + argv[1]);
  if (!ParseKey(argv[2], &request))
    return Usage(std::string("unknown hive in ") + argv[2] + " (HKLM or HKU)");
  const std::string problem = ParseSwitches(argc, argv, &request);
  if (!problem.empty())
    return Usage(problem);
  vovu::tools::NoteMachineRoot("vovu-reg");
  if (request.verb == "query")
    return Query(request);
  if (request.verb == "add")
    return Add(request);
  return Delete(request);
}
