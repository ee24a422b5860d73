// The registry store: one SQLite database file shared by every process.
//
// Keys are rows of `keys`, addressed by their folded (upper-case) full path,
// so that names compare without case while the stored path keeps the case of
// the key's first creation. Values are rows of `vals` under the folded path of
// their key. Every operation opens the store, works in one transaction and
// closes it again: nothing is held between calls, a reader never sees half a
// write, and a writer that dies leaves SQLite's journal to undo its work.
#include "support/registry.h"

#include <fcntl.h>
#include <locale.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <optional>

#include "support/exceptions.h"
#include "support/text.h"

namespace registry {
namespace {

constexpr const char* kDefaultStore = "/var/lib/halvex/registry.db";
// Marks a database as a registry store ("HREG"), so that some other SQLite
// file named by mistake is refused rather than filled with keys.
constexpr int kApplicationId = 0x48524547;
// A store busy with another process's write is waited for this long.
constexpr int kBusyTimeoutMs = 10000;
// ERROR_REGISTRY_CORRUPT.
constexpr uint32_t kRegistryCorrupt = 1015;

// An SQLite failure on its way to the public operation, which decides whether
// it becomes an error code or an exception.
struct StoreError {
  int rc;
  std::string message;
};

bool isCorruption(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Case folding as the registry compares names: upper case, by the Unicode
// rules of the C.UTF-8 locale so that the result does not depend on the
// process locale (the folded text is kept in the store).
std::string fold(std::wstring_view s) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::wstring upper(s);
  for (wchar_t& c : upper) {
    if (utf8)
      c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), utf8));
    else if (c >= L'a' && c <= L'z')
      c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text::toUtf8(upper);
}

// A key path split into its components; empty components ("\\", a leading
// or trailing "\") are dropped, so "" is the root.
struct KeyPath {
  std::vector<std::wstring> parts;

  explicit KeyPath(const std::wstring& subKey) {
    size_t start = 0;
    while (start <= subKey.size()) {
      size_t end = subKey.find(L'\\', start);
      if (end == std::wstring::npos) end = subKey.size();
      if (end > start) parts.push_back(subKey.substr(start, end - start));
      start = end + 1;
    }
  }
  std::wstring prefix(size_t count) const {
    std::wstring out;
    for (size_t i = 0; i < count; ++i) out += (i ? L"\\" : L"") + parts[i];
    return out;
  }
  std::string folded(size_t count) const { return fold(prefix(count)); }
  std::string folded() const { return folded(parts.size()); }
  bool isRoot() const { return parts.empty(); }
};

// A statement of the connection's cache, or one of its own when the cached
// one is in use. A cached statement is reset and its bindings cleared when
// the Statement ends, so that the next operation starts it afresh.
class Statement {
 public:
  Statement(sqlite3* db, sqlite3_stmt* stmt, bool* inUse) : db_(db), stmt_(stmt), inUse_(inUse) {}
  Statement(sqlite3* db, const char* sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) throw StoreError{rc, sqlite3_errmsg(db)};
  }
  ~Statement() {
    if (!inUse_) {
      sqlite3_finalize(stmt_);
      return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    *inUse_ = false;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& text(int index, const std::string& value) {
    check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
  }
  // Bound without a copy (a value may be megabytes): `value` must outlive
  // the Statement, whose end resets the statement and clears its bindings.
  Statement& blob(int index, const std::string& value) {
    // A zero-length blob must still be a blob, not NULL.
    check(sqlite3_bind_blob(stmt_, index, value.empty() ? "" : value.data(), static_cast<int>(value.size()), SQLITE_STATIC));
    return *this;
  }
  Statement& integer(int index, int64_t value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError{rc, sqlite3_errmsg(db_)};
  }
  int64_t columnInt(int index) { return sqlite3_column_int64(stmt_, index); }
  std::string columnText(int index) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, index))) : std::string();
  }
  std::string columnBlob(int index) {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, index));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, index))) : std::string();
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) throw StoreError{rc, sqlite3_errmsg(db_)};
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  bool* inUse_ = nullptr;
};

