// What a converted security descriptor holds on the host: the ownership and mode bits its
// DACL stands for. Shared by the host implementations that apply a descriptor (files,
// pipe sockets); nothing outside src/platform/host sees it.
#pragma once

#include <sys/types.h>

#include "platform/security.h"

namespace vovu::platform {

struct SecurityDescriptor::Impl {
  bool protectedDacl = false;
  bool ownerIsSystem = false;
  bool groupIsAdministrators = false;
  mode_t mode = 0;
};

}  // namespace vovu::platform
