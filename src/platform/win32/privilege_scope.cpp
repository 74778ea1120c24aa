#include "platform/win32/privilege_scope.h"

#include <mutex>

#include "platform/win32/windows_api.h"

namespace vovu::platform::win32 {
namespace {

constexpr int kPrivilegeCount = 3;

struct Saved {
  std::mutex mutex;
  int users = 0;
  bool changed = false;
  // TOKEN_PRIVILEGES with room for all three entries.
  DWORD count = 0;
  LUID_AND_ATTRIBUTES previous[kPrivilegeCount] = {};
};

Saved& State() {
  static Saved saved;
  return saved;
}

struct Privileges {
  DWORD count;
  LUID_AND_ATTRIBUTES entries[kPrivilegeCount];
};

bool Adjust(const Privileges& wanted, Privileges* previous) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  DWORD size = sizeof(Privileges);
  const BOOL ok = ::AdjustTokenPrivileges(
      token, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(const_cast<Privileges*>(&wanted)),
      previous != nullptr ? sizeof(Privileges) : 0, reinterpret_cast<PTOKEN_PRIVILEGES>(previous),
      previous != nullptr ? &size : nullptr);
  ::CloseHandle(token);
  return ok != FALSE;
}

}  // namespace

FileAdminPrivileges::FileAdminPrivileges() {
  Saved& saved = State();
  const std::lock_guard<std::mutex> lock(saved.mutex);
  if (saved.users++ > 0)
    return;
  static const wchar_t* const kNames[kPrivilegeCount] = {SE_BACKUP_NAME, SE_RESTORE_NAME,
                                                         SE_TAKE_OWNERSHIP_NAME};
  Privileges wanted{};
  for (const wchar_t* name : kNames) {
    if (::LookupPrivilegeValueW(nullptr, name, &wanted.entries[wanted.count].Luid))
      wanted.entries[wanted.count++].Attributes = SE_PRIVILEGE_ENABLED;
  }
  Privileges previous{};
  saved.changed = wanted.count > 0 && Adjust(wanted, &previous);
  saved.count = previous.count;
  for (DWORD i = 0; i < previous.count && i < kPrivilegeCount; ++i)
    saved.previous[i] = previous.entries[i];
}

FileAdminPrivileges::~FileAdminPrivileges() {
  // The error of the call made inside the scope stays the last error.
  const DWORD error = ::GetLastError();
  RestorePrivileges();
  ::SetLastError(error);
}

void FileAdminPrivileges::RestorePrivileges() {
  Saved& saved = State();
  const std::lock_guard<std::mutex> lock(saved.mutex);
  if (--saved.users > 0 || !saved.changed)
    return;
  // Only the privileges this scope changed are listed in the previous state.
  Privileges restore{};
  for (DWORD i = 0; i < saved.count && i < kPrivilegeCount; ++i)
    restore.entries[restore.count++] = saved.previous[i];
  if (restore.count > 0)
    (void)Adjust(restore, nullptr);
  saved.changed = false;
}

}  // namespace vovu::platform::win32