class Connection {
 public:
  explicit Connection(sqlite3* db) : db_(db) {}
  // Closing with a transaction still open rolls it back.
  ~Connection() {
    for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.stmt);
    sqlite3_close_v2(db_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Ends a transaction left open by a failed statement.
  void rollback() noexcept {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void exec(const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc == SQLITE_OK) return;
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw StoreError{rc, message};
  }
  // A transaction's BEGIN and COMMIT, compiled once like the questions:
  // every operation has one, and a run makes tens of thousands.
  void run(const char* sql) { prepare(sql).step(); }
  int64_t scalar(const char* sql) {
    Statement s = prepare(sql);
    return s.step() ? s.columnInt(0) : 0;
  }
  // Compiled once per connection: a run asks the same few questions of the
  // store for every domain, and compiling them cost more than answering.
  // `sql` is one of this file's literals, so its address names it.
  Statement prepare(const char* sql) {
    Cached& cached = statements_[sql];
    if (!cached.stmt) {
      const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached.stmt, nullptr);
      if (rc != SQLITE_OK) {
        statements_.erase(sql);
        throw StoreError{rc, sqlite3_errmsg(db_)};
      }
    }
    if (cached.inUse) return Statement(db_, sql);
    cached.inUse = true;
    return Statement(db_, cached.stmt, &cached.inUse);
  }
  int changes() { return sqlite3_changes(db_); }

 private:
  struct Cached {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;
  };
  sqlite3* db_;
  std::map<const char*, Cached> statements_;
};

std::wstring wide(const std::string& path) { return text::fromAnsi(path); }

[[noreturn]] void raiseCorrupt(const std::string& path, const std::string& detail) {
  raiseWindowsError(L"registry store " + wide(path) + L" is corrupt or not a registry store (" + text::fromUtf8(detail) + L")",
                    kRegistryCorrupt, VLOC(L"", "registry::openStore"));
}

// Creates the store's missing directories (0700: the store is root's own).
void createParentDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw StoreError{SQLITE_CANTOPEN, "mkdir " + dir + ": " + strerror(errno)};
  }
}

// Makes an empty store file with mode 0600; O_EXCL so that two processes
// creating it at once cannot truncate each other's work.
void createStoreFile(const std::string& path) {
  createParentDirectories(path);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno != EEXIST) throw StoreError{SQLITE_CANTOPEN, "create " + path + ": " + strerror(errno)};
  if (fd >= 0) close(fd);
}

constexpr const char* kSchema =
    "CREATE TABLE keys(fold TEXT PRIMARY KEY, path TEXT NOT NULL, parent TEXT NOT NULL);"
    "CREATE INDEX keys_parent ON keys(parent);"
    "CREATE TABLE vals(id INTEGER PRIMARY KEY, key TEXT NOT NULL, fold TEXT NOT NULL, name TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
    "PRAGMA application_id = 1213351239;";  // kApplicationId
static_assert(kApplicationId == 1213351239);

// Lays the schema into an empty database; another process may be doing the
// same, so the check is repeated under the write lock.
void initialiseSchema(Connection& c, const std::string& path) {
  // WAL lets readers go on while a writer works; it must be set outside a transaction.
  c.exec("PRAGMA journal_mode = WAL");
  c.exec("BEGIN IMMEDIATE");
  const int64_t id = c.scalar("PRAGMA application_id");
  if (id == kApplicationId) return c.exec("COMMIT");
  if (id != 0 || c.scalar("SELECT count(*) FROM sqlite_master") != 0) raiseCorrupt(path, "unknown database");
  c.exec(kSchema);
  c.exec("COMMIT");
}

