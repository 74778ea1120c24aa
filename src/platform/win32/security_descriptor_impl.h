// What a converted security descriptor holds on Windows: the self-relative descriptor made
// by ConvertStringSecurityDescriptorToSecurityDescriptorW, freed with LocalFree. Shared by
// the Windows implementations that hand a descriptor to the system (files, pipes).
#pragma once

#include "platform/security.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

struct SecurityDescriptor::Impl {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~Impl() {
    if (descriptor != nullptr)
      ::LocalFree(descriptor);
  }
};

}  // namespace vovu::platform
