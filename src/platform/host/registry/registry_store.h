// The host registry's persistent stores: SQLite databases in the machine root, one for the
// machine's hives (<root>/registry/machine.db, written by root only) and one per user for
// that user's hive (<root>/registry/users/<uid>/ntuser.db, the user's own).
// Host-only; used by registry_host.cpp.
//
// Keys are rows named by their folded full path (see registry_paths.h) with the name they
// were created with; values are rows of their key with name, type and bytes. Every
// operation is one transaction; writers take the write lock when they begin and wait up to
// 30 s for another process's transaction, so the service, the command line and tests may
// use the same machine at once. A new store starts with the keys every Windows
// installation has that the program opens without creating them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/error.h"

namespace vovu::platform::host {

struct StoredValue {
  std::u16string name;
  std::uint32_t type = 0;
  std::string data;
};

struct StoredSizes {
  std::uint32_t count = 0;
  std::uint32_t maxNameLength = 0;  // characters
  std::uint32_t maxDataSize = 0;    // bytes, values only
};

// The store seen from inside one transaction. All key arguments are folded paths.
class StoreSession {
 public:
  virtual ~StoreSession() = default;

  [[nodiscard]] virtual bool KeyExists(const std::u16string& key) = 0;
  // Adds a key below the existing key `parent`; `name` is its last name as given.
  virtual void AddKey(const std::u16string& key, const std::u16string& parent,
                      const std::u16string& name) = 0;
  // Deletes the key's subkeys and values, and the key itself when `withKey`.
  virtual void DeleteTree(const std::u16string& key, bool withKey) = 0;
  // The name of subkey number `index` in order of folded names.
  [[nodiscard]] virtual std::optional<std::u16string> SubKeyAt(const std::u16string& key,
                                                               std::uint32_t index) = 0;
  [[nodiscard]] virtual StoredSizes SubKeySizes(const std::u16string& key) = 0;

  [[nodiscard]] virtual std::optional<StoredValue> Value(const std::u16string& key,
                                                         const std::u16string& name) = 0;
  // Value number `index` in creation order.
  [[nodiscard]] virtual std::optional<StoredValue> ValueAt(const std::u16string& key,
                                                           std::uint32_t index) = 0;
  [[nodiscard]] virtual StoredSizes ValueSizes(const std::u16string& key) = 0;
  // Writes a value; an existing one keeps its name and place and takes the type and bytes.
  virtual void SetValue(const std::u16string& key, const StoredValue& value) = 0;
  // False when there was no such value.
  virtual bool DeleteValue(const std::u16string& key, const std::u16string& name) = 0;
};

// Runs `work` as one transaction on the store that holds the key `foldedKey` in the current
// machine root (opened or created as needed): a user's store for HKU\<SID> and
// HKU\<SID>_Classes and the keys below them, else the machine's. `write` takes the write
// lock at the start. The result is `work`'s status, which commits on 0 and rolls back
// otherwise, or the store's own failure: 1016 (ERROR_REGISTRY_IO_FAILED) for a database
// error (a write to a store the caller may only read included), 5 when the store's files
// cannot be opened or are not their user's, the errno's Win32 code when they cannot be made.
// Safe from several threads (they take turns) and across fork().
[[nodiscard]] Win32Error RunInRegistryStore(const std::u16string& foldedKey, bool write,
                                            const std::function<Win32Error(StoreSession&)>& work);

// The same on the machine's store (HKLM and the machine's part of HKU).
[[nodiscard]] Win32Error RunInRegistryStore(bool write,
                                            const std::function<Win32Error(StoreSession&)>& work);

}  // namespace vovu::platform::host
