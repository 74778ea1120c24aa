// The host registry's SQLite store.
//
// One connection per process, shared by its threads under a mutex and opened again when the
// machine root changes. A connection must not cross fork(): the child would share the
// parent's locks and memory-mapped index without owning them, so the connection is closed
// just before every fork and each side opens a new one when it next needs it.
//
// The database is in write-ahead-log mode: readers do not wait for a writer, and a writer
// waits for another writer (busy timeout) instead of failing. The store's directory is
// world-writable with the sticky bit, and its files readable and writable by every user, so
// that any process of the machine can open it; who may change which key is decided by the
// registry layer (registry_paths.h), not by the file system.
#include "platform/host/registry/registry_store.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "platform/host/core/machine_root.h"
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

// Creates the tables and the standard keys of a new store (schema version 0).
void InitializeStore(sqlite3* db) {
  Exec(db, "BEGIN IMMEDIATE");
  Statement version(db, "PRAGMA user_version");
  if (version.Step() && version.IntAt(0) >= kSchemaVersion) {
    Exec(db, "COMMIT");
    return;
  }
  Exec(db, kSchema);
  SqliteSession session(db);
  for (const std::u16string hive : {kHiveLocalMachine, kHiveUsers}) {
    if (!session.KeyExists(hive))
      session.AddKey(hive, u"", hive);
  }
  for (const char16_t* standard : kStandardKeys) {
    KeyPath path;
    AppendSubKeyPath(standard, &path);
    for (std::size_t depth = 2; depth <= path.size(); ++depth) {
      const KeyPath key(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth));
      const KeyPath parent(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth - 1));
      if (!session.KeyExists(FoldedKeyPath(key)))
        session.AddKey(FoldedKeyPath(key), FoldedKeyPath(parent), key.back());
    }
  }
  Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  Exec(db, "COMMIT");
}

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

std::mutex& StoreMutex() {
  static std::mutex mutex;
  return mutex;
}

Connection& TheConnection() {
  static Connection connection;
  return connection;
}

void BeforeFork() {
  StoreMutex().lock();
  TheConnection().Close();
}

void AfterFork() {
  StoreMutex().unlock();
}

// Makes the store's directory and file if needed, with the permissions described above.
Win32Error PrepareFiles(const std::string& directory, const std::string& file) {
  if (mkdir(directory.c_str(), 01777) == 0) {
    chmod(directory.c_str(), 01777);  // past the umask
  } else if (errno != EEXIST) {
    return Win32ErrorFromErrno(errno, directory);
  }
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    fchmod(fd, 0666);
    close(fd);
  } else if (errno != EEXIST) {
    return Win32ErrorFromErrno(errno, file);
  }
  return kErrorSuccess;
}

Win32Error Open(Connection* connection, const std::string& root) {
  const std::string directory = root + "/registry";
  const std::string file = directory + "/machine.db";
  const Win32Error prepared = PrepareFiles(directory, file);
  if (prepared != kErrorSuccess)
    return prepared;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return kErrorRegistryIoFailed;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  try {
    Exec(db, "PRAGMA journal_mode = WAL");
    Exec(db, "PRAGMA synchronous = NORMAL");
    InitializeStore(db);
  } catch (const StoreFailure& failure) {
    sqlite3_close_v2(db);
    return failure.code;
  }
  connection->db = db;
  connection->root = root;
  return kErrorSuccess;
}

}  // namespace

Win32Error RunInRegistryStore(bool write, const std::function<Win32Error(StoreSession&)>& work) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] { pthread_atfork(BeforeFork, AfterFork, AfterFork); });

  std::lock_guard lock(StoreMutex());
  Connection& connection = TheConnection();
  const std::string root = MachineRoot();
  if (connection.db != nullptr && connection.root != root)
    connection.Close();
  if (connection.db == nullptr) {
    const Win32Error opened = Open(&connection, root);
    if (opened != kErrorSuccess)
      return opened;
  }
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

}  // namespace vovu::platform::host
