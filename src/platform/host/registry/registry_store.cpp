// The host registry's SQLite stores.
//
// One connection per store and process, shared by its threads under a mutex and opened again
// when the machine root changes. A connection must not cross fork(): the child would share
// the parent's locks without owning them, so the connections are closed just before every
// fork and each side opens new ones when it next needs them.
//
// The file system enforces the same rule as the registry layer (registry_paths.h), so that
// nobody can go around that layer by opening the files: the machine's hives live in a store
// only root may write and everybody may read; each user's hive (HKU\<SID> and
// HKU\<SID>_Classes) in a store of that user's own. Each store keeps a rollback journal
// beside it, which a reader does not need to write; a writer waits for another (busy
// timeout) instead of failing.
#include "platform/host/registry/registry_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/host/core/machine_root.h"
#include "platform/host/core/unique_fd.h"
#include "platform/host/registry/registry_paths.h"

namespace vovu::platform::host {
namespace {

constexpr Win32Error kErrorRegistryIoFailed = 1016;
constexpr int kBusyTimeoutMilliseconds = 30000;
constexpr int kSchemaVersion = 1;

// Keys a Windows installation always has and the program opens without creating them.
constexpr const char16_t* kStandardKeys[] = {
    u"HKLM\\SOFTWARE\\Classes\\CLSID",
    u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID",
    u"HKLM\\SOFTWARE\\Microsoft\\Cryptography",
    u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Desktop\\NameSpace",
    u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace",
    u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager",
    u"HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Cryptography",
    u"HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Desktop\\"
    u"NameSpace",
    u"HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\"
    u"NameSpace",
    u"HKLM\\SYSTEM\\CurrentControlSet\\Services",
    u"HKU\\.DEFAULT",
    u"HKU\\S-1-5-18",
};

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS registry_keys("
    "  folded TEXT PRIMARY KEY, parent TEXT, name TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS registry_keys_by_parent ON registry_keys(parent, folded);"
    "CREATE TABLE IF NOT EXISTS registry_values("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT NOT NULL, folded TEXT NOT NULL,"
    "  name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    "  UNIQUE(key, folded));";

// A database failure inside a transaction; it unwinds to RunInRegistryStore.
struct StoreFailure {
  Win32Error code;
};

[[noreturn]] void Fail() {
  throw StoreFailure{kErrorRegistryIoFailed};
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail();
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(statement_);
      Fail();
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Text(int index, const std::u16string& text) {
    Check(sqlite3_bind_text16(statement_, index, text.data(),
                              static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Blob(int index, const std::string& bytes) {
    // A null pointer would bind NULL; an empty value is a zero-length blob.
    static const char kEmpty = 0;
    Check(sqlite3_bind_blob(statement_, index, bytes.empty() ? &kEmpty : bytes.data(),
                            static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Int(int index, std::int64_t value) {
    Check(sqlite3_bind_int64(statement_, index, value));
    return *this;
  }

  // True with a row, false when done.
  bool Step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW)
      return true;
    if (rc == SQLITE_DONE)
      return false;
    Fail();
  }

  std::u16string TextAt(int column) {
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(statement_, column));
    const int bytes = sqlite3_column_bytes16(statement_, column);
    return text == nullptr ? std::u16string()
                           : std::u16string(text, static_cast<std::size_t>(bytes) / 2);
  }
  std::string BlobAt(int column) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
    const int bytes = sqlite3_column_bytes(statement_, column);
    return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(bytes));
  }
  std::int64_t IntAt(int column) { return sqlite3_column_int64(statement_, column); }

 private:
  static void Check(int rc) {
    if (rc != SQLITE_OK)
      Fail();
  }
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteSession final : public StoreSession {
 public:
  explicit SqliteSession(sqlite3* db) : db_(db) {}

  bool KeyExists(const std::u16string& key) override {
    Statement s(db_, "SELECT 1 FROM registry_keys WHERE folded = ?1");
    return s.Text(1, key).Step();
  }

  void AddKey(const std::u16string& key, const std::u16string& parent,
              const std::u16string& name) override {
    Statement s(db_, "INSERT INTO registry_keys(folded, parent, name) VALUES(?1, ?2, ?3)");
    s.Text(1, key).Text(2, parent).Text(3, name).Step();
  }

  void DeleteTree(const std::u16string& key, bool withKey) override {
    // Names never hold "\", so the keys below `key` are exactly the folded paths from
    // key + "\" up to (not including) key + "]", the next character.
    Statement below(db_,
                    "DELETE FROM registry_keys WHERE folded >= ?1 || '\\' AND folded < ?1 || ']'");
    below.Text(1, key).Step();
    Statement values(db_,
                     "DELETE FROM registry_values WHERE key = ?1 OR "
                     "(key >= ?1 || '\\' AND key < ?1 || ']')");
    values.Text(1, key).Step();
    if (withKey) {
      Statement self(db_, "DELETE FROM registry_keys WHERE folded = ?1");
      self.Text(1, key).Step();
    }
  }

  std::optional<std::u16string> SubKeyAt(const std::u16string& key, std::uint32_t index) override {
    Statement s(db_,
                "SELECT name FROM registry_keys WHERE parent = ?1 ORDER BY folded "
                "LIMIT 1 OFFSET ?2");
    if (!s.Text(1, key).Int(2, index).Step())
      return std::nullopt;
    return s.TextAt(0);
  }

  StoredSizes SubKeySizes(const std::u16string& key) override {
    Statement s(db_, "SELECT name FROM registry_keys WHERE parent = ?1");
    s.Text(1, key);
    StoredSizes sizes;
    while (s.Step()) {
      ++sizes.count;
      sizes.maxNameLength =
          std::max(sizes.maxNameLength, static_cast<std::uint32_t>(s.TextAt(0).size()));
    }
    return sizes;
  }

  std::optional<StoredValue> Value(const std::u16string& key, const std::u16string& name) override {
    Statement s(db_, "SELECT name, type, data FROM registry_values WHERE key = ?1 AND folded = ?2");
    if (!s.Text(1, key).Text(2, FoldKeyName(name)).Step())
      return std::nullopt;
    return Row(s);
  }

  std::optional<StoredValue> ValueAt(const std::u16string& key, std::uint32_t index) override {
    Statement s(db_,
                "SELECT name, type, data FROM registry_values WHERE key = ?1 ORDER BY id "
                "LIMIT 1 OFFSET ?2");
    if (!s.Text(1, key).Int(2, index).Step())
      return std::nullopt;
    return Row(s);
  }

  StoredSizes ValueSizes(const std::u16string& key) override {
    Statement s(db_, "SELECT name, length(data) FROM registry_values WHERE key = ?1");
    s.Text(1, key);
    StoredSizes sizes;
    while (s.Step()) {
      ++sizes.count;
      sizes.maxNameLength =
          std::max(sizes.maxNameLength, static_cast<std::uint32_t>(s.TextAt(0).size()));
      sizes.maxDataSize = std::max(sizes.maxDataSize, static_cast<std::uint32_t>(s.IntAt(1)));
    }
    return sizes;
  }

  void SetValue(const std::u16string& key, const StoredValue& value) override {
    Statement s(db_,
                "INSERT INTO registry_values(key, folded, name, type, data) "
                "VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(key, folded) "
                "DO UPDATE SET type = excluded.type, data = excluded.data");
    s.Text(1, key).Text(2, FoldKeyName(value.name)).Text(3, value.name).Int(4, value.type);
    s.Blob(5, value.data).Step();
  }

  bool DeleteValue(const std::u16string& key, const std::u16string& name) override {
    Statement s(db_, "DELETE FROM registry_values WHERE key = ?1 AND folded = ?2");
    s.Text(1, key).Text(2, FoldKeyName(name)).Step();
    return sqlite3_changes(db_) > 0;
  }

 private:
  static StoredValue Row(Statement& s) {
    return StoredValue{s.TextAt(0), static_cast<std::uint32_t>(s.IntAt(1)), s.BlobAt(2)};
  }
  sqlite3* db_;
};

// Whether the store's schema is in place, read without taking the write lock (a reader of
// the machine's store may not take it).
bool StoreReady(sqlite3* db) {
  Statement version(db, "PRAGMA user_version");
  return version.Step() && version.IntAt(0) >= kSchemaVersion;
}

// Adds `standard` and the keys above it, below its hive.
void AddKeyPath(SqliteSession& session, const std::u16string& standard) {
  KeyPath path;
  AppendSubKeyPath(standard, &path);
  for (std::size_t depth = 2; depth <= path.size(); ++depth) {
    const KeyPath key(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth));
    const KeyPath parent(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth - 1));
    if (!session.KeyExists(FoldedKeyPath(key)))
      session.AddKey(FoldedKeyPath(key), FoldedKeyPath(parent), key.back());
  }
}

// Creates the tables and the first keys of a new store: the standard keys for the machine's
// store, the user's two hive keys (HKU\<SID> and HKU\<SID>_Classes) for a user's store.
void InitializeStore(sqlite3* db, const std::u16string& userSid) {
  if (StoreReady(db))
    return;
  Exec(db, "BEGIN IMMEDIATE");
  if (StoreReady(db)) {
    Exec(db, "COMMIT");
    return;
  }
  Exec(db, kSchema);
  SqliteSession session(db);
  for (const std::u16string hive : {kHiveLocalMachine, kHiveUsers}) {
    if (!session.KeyExists(hive))
      session.AddKey(hive, u"", hive);
  }
  if (userSid.empty()) {
    for (const char16_t* standard : kStandardKeys)
      AddKeyPath(session, standard);
  } else {
    AddKeyPath(session, std::u16string(kHiveUsers) + u"\\" + userSid);
    AddKeyPath(session, std::u16string(kHiveUsers) + u"\\" + userSid + u"_Classes");
  }
  Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  Exec(db, "COMMIT");
}

// An open store: the machine's (uid -1) or one user's.
struct Connection {
  sqlite3* db = nullptr;
  std::string root;

