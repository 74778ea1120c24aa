#include "support/machine_guid.h"

#include <gtest/gtest.h>

#include "platform/registry.h"

namespace vovu::testing {

void StoreMachineGuid(std::uint32_t type, const void* data, std::uint32_t size) {
  platform::RegistryKey key;
  ASSERT_EQ(platform::CreateRegistryKey(
                platform::kRegistryLocalMachine, u"SOFTWARE\\Microsoft\\Cryptography",
                platform::kKeyAllAccess | platform::kKeyWow64_64Key, &key, nullptr),
            0u);
  ASSERT_EQ(platform::SetRegistryValue(key.get(), u"MachineGuid", type, data, size), 0u);
}

void StoreMachineGuid(const std::u16string& text) {
  StoreMachineGuid(platform::kRegSz, text.c_str(),
                   static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t)));
}

}  // namespace vovu::testing
