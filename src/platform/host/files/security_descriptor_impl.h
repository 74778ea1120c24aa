// What a converted security descriptor holds on the host: the owner it names, if any, and
// the rights its DACL grants LocalSystem, Administrators and everybody, as rwx bits. Shared
// by the host implementations that apply a descriptor (files, pipe sockets); nothing outside
// src/platform/host sees it.
#pragma once

#include <sys/types.h>

#include "platform/security.h"

namespace vovu::platform {

struct SecurityDescriptor::Impl {
  bool protectedDacl = false;
  bool ownerIsSystem = false;      // "O:SY" (or "O:BA": the owner is uid 0 either way)
  bool hasAdministrators = false;  // an entry for BA: the group becomes gid 0
  mode_t systemBits = 0;           // rwx of SY
  mode_t administratorBits = 0;    // rwx of BA
  mode_t everyoneBits = 0;         // rwx of BU, AU, WD, IU
  // Whether BU, AU, WD or IU is granted FILE_APPEND_DATA (in FA, GA, FW, GW, or a number
  // with 0x4 or a generic write or all right). The write bit above is FILE_WRITE_DATA
  // alone; on a pipe, FILE_APPEND_DATA is the right to create further instances of it.
  bool everyoneAppends = false;

  // The mode bits of an object owned by `owner` in group `group` under this DACL. The
  // owner class gets what the owner is granted: SY's rights when it is root, else only what
  // everybody gets (an owner holds no right of its own, but may always change the mode, as a
  // Windows owner may always rewrite the DACL).
  [[nodiscard]] mode_t ModeFor(uid_t owner, gid_t group) const {
    const mode_t ownerBits = (owner == 0 ? systemBits : 0) | everyoneBits;
    const mode_t groupBits = (group == 0 ? administratorBits : 0) | everyoneBits;
    return static_cast<mode_t>(ownerBits << 6 | groupBits << 3 | everyoneBits);
  }
};

}  // namespace vovu::platform