// Opens the store; for reading, a store that does not exist yet (or is still
// empty) gives no connection, for writing it is created.
std::unique_ptr<Connection> openStore(const std::string& path, bool forWrite) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) throw StoreError{SQLITE_CANTOPEN, "stat " + path + ": " + strerror(errno)};
    if (!forWrite) return nullptr;
    createStoreFile(path);
  } else if (!S_ISREG(st.st_mode)) {
    raiseCorrupt(path, "not a regular file");
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  auto c = std::make_unique<Connection>(db);
  if (rc != SQLITE_OK) throw StoreError{rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)};
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Commits are not flushed to the disk one by one, and closing does not
  // checkpoint: like the Windows registry, which writes lazily, the store
  // stays consistent when a process dies and may lose only the last commits
  // when the machine itself stops. Per-commit flushing made every registry
  // write cost milliseconds.
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  c->exec("PRAGMA synchronous = NORMAL");
  // Each checkpoint waits for the disk twice; a run writes a few pages per
  // domain, so the log is let grow to 40 MB between checkpoints rather than
  // SQLite's 4 MB, and cut back to 4 MB when it starts over.
  c->exec("PRAGMA wal_autocheckpoint = 10000");
  c->exec("PRAGMA journal_size_limit = 4194304");
  const int64_t id = c->scalar("PRAGMA application_id");
  if (id == kApplicationId) return c;
  if (id != 0 || c->scalar("SELECT count(*) FROM sqlite_master") != 0) raiseCorrupt(path, "unknown database");
  if (!forWrite) return nullptr;
  // Processes that create the store at once meet here: the switch to WAL
  // answers "busy" at once, without the busy handler, while another one
  // lays the schema. Tried again for as long as a busy store is waited for.
  for (int waited = 0;; waited += 10) {
    try {
      initialiseSchema(*c, path);
      return c;
    } catch (const StoreError& e) {
      if ((e.rc & 0xff) != SQLITE_BUSY || waited >= kBusyTimeoutMs) throw;
      c->rollback();
      sqlite3_sleep(10);
    }
  }
}

// The process keeps one connection to the store: opening it costs more than
// most operations, and one long-lived connection lets SQLite checkpoint its
// write-ahead log. The connection is dropped and opened again when the store
// file is another one (another path, or the file was replaced), in a child
// process after fork (a connection must not cross it), and after any error.
struct CachedStore {
  std::mutex lock;
  std::unique_ptr<Connection> connection;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  pid_t owner = 0;
};

CachedStore& cachedStore() {
  // Never destroyed, since static destructors may still use the registry;
  // kept in static storage rather than on the heap, so that a plugin's copy
  // leaves nothing behind when the plugin is unloaded.
  alignas(CachedStore) static unsigned char storage[sizeof(CachedStore)];
  static CachedStore* store = new (storage) CachedStore;
  return *store;
}

// The cached connection for the path, opened when needed; nullptr for a
// read of a store that does not exist yet. Called with the cache locked.
Connection* storeConnection(CachedStore& cache, const std::string& path, bool forWrite) {
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (cache.connection && cache.owner == getpid() && cache.path == path && exists && st.st_dev == cache.device && st.st_ino == cache.inode)
    return cache.connection.get();
  if (cache.owner != getpid()) (void)cache.connection.release();  // the parent's connection: never close it here
  cache.connection.reset();
  std::unique_ptr<Connection> c = openStore(path, forWrite);
  if (!c) return nullptr;
  if (stat(path.c_str(), &st) != 0) throw StoreError{SQLITE_CANTOPEN, "stat " + path + ": " + strerror(errno)};
  cache.connection = std::move(c);
  cache.path = path;
  cache.device = st.st_dev;
  cache.inode = st.st_ino;
  cache.owner = getpid();
  return cache.connection.get();
}

// Drops the connection after a failure, so that the next operation starts
// afresh (closing also rolls back a transaction left open).
void dropConnection(CachedStore& cache) {
  if (cache.owner != getpid()) (void)cache.connection.release();
  cache.connection.reset();
}

// Closes the connection when this copy of the store code goes away: at exit
// after every static destructor, and when a plugin that carries its own copy
// is unloaded (its connection would otherwise stay open for the rest of the
// process). A connection busy in another thread is left to the exit.
[[gnu::destructor]] void closeCachedStore() {
  CachedStore& cache = cachedStore();
  std::unique_lock<std::mutex> guard(cache.lock, std::try_to_lock);
  if (!guard.owns_lock()) return;
  dropConnection(cache);
  std::string().swap(cache.path);
}

