// The registry on Windows: the advapi32 calls themselves.
#include "platform/registry.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {
namespace {

using win32::W;

HKEY ToKey(NativeHandle h) {
  return reinterpret_cast<HKEY>(h);
}

static_assert(sizeof(char16_t) == sizeof(wchar_t));

}  // namespace

void RegistryKeyTraits::Close(Type h) {
  ::RegCloseKey(ToKey(h));
}

Win32Error OpenRegistryKey(NativeHandle parent, const std::u16string& subKey, std::uint32_t access,
                           RegistryKey* key) {
  return OpenRegistryKeyWithOptions(parent, subKey, 0, access, key);
}

Win32Error OpenRegistryKeyWithOptions(NativeHandle parent, const std::u16string& subKey,
                                      std::uint32_t options, std::uint32_t access,
                                      RegistryKey* key) {
  HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(ToKey(parent), W(subKey), options, access, &opened);
  if (status == ERROR_SUCCESS)
    key->reset(reinterpret_cast<NativeHandle>(opened));
  return static_cast<Win32Error>(status);
}

Win32Error CreateRegistryLink(NativeHandle parent, const std::u16string& subKey,
                              const std::u16string& target) {
  HKEY opened = nullptr;
  DWORD disposition = 0;
  LSTATUS status = ::RegCreateKeyExW(
      ToKey(parent), W(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE | REG_OPTION_CREATE_LINK,
      KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &opened, &disposition);
  if (status != ERROR_SUCCESS)
    return static_cast<Win32Error>(status);
  RegistryKey link(reinterpret_cast<NativeHandle>(opened));
  if (disposition != REG_CREATED_NEW_KEY)
    return kErrorAlreadyExists;
  // The target is stored without its NUL, as the kernel reads it.
  status = ::RegSetValueExW(opened, W(kRegistryLinkValueName), 0, REG_LINK,
                            reinterpret_cast<const BYTE*>(target.data()),
                            static_cast<DWORD>(target.size() * sizeof(char16_t)));
  return static_cast<Win32Error>(status);
}

Win32Error CreateRegistryKey(NativeHandle parent, const std::u16string& subKey,
                             std::uint32_t access, RegistryKey* key, bool* created) {
  HKEY opened = nullptr;
  DWORD disposition = 0;
  const LSTATUS status =
      ::RegCreateKeyExW(ToKey(parent), W(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                        nullptr, &opened, &disposition);
  if (status == ERROR_SUCCESS) {
    key->reset(reinterpret_cast<NativeHandle>(opened));
    if (created != nullptr)
      *created = disposition == REG_CREATED_NEW_KEY;
  }
  return static_cast<Win32Error>(status);
}

Win32Error SetRegistryValue(NativeHandle key, const std::u16string& name, std::uint32_t type,
                            const void* data, std::uint32_t size) {
  return static_cast<Win32Error>(
      ::RegSetValueExW(ToKey(key), W(name), 0, type, static_cast<const BYTE*>(data), size));
}

Win32Error QueryRegistryValue(NativeHandle key, const std::u16string& name, std::uint32_t* type,
                              void* data, std::uint32_t* size) {
  DWORD valueType = 0;
  DWORD valueSize = size != nullptr ? *size : 0;
  const LSTATUS status =
      ::RegQueryValueExW(ToKey(key), W(name), nullptr, &valueType, static_cast<BYTE*>(data),
                         size != nullptr ? &valueSize : nullptr);
  if (type != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA))
    *type = valueType;
  if (size != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA))
    *size = valueSize;
  return static_cast<Win32Error>(status);
}

Win32Error QueryRegistryKeyInfo(NativeHandle key, RegistryKeyInfo* info) {
  DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValueData = 0;
  const LSTATUS status =
      ::RegQueryInfoKeyW(ToKey(key), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                         &values, &maxValueName, &maxValueData, nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    info->subKeyCount = subKeys;
    info->maxSubKeyNameLength = maxSubKey;
    info->valueCount = values;
    info->maxValueNameLength = maxValueName;
    info->maxValueDataSize = maxValueData;
  }
  return static_cast<Win32Error>(status);
}

Win32Error EnumRegistrySubKey(NativeHandle key, std::uint32_t index, char16_t* name,
                              std::uint32_t* nameLength) {
  DWORD length = *nameLength;
  const LSTATUS status = ::RegEnumKeyExW(ToKey(key), index, reinterpret_cast<wchar_t*>(name),
                                         &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS)
    *nameLength = length;
  return static_cast<Win32Error>(status);
}

Win32Error EnumRegistryValue(NativeHandle key, std::uint32_t index, char16_t* name,
                             std::uint32_t* nameLength, std::uint32_t* type, void* data,
                             std::uint32_t* dataSize) {
  DWORD length = *nameLength;
  DWORD valueType = 0;
  DWORD valueSize = dataSize != nullptr ? *dataSize : 0;
  const LSTATUS status = ::RegEnumValueW(ToKey(key), index, reinterpret_cast<wchar_t*>(name),
                                         &length, nullptr, &valueType, static_cast<BYTE*>(data),
                                         dataSize != nullptr ? &valueSize : nullptr);
  if (status == ERROR_SUCCESS) {
    *nameLength = length;
    if (type != nullptr)
      *type = valueType;
  }
  if (dataSize != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA))
    *dataSize = valueSize;
  return static_cast<Win32Error>(status);
}

Win32Error DeleteRegistryValue(NativeHandle key, const std::u16string& name) {
  return static_cast<Win32Error>(::RegDeleteValueW(ToKey(key), W(name)));
}

Win32Error DeleteRegistryTree(NativeHandle key, const std::u16string& subKey) {
  return static_cast<Win32Error>(
      ::RegDeleteTreeW(ToKey(key), subKey.empty() ? nullptr : W(subKey)));
}

}  // namespace vovu::platform