  void Close() {
    if (db != nullptr)
      sqlite3_close_v2(db);
    db = nullptr;
    root.clear();
  }
  ~Connection() { Close(); }
};

constexpr std::int64_t kMachineStore = -1;

std::mutex& StoreMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::int64_t, Connection>& TheConnections() {
  static auto* connections = new std::map<std::int64_t, Connection>;
  return *connections;
}

void BeforeFork() {
  StoreMutex().lock();
  TheConnections().clear();
}

void AfterFork() {
  StoreMutex().unlock();
}

// Removes what is at `path` (a directory and its content included), never following a
// link. Used by root on a user's store directory that is not that user's.
void RemoveWithoutFollowing(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        RemoveWithoutFollowing(path + "/" + name);
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

// The machine's store: <root>/registry, root's and closed to others (0755), holding
// machine.db (0644): everybody reads, only root writes, and nobody else can add a journal
// file that root would later replay. As root, an older, more open layout is closed again.
Win32Error PrepareMachineFiles(const std::string& directory, const std::string& file) {
  const bool root = geteuid() == 0;
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
    return Win32ErrorFromErrno(errno, directory);
  if (root) {
    chmod(directory.c_str(), 0755);
    // Where the users' stores go: anyone may make their own (see PrepareUserFiles).
    const std::string users = directory + "/users";
    if (mkdir(users.c_str(), 01733) == 0 || errno == EEXIST)
      chmod(users.c_str(), 01733);
  }
  const UniqueFd fd(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.valid()) {
    if (root)
      fchmod(fd.get(), 0644);
  } else if (errno != EACCES && errno != EROFS) {
    return Win32ErrorFromErrno(errno, file);
  }
  return kErrorSuccess;
}

// A user's store: <root>/registry/users/<uid>/ntuser.db, the directory and file that user's
// alone (0700, 0600). Anyone may create a directory in users/ (01733: sticky, not listable),
// so that a user's own process can make its store; a directory there that is not its
// user's is no store: root removes it, the user is refused (5).
Win32Error PrepareUserFiles(const std::string& users, const std::string& directory, uid_t uid) {
  const bool root = geteuid() == 0;
  if (mkdir(users.c_str(), 01733) == 0 || (root && errno == EEXIST))
    chmod(users.c_str(), 01733);
  struct stat st;
  if (lstat(directory.c_str(), &st) == 0 && (!S_ISDIR(st.st_mode) || st.st_uid != uid)) {
    if (!root)
      return kErrorAccessDenied;
    RemoveWithoutFollowing(directory);
  }
  if (mkdir(directory.c_str(), 0700) == 0) {
    if (root && chown(directory.c_str(), uid, static_cast<gid_t>(-1)) != 0) {
      const Win32Error code = Win32ErrorFromErrno(errno, directory);
      rmdir(directory.c_str());
      return code;
    }
  } else if (errno != EEXIST) {
    return Win32ErrorFromErrno(errno, directory);
  }
  return kErrorSuccess;
}

// The uid whose hive `path` lies in, or kMachineStore: HKU\<SID> and HKU\<SID>_Classes of a
// user other than LocalSystem are that user's store; everything else is the machine's.
std::int64_t StoreOf(const std::u16string& foldedKey) {
  const std::u16string prefix = u"HKU\\S-1-5-21-1000-1000-1000-";
  if (foldedKey.compare(0, prefix.size(), prefix) != 0)
    return kMachineStore;
  std::int64_t uid = 0;
  std::size_t i = prefix.size();
  for (; i < foldedKey.size() && foldedKey[i] >= u'0' && foldedKey[i] <= u'9'; ++i) {
    uid = uid * 10 + (foldedKey[i] - u'0');
    if (uid > 0xFFFFFFFFLL)
      return kMachineStore;
  }
  if (i == prefix.size() || uid == 0)
    return kMachineStore;
  const std::u16string rest = foldedKey.substr(i);
  if (rest.empty() || rest[0] == u'\\' || rest == u"_CLASSES" ||
      rest.compare(0, 9, u"_CLASSES\\") == 0) {
    return uid;
  }
  return kMachineStore;
}

// Makes the directories of `store` and names its file.
Win32Error PrepareStore(const std::string& root, std::int64_t store, std::string* file) {
  const std::string directory = root + "/registry";
  if (store == kMachineStore) {
    *file = directory + "/machine.db";
    return PrepareMachineFiles(directory, *file);
  }
  const std::string userDirectory = directory + "/users/" + std::to_string(store);
  *file = userDirectory + "/ntuser.db";
  return PrepareUserFiles(directory + "/users", userDirectory, static_cast<uid_t>(store));
}

Win32Error Open(Connection* connection, const std::string& root, const std::string& file,
                const std::u16string& userSid) {
  sqlite3* db = nullptr;
  // Read-only when the file system allows no more (the machine's store for everybody but
  // root); a link in the store's place is refused.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    const int code = sqlite3_extended_errcode(db);
    sqlite3_close_v2(db);
    return code == SQLITE_CANTOPEN || code == SQLITE_PERM ? kErrorAccessDenied
                                                          : kErrorRegistryIoFailed;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  try {
    if (!sqlite3_db_readonly(db, "main")) {
      // A rollback journal beside the file: readers need nothing but read access.
      // Durability against power loss is not this emulation's business.
      Exec(db, "PRAGMA journal_mode = DELETE");
      Exec(db, "PRAGMA synchronous = OFF");
    }
    InitializeStore(db, userSid);
  } catch (const StoreFailure& failure) {
    sqlite3_close_v2(db);
    return failure.code;
  }
  connection->db = db;
  connection->root = root;
  return kErrorSuccess;
}

// While it lives, the calling thread's file access is the store's owner's (only for root):
// root works in a user's store with that user's rights, so no link or file the user placed
// there makes it touch anything of root's; and the machine's store is opened with root's
// own rights even by a thread that impersonates a user, so that the connection, which the
// process keeps, can write (the registry layer decides who may).
class StoreFileIdentity {
 public:
  explicit StoreFileIdentity(std::int64_t store) {
    if (geteuid() != 0)
      return;
    active_ = true;
    previousGid_ = setfsgid(static_cast<gid_t>(-1));
    previousUid_ = setfsuid(store == kMachineStore ? 0 : static_cast<uid_t>(store));
    if (store == kMachineStore)
      setfsgid(0);
  }
  ~StoreFileIdentity() {
    if (!active_)
      return;
    setfsuid(previousUid_);
    setfsgid(previousGid_);
  }
  StoreFileIdentity(const StoreFileIdentity&) = delete;
  StoreFileIdentity& operator=(const StoreFileIdentity&) = delete;

 private:
  bool active_ = false;
  int previousUid_ = 0;
  int previousGid_ = 0;
};

}  // namespace

Win32Error RunInRegistryStore(const std::u16string& foldedKey, bool write,
                              const std::function<Win32Error(StoreSession&)>& work) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] { pthread_atfork(BeforeFork, AfterFork, AfterFork); });

  std::lock_guard lock(StoreMutex());
  const std::int64_t store = StoreOf(foldedKey);
  Connection& connection = TheConnections()[store];
  const std::string root = MachineRoot();
  if (connection.db != nullptr && connection.root != root)
    connection.Close();
  if (connection.db == nullptr) {
    std::string file;
    Win32Error opened;
    {
      const StoreFileIdentity asRoot(kMachineStore);
      opened = PrepareStore(root, store, &file);
    }
    if (opened == kErrorSuccess) {
      // The user's directory is made by root; its files as the user.
      const StoreFileIdentity identity(store);
      opened = Open(
          &connection, root, file,
          store == kMachineStore ? std::u16string() : SidOfUid(static_cast<std::uint32_t>(store)));
    }
    if (opened != kErrorSuccess)
      return opened;
  }
  const StoreFileIdentity identity(store);
  sqlite3* db = connection.db;
  try {
    Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    SqliteSession session(db);
    Win32Error status = kErrorSuccess;
    try {
      status = work(session);
    } catch (...) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    Exec(db, status == kErrorSuccess ? "COMMIT" : "ROLLBACK");
    return status;
  } catch (const StoreFailure& failure) {
    if (!sqlite3_get_autocommit(db))
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return failure.code;
  }
}

Win32Error RunInRegistryStore(bool write, const std::function<Win32Error(StoreSession&)>& work) {
  return RunInRegistryStore(std::u16string(kHiveLocalMachine), write, work);
}

}  // namespace vovu::platform::host