// Runs a read in one transaction. A missing store gives `missing`; a store
// that cannot be read raises, naming the file.
template <class T, class F>
T readOperation(T missing, F&& body) {
  const std::string path = storePath();
  CachedStore& cache = cachedStore();
  std::lock_guard<std::mutex> guard(cache.lock);
  try {
    Connection* c = storeConnection(cache, path, false);
    if (!c) return missing;
    c->run("BEGIN");
    try {
      T result = body(*c);
      c->run("COMMIT");
      return result;
    } catch (...) {
      dropConnection(cache);
      throw;
    }
  } catch (const StoreError& e) {
    dropConnection(cache);
    if (isCorruption(e.rc)) raiseCorrupt(path, e.message);
    const uint32_t code = (e.rc & 0xff) == SQLITE_BUSY ? winerr::Timeout : winerr::AccessDenied;
    raiseWindowsError(L"registry store " + wide(path) + L" cannot be read (" + text::fromUtf8(e.message) + L")", code,
                      VLOC(L"", "registry::openStore"));
  }
}

// Runs a write in one transaction that holds the write lock from the start.
// A store that cannot be written gives 5; a corrupt one raises.
template <class F>
uint32_t writeOperation(F&& body) {
  const std::string path = storePath();
  CachedStore& cache = cachedStore();
  std::lock_guard<std::mutex> guard(cache.lock);
  try {
    Connection* c = storeConnection(cache, path, true);
    c->run("BEGIN IMMEDIATE");
    try {
      const uint32_t code = body(*c);
      c->run(code == 0 ? "COMMIT" : "ROLLBACK");
      return code;
    } catch (...) {
      dropConnection(cache);
      throw;
    }
  } catch (const StoreError& e) {
    dropConnection(cache);
    if (isCorruption(e.rc)) raiseCorrupt(path, e.message);
    return winerr::AccessDenied;
  }
}

bool keyExistsIn(Connection& c, const KeyPath& key) {
  if (key.isRoot()) return true;
  return c.prepare("SELECT 1 FROM keys WHERE fold = ?1").text(1, key.folded()).step();
}

// Creates the key and its missing parents; an existing key keeps its case.
// `folded` is key.folded().
void createKeyIn(Connection& c, const KeyPath& key, const std::string& folded) {
  // Nearly every write goes to a key that exists: one look-up, not one per
  // component of its path.
  if (key.isRoot() || c.prepare("SELECT 1 FROM keys WHERE fold = ?1").text(1, folded).step()) return;
  std::string parentPath;
  std::string parentFold;
  for (size_t i = 1; i <= key.parts.size(); ++i) {
    const std::string here = key.folded(i);
    Statement find = c.prepare("SELECT path FROM keys WHERE fold = ?1");
    if (find.text(1, here).step()) {
      parentPath = find.columnText(0);
    } else {
      parentPath = (parentPath.empty() ? "" : parentPath + "\\") + text::toUtf8(key.parts[i - 1]);
      c.prepare("INSERT INTO keys(fold, path, parent) VALUES(?1, ?2, ?3)").text(1, here).text(2, parentPath).text(3, parentFold).step();
    }
    parentFold = here;
  }
}

// Writes a value, creating its key and the key's missing parents.
void putValue(Connection& c, const KeyPath& key, const std::wstring& name, const RawValue& value) {
  const std::string folded = key.folded();
  createKeyIn(c, key, folded);
  // The upsert keeps the row, so the value keeps its name's case and its place in the order.
  c.prepare(
       "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
       " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data")
      .text(1, folded)
      .text(2, fold(name))
      .text(3, text::toUtf8(name))
      .integer(4, value.type)
      .blob(5, value.data)
      .step();
}

}  // namespace

