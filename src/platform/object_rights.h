// Who besides the machine's administrators may change a file or folder, as its own owner
// and DACL say.
//
// Trusted are LocalSystem (S-1-5-18), Administrators (S-1-5-32-544), TrustedInstaller and
// the creator placeholders (S-1-3-0, S-1-3-1, which grant nothing on the object itself);
// every other SID is a user who is not an administrator. An entry that only children inherit
// grants nothing here. Deny entries are not weighed: an allow entry counts even when a deny
// entry would take it away again, so the answer errs on the side of "open".
//
// Windows: GetFileSecurityW (owner and DACL), the allow entries of every kind.
// Wine makes a file's descriptor up from its Unix mode (owner: the wine user, with full
// access; Everyone: read and execute for 0755, full access for 0777), so under wine, and
// only there (wine's own ntdll export, which Windows cannot present), the process's own user
// also counts as trusted; Everyone, Users, Authenticated Users and INTERACTIVE never do.
// Host: the owner uid and the mode bits: uid 0 (and the machine root's owner in single-user
// mode) and gid 0 are trusted; group bits of another group and the others' bits are a
// non-administrator's rights (docs/host-platform.md).
#pragma once

#include <string>

namespace vovu::platform {

// For each kind of change, the first untrusted SID found that may make it; empty for none.
struct UntrustedRights {
  std::u16string owner;           // the owner itself, when it is not trusted
  std::u16string writeData;       // FILE_WRITE_DATA / FILE_ADD_FILE, or generic write
  std::u16string appendData;      // FILE_APPEND_DATA / FILE_ADD_SUBDIRECTORY
  std::u16string deleteSelf;      // DELETE
  std::u16string deleteChild;     // FILE_DELETE_CHILD
  std::u16string changeSecurity;  // WRITE_DAC, WRITE_OWNER, generic all
};

// Reads `path`'s owner and DACL (following a link, as GetFileSecurityW does). False with the
// last error when they cannot be read.
[[nodiscard]] bool ReadUntrustedRights(const std::u16string& path, UntrustedRights* rights);

}  // namespace vovu::platform
