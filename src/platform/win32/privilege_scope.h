// The backup, restore and take-ownership privileges of the process, enabled only while a
// scope that needs them lives: opening another user's entry to check, move or delete it
// without following a link, creating a directory owned by LocalSystem, taking ownership.
// Scopes may overlap across threads: the first enables, the last puts back the state found.
// Best effort: without a privilege, the call that needed it fails with the system's error,
// which the scope's end leaves as the last error.
#pragma once

namespace vovu::platform::win32 {

class FileAdminPrivileges {
 public:
  FileAdminPrivileges();
  ~FileAdminPrivileges();
  FileAdminPrivileges(const FileAdminPrivileges&) = delete;
  FileAdminPrivileges& operator=(const FileAdminPrivileges&) = delete;

 private:
  static void RestorePrivileges();
};

}  // namespace vovu::platform::win32