uint32_t flush() {
  const std::string path = storePath();
  CachedStore& cache = cachedStore();
  std::lock_guard<std::mutex> guard(cache.lock);
  try {
    Connection* c = storeConnection(cache, path, false);
    if (!c) return 0;
    // FULL waits for writers and syncs the log and the database file.
    c->exec("PRAGMA wal_checkpoint(FULL)");
    return 0;
  } catch (const StoreError& e) {
    dropConnection(cache);
    if (isCorruption(e.rc)) raiseCorrupt(path, e.message);
    return winerr::AccessDenied;
  }
}

std::string storePath() {
  const char* env = std::getenv("HALVEX_REGISTRY");
  return env && *env ? std::string(env) : std::string(kDefaultStore);
}

uint32_t readValue(RootKey, const std::wstring& subKey, const std::wstring& name, RawValue& out) {
  const KeyPath key(subKey);
  return readOperation<uint32_t>(winerr::FileNotFound, [&](Connection& c) -> uint32_t {
    Statement s = c.prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
    if (!s.text(1, key.folded()).text(2, fold(name)).step()) return winerr::FileNotFound;
    out.type = static_cast<uint32_t>(s.columnInt(0));
    out.data = s.columnBlob(1);
    return 0;
  });
}

std::vector<std::optional<RawValue>> readValues(RootKey, const std::vector<ValueName>& names) {
  using Values = std::vector<std::optional<RawValue>>;
  return readOperation<Values>(Values(names.size()), [&](Connection& c) {
    Values values(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      Statement s = c.prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
      if (!s.text(1, KeyPath(names[i].subKey).folded()).text(2, fold(names[i].name)).step()) continue;
      values[i] = RawValue{static_cast<uint32_t>(s.columnInt(0)), s.columnBlob(1)};
    }
    return values;
  });
}

uint32_t writeValue(RootKey, const std::wstring& subKey, const std::wstring& name, const RawValue& value) {
  const KeyPath key(subKey);
  return writeOperation([&](Connection& c) -> uint32_t {
    putValue(c, key, name, value);
    return 0;
  });
}

uint32_t writeValues(RootKey, const std::vector<ValueWrite>& values) {
  return writeOperation([&](Connection& c) -> uint32_t {
    for (const ValueWrite& v : values) putValue(c, KeyPath(v.subKey), v.name, v.value);
    return 0;
  });
}

// A connection of its own, not the process's shared one: its transaction
// stays open between the constructor and commit while other operations of
// the process go on (reads see the store as it was).
struct PreparedWrite::Impl {
  std::unique_ptr<Connection> connection;
  bool open = false;
};

namespace {

// Writes the values into the open transaction; a failure rolls it back,
// closing the connection, and raises naming the store.
void putInto(std::unique_ptr<Connection>& connection, const std::vector<ValueWrite>& values, const char* function) {
  const std::string path = storePath();
  try {
    if (!connection) {
      connection = openStore(path, true);
      connection->exec("BEGIN IMMEDIATE");
    }
    for (const ValueWrite& v : values) putValue(*connection, KeyPath(v.subKey), v.name, v.value);
  } catch (const StoreError& e) {
    connection.reset();  // closing rolls the transaction back
    if (isCorruption(e.rc)) raiseCorrupt(path, e.message);
    raiseWindowsError(L"registry store " + wide(path) + L" cannot be written (" + text::fromUtf8(e.message) + L")", winerr::AccessDenied,
                      VLOC(L"", function));
  }
}

}  // namespace

PreparedWrite::PreparedWrite(RootKey, const std::vector<ValueWrite>& values) : impl_(std::make_unique<Impl>()) {
  putInto(impl_->connection, values, "registry::PreparedWrite");
  impl_->open = true;
}

void PreparedWrite::add(const std::vector<ValueWrite>& values) {
  // A batch ended by a failure or a commit is not begun again.
  if (!impl_->open || !impl_->connection)
    raiseWindowsError(L"registry store " + wide(storePath()) + L" cannot be written (the batch has ended)", winerr::AccessDenied,
                      VLOC(L"", "registry::PreparedWrite::add"));
  putInto(impl_->connection, values, "registry::PreparedWrite::add");
}

PreparedWrite::~PreparedWrite() = default;

