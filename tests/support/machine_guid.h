// Writes the machine identity the rollout cohort reads, the way machine setup does.
#pragma once

#include <cstdint>
#include <string>

namespace vovu::testing {

// Stores HKLM\SOFTWARE\Microsoft\Cryptography "MachineGuid" (64-bit view) with exactly
// `type` and the `size` bytes at `data`; a failure is a fatal test failure.
void StoreMachineGuid(std::uint32_t type, const void* data, std::uint32_t size);

// The same as a REG_SZ holding `text` and its NUL.
void StoreMachineGuid(const std::u16string& text);

}  // namespace vovu::testing