uint32_t PreparedWrite::commit() {
  // A batch that an add() could not write is no batch to commit.
  if (!impl_->connection) return impl_->open ? winerr::AccessDenied : 0;
  impl_->open = false;
  std::unique_ptr<Connection> c = std::move(impl_->connection);
  try {
    c->exec("COMMIT");
    return 0;
  } catch (const StoreError& e) {
    if (isCorruption(e.rc)) raiseCorrupt(storePath(), e.message);
    return winerr::AccessDenied;
  }
}

uint32_t deleteValue(RootKey, const std::wstring& subKey, const std::wstring& name) {
  const KeyPath key(subKey);
  return writeOperation([&](Connection& c) -> uint32_t {
    c.prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2").text(1, key.folded()).text(2, fold(name)).step();
    return c.changes() > 0 ? 0 : winerr::FileNotFound;
  });
}

uint32_t deleteKey(RootKey, const std::wstring& subKey) {
  const KeyPath key(subKey);
  if (key.isRoot()) return winerr::AccessDenied;
  return writeOperation([&](Connection& c) -> uint32_t {
    if (!keyExistsIn(c, key)) return winerr::FileNotFound;
    // "\" is followed by "]" in code order: the range holds exactly the descendants.
    const std::string folded = key.folded();
    c.prepare("DELETE FROM keys WHERE fold = ?1 OR (fold > ?1 || '\\' AND fold < ?1 || ']')").text(1, folded).step();
    c.prepare("DELETE FROM vals WHERE key = ?1 OR (key > ?1 || '\\' AND key < ?1 || ']')").text(1, folded).step();
    return 0;
  });
}

bool keyExists(RootKey, const std::wstring& subKey) {
  const KeyPath key(subKey);
  return readOperation<bool>(key.isRoot(), [&](Connection& c) { return keyExistsIn(c, key); });
}

uint32_t createKey(RootKey, const std::wstring& subKey) {
  const KeyPath key(subKey);
  return writeOperation([&](Connection& c) -> uint32_t {
    createKeyIn(c, key, key.folded());
    return 0;
  });
}

std::vector<std::wstring> valueNames(RootKey, const std::wstring& subKey) {
  const KeyPath key(subKey);
  return readOperation<std::vector<std::wstring>>({}, [&](Connection& c) {
    std::vector<std::wstring> names;
    Statement s = c.prepare("SELECT name FROM vals WHERE key = ?1 ORDER BY id");
    s.text(1, key.folded());
    while (s.step()) names.push_back(text::fromUtf8(s.columnText(0)));
    return names;
  });
}

std::vector<std::wstring> subKeyNames(RootKey, const std::wstring& subKey) {
  const KeyPath key(subKey);
  return readOperation<std::vector<std::wstring>>({}, [&](Connection& c) {
    std::vector<std::wstring> names;
    Statement s = c.prepare("SELECT path FROM keys WHERE parent = ?1 ORDER BY fold");
    s.text(1, key.folded());
    while (s.step()) {
      const std::wstring path = text::fromUtf8(s.columnText(0));
      names.push_back(path.substr(path.rfind(L'\\') + 1));
    }
    return names;
  });
}

std::optional<std::wstring> storedValueName(RootKey, const std::wstring& subKey, const std::wstring& name) {
  const KeyPath key(subKey);
  return readOperation<std::optional<std::wstring>>(std::nullopt, [&](Connection& c) -> std::optional<std::wstring> {
    Statement s = c.prepare("SELECT name FROM vals WHERE key = ?1 AND fold = ?2");
    if (!s.text(1, key.folded()).text(2, fold(name)).step()) return std::nullopt;
    return text::fromUtf8(s.columnText(0));
  });
}

std::wstring storedKeyPath(RootKey, const std::wstring& subKey) {
  const KeyPath key(subKey);
  if (key.isRoot()) return L"";
  return readOperation<std::wstring>(L"", [&](Connection& c) {
    Statement s = c.prepare("SELECT path FROM keys WHERE fold = ?1");
    return s.text(1, key.folded()).step() ? text::fromUtf8(s.columnText(0)) : std::wstring();
  });
}

}  // namespace registry
