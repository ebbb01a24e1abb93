#include "registry_hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "accounts.h"
#include "registry_location.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "names are stored as the UTF-16LE bytes of the process's memory");

namespace kelmyr::winapi::registry {
namespace {

// "KlmR" in the database header marks a hive; a SQLite file without it is
// somebody else's and is never written.
constexpr int64_t kApplicationId = 0x4B6C6D52;
constexpr int64_t kFormatVersion = 1;
// Subkeys an enumeration reads in one query: the first time, then twice as
// many each time a sequential enumeration used up the last read, up to the
// cap. A long listing thus costs a bounded number of searches of the key,
// so that each step costs the same whatever the number of subkeys.
constexpr size_t kFirstReadAhead = 64;
constexpr size_t kMaxReadAhead = 512;
// Longest wait for another process's write transaction.
constexpr int kBusyTimeoutMs = 5000;
// The mode of a hive file this layer creates: the owner's alone.
constexpr mode_t kFileMode = 0600;
constexpr int64_t kMachineRootId = 1;
constexpr int64_t kUsersRootId = 2;

constexpr char kSchema[] =
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name BLOB NOT NULL,"
    " fold BLOB NOT NULL,"
    " written INTEGER NOT NULL,"
    " UNIQUE(parent, fold));"
    // Holds what an enumeration answers, so that listing a key reads this
    // index alone, each row at the cost of the one before, instead of one
    // search of the table per subkey. A hive made without it answers the
    // same, through the table.
    "CREATE INDEX keys_listing ON keys(parent, fold, name, written);"
    "CREATE TABLE vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " fold BLOB NOT NULL,"
    " seq INTEGER NOT NULL,"
    " name BLOB NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "CREATE INDEX vals_by_seq ON vals(key, seq);";

LONG ErrorOfSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return ERROR_BADDB;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_LOCK_VIOLATION;
    case SQLITE_TOOBIG:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// The time of a change, as a FILETIME count (100 ns since 1601).
int64_t FileTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + 11644473600LL) * 10000000LL + ts.tv_nsec / 100;
}

FILETIME ToFileTime(int64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) >> 32);
  return ft;
}

// The name of the current user's key below HKEY_USERS: the SID of the
// effective uid; empty when the uid has no SID.
RegName CurrentUserKeyName() {
  SAccountSid sid;
  if (!UserSid(geteuid(), &sid)) return {};
  return SidToString(sid);
}

LONG ErrorOfErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_CANTOPEN;
  }
}

// Creates an empty hive file with the owner-only mode whatever the umask;
// SQLite then gives its log and shared-memory files the same mode. An
// existing file (another process was first) is left as it is.
LONG CreateHiveFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return errno == EEXIST ? ERROR_SUCCESS : ErrorOfErrno(errno);
  const bool bOk = fchmod(fd, kFileMode) == 0;
  close(fd);
  return bOk ? ERROR_SUCCESS : ErrorOfErrno(errno);
}

// Runs one statement that yields a single integer (a pragma or a count).
int QueryInteger(sqlite3* pDb, const char* pszSql, int64_t* pValue) {
  sqlite3_stmt* pStmt = nullptr;
  int rc = sqlite3_prepare_v2(pDb, pszSql, -1, &pStmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(pStmt);
    if (rc == SQLITE_ROW) {
      *pValue = sqlite3_column_int64(pStmt, 0);
      rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(pStmt);
  return rc;
}

}  // namespace

enum CHive::EStatement : int {
  kBeginDeferred,
  kBeginImmediate,
  kCommit,
  kRollback,
  kKeyExists,
  kFindChild,
  kInsertKey,
  kTouchKey,
  kChildAt,
  kChildAfter,
  kDataVersion,
  kHasChild,
  kKeyInfo,
  kSubKeyCount,
  kValueCount,
  kWrittenOf,
  kFindValue,
  kUpdateValue,
  kInsertValue,
  kValueAt,
  kValueAfter,
  kDeleteValue,
  kDeleteKey,
  kDeleteValuesOf,
  kDeleteSubKeysOf,
  kStatementCount
};

namespace {

constexpr const char* kStatementSql[] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT parent FROM keys WHERE id=?1",
    "SELECT id FROM keys WHERE parent=?1 AND fold=?2",
    "INSERT INTO keys(parent,name,fold,written) VALUES(?1,?2,?3,?4)",
    "UPDATE keys SET written=max(?2,written+1) WHERE id=?1",
    "SELECT name,written,fold FROM keys WHERE parent=?1 ORDER BY fold LIMIT ?3 OFFSET ?2",
    "SELECT name,written,fold FROM keys WHERE parent=?1 AND fold>?2 ORDER BY fold LIMIT ?3",
    "PRAGMA data_version",
    "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1",
    // The key's time, its subkeys' count and longest name, its values'
    // count, longest name and largest data; no row for a deleted key.
    "SELECT written,"
    "(SELECT count(*) FROM keys WHERE parent=?1),"
    "(SELECT COALESCE(max(length(name)),0)/2 FROM keys WHERE parent=?1),"
    "(SELECT count(*) FROM vals WHERE key=?1),"
    "(SELECT COALESCE(max(length(name)),0)/2 FROM vals WHERE key=?1),"
    "(SELECT COALESCE(max(length(data)),0) FROM vals WHERE key=?1)"
    " FROM keys WHERE id=?1",
    "SELECT count(*) FROM keys WHERE parent=?1",
    "SELECT count(*) FROM vals WHERE key=?1",
    "SELECT written FROM keys WHERE id=?1",
    "SELECT type,data FROM vals WHERE key=?1 AND fold=?2",
    "UPDATE vals SET type=?3,data=?4 WHERE key=?1 AND fold=?2",
    "INSERT INTO vals(key,fold,seq,name,type,data) VALUES(?1,?2,"
    "(SELECT COALESCE(max(seq),0)+1 FROM vals WHERE key=?1),?3,?4,?5)",
    // The value at index ?2 (after sequence number ?2) and the one after
    // it, the data only when ?3 is set.
    "SELECT name,type,CASE WHEN ?3 THEN data END,length(data),seq FROM vals WHERE key=?1"
    " ORDER BY seq LIMIT 2 OFFSET ?2",
    "SELECT name,type,CASE WHEN ?3 THEN data END,length(data),seq FROM vals WHERE key=?1"
    " AND seq>?2 ORDER BY seq LIMIT 2",
    "DELETE FROM vals WHERE key=?1 AND fold=?2",
    "DELETE FROM keys WHERE id=?1",
    "DELETE FROM vals WHERE key=?1",
    "DELETE FROM keys WHERE parent=?1",
};

}  // namespace

// One use of a prepared statement: binds, steps, and resets it when the use
// ends, so that the statement holds no read lock past its scope.
class CHive::CStatement {
 public:
  CStatement(CHive& hive, EStatement e) noexcept : m_pStmt(hive.m_statements[e]) {}
  ~CStatement() {
    sqlite3_reset(m_pStmt);
    sqlite3_clear_bindings(m_pStmt);
  }
  CStatement(const CStatement&) = delete;
  CStatement& operator=(const CStatement&) = delete;

  void BindInt(int i, int64_t v) noexcept { Keep(sqlite3_bind_int64(m_pStmt, i, v)); }
  // A zero-length blob is bound as such, never as NULL.
  void BindBytes(int i, const void* p, size_t cb) noexcept {
    Keep(cb == 0 ? sqlite3_bind_zeroblob(m_pStmt, i, 0)
                 : sqlite3_bind_blob64(m_pStmt, i, p, cb, SQLITE_STATIC));
  }
  void BindName(int i, RegNameView name) noexcept {
    BindBytes(i, name.data(), name.size() * sizeof(char16_t));
  }
  void BindFold(int i, const std::string& fold) noexcept { BindBytes(i, fold.data(), fold.size()); }

  int Step() noexcept { return m_rcBind != SQLITE_OK ? m_rcBind : sqlite3_step(m_pStmt); }

  int64_t Int(int c) const noexcept { return sqlite3_column_int64(m_pStmt, c); }
  bool IsNull(int c) const noexcept { return sqlite3_column_type(m_pStmt, c) == SQLITE_NULL; }
  RegName Name(int c) const {
    RegName name;
    NameInto(c, &name);
    return name;
  }
  // Into a string that keeps its capacity when the name fits.
  void NameInto(int c, RegName* pName) const {
    const void* p = sqlite3_column_blob(m_pStmt, c);
    const size_t cb = static_cast<size_t>(sqlite3_column_bytes(m_pStmt, c));
    pName->resize(p != nullptr ? cb / sizeof(char16_t) : 0);
    if (!pName->empty()) std::memcpy(pName->data(), p, pName->size() * sizeof(char16_t));
  }
  std::string Fold(int c) const {
    std::string fold;
    FoldInto(c, &fold);
    return fold;
  }
  void FoldInto(int c, std::string* pFold) const {
    const void* p = sqlite3_column_blob(m_pStmt, c);
    const size_t cb = static_cast<size_t>(sqlite3_column_bytes(m_pStmt, c));
    pFold->assign(p != nullptr ? static_cast<const char*>(p) : "", p != nullptr ? cb : 0);
  }
  void Bytes(int c, std::vector<BYTE>* pOut) const {
    const void* p = sqlite3_column_blob(m_pStmt, c);
    const size_t cb = static_cast<size_t>(sqlite3_column_bytes(m_pStmt, c));
    pOut->assign(cb, 0);
    if (p != nullptr && cb != 0) std::memcpy(pOut->data(), p, cb);
  }

 private:
  void Keep(int rc) noexcept {
    if (m_rcBind == SQLITE_OK) m_rcBind = rc;
  }

  sqlite3_stmt* const m_pStmt;
  int m_rcBind = SQLITE_OK;
};

// One transaction: begun on construction, rolled back on destruction unless
// committed.
class CHive::CTransaction {
 public:
  CTransaction(CHive& hive, bool bWrite) noexcept : m_hive(hive) {
    CStatement begin(hive, bWrite ? kBeginImmediate : kBeginDeferred);
    m_rcBegin = begin.Step();
    m_bOpen = m_rcBegin == SQLITE_DONE;
  }
  ~CTransaction() {
    if (m_bOpen && sqlite3_get_autocommit(m_hive.m_pDb) == 0) {
      CStatement rollback(m_hive, kRollback);
      rollback.Step();
    }
  }
  CTransaction(const CTransaction&) = delete;
  CTransaction& operator=(const CTransaction&) = delete;

  LONG Status() const noexcept { return m_bOpen ? ERROR_SUCCESS : ErrorOfSqlite(m_rcBegin); }

  LONG Commit() noexcept {
    CStatement commit(m_hive, kCommit);
    const int rc = commit.Step();
    if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
    m_bOpen = false;
    return ERROR_SUCCESS;
  }

 private:
  CHive& m_hive;
  int m_rcBegin = SQLITE_OK;
  bool m_bOpen = false;
};

CHive::CHive(std::string path, sqlite3* pDb) noexcept
    : m_path(std::move(path)), m_pDb(pDb), m_pid(getpid()) {}

CHive::~CHive() {
  for (sqlite3_stmt* pStmt : m_statements) sqlite3_finalize(pStmt);
  sqlite3_close(m_pDb);
}

LONG CHive::Open(const std::string& path, bool bCreateFolder, bool bCreate,
                 std::shared_ptr<CHive>* ppHive) noexcept {
  try {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) return ERROR_BADDB;
    } else if (errno == ENOENT) {
      const size_t slash = path.rfind('/');
      const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
      const bool bFolderExists = folder.empty() || stat(folder.c_str(), &st) == 0;
      // A folder named for the hive that is missing is a configuration
      // fault, reported as such to readers and writers alike.
      if (!bFolderExists && !bCreateFolder) return ERROR_PATH_NOT_FOUND;
      if (!bCreate) return ERROR_FILE_NOT_FOUND;
      if (!bFolderExists && !MakeHiveFolders(folder)) return ErrorOfErrno(errno);
      const LONG l = CreateHiveFile(path);
      if (l != ERROR_SUCCESS) return l;
    } else {
      return ErrorOfErrno(errno);
    }

    // The file exists now: SQLite never creates it, so that it never does
    // so with another mode.
    sqlite3* pDb = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      const LONG l = access(path.c_str(), R_OK) != 0 && errno == EACCES ? ERROR_ACCESS_DENIED
                                                                        : ErrorOfSqlite(rc);
      sqlite3_close(pDb);
      return l;
    }
    sqlite3_busy_timeout(pDb, kBusyTimeoutMs);
    // The connection is closed here until the hive object owns it: making
    // that object may fail for want of memory.
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(pDb, sqlite3_close);
    CHive* pNew = new CHive(path, pDb);
    db.release();
    std::shared_ptr<CHive> pHive(pNew);
    LONG l = pHive->Initialise();
    if (l == ERROR_SUCCESS) l = pHive->Prepare();
    if (l == ERROR_SUCCESS) l = pHive->EnsureStandardKeys();
    if (l != ERROR_SUCCESS) return l;
    *ppHive = std::move(pHive);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

LONG CHive::Initialise() {
  // The header is read before anything is written, so that a file that is
  // not a hive is refused untouched.
  // Both are read in one read transaction: another process creating the
  // hive meanwhile must not be seen half (no identifier yet, but tables).
  int64_t appId = 0;
  int64_t cObjects = 0;
  int rc = sqlite3_exec(m_pDb, "BEGIN", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = QueryInteger(m_pDb, "SELECT count(*) FROM sqlite_master", &cObjects);
  if (rc == SQLITE_OK) rc = QueryInteger(m_pDb, "PRAGMA application_id", &appId);
  sqlite3_exec(m_pDb, rc == SQLITE_OK ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorOfSqlite(rc);
  const bool bReadOnly = sqlite3_db_readonly(m_pDb, "main") == 1;
  bool bNew = false;
  if (appId == kApplicationId) {
    int64_t version = 0;
    rc = QueryInteger(m_pDb, "PRAGMA user_version", &version);
    if (rc != SQLITE_OK) return ErrorOfSqlite(rc);
    if (version != kFormatVersion) return ERROR_BADDB;
  } else if (appId == 0 && cObjects == 0) {
    if (bReadOnly) return ERROR_ACCESS_DENIED;
    bNew = true;
  } else {
    return ERROR_BADDB;
  }

  if (!bReadOnly) {
    // Switching a new hive to WAL needs the file to itself for a moment, and
    // SQLite answers SQLITE_BUSY at once instead of calling the busy
    // handler while another process opens the same new hive; the switch is
    // retried for up to the busy time-out. Once a hive is in WAL mode the
    // switch is a no-op.
    for (int cWaitedMs = 0;; ++cWaitedMs) {
      rc = sqlite3_exec(m_pDb, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if ((rc & 0xFF) != SQLITE_BUSY || cWaitedMs >= kBusyTimeoutMs) break;
      sqlite3_sleep(1);
    }
    if (rc == SQLITE_OK) {
      rc = sqlite3_exec(m_pDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) return ErrorOfSqlite(rc);
  }
  rc = sqlite3_exec(m_pDb, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorOfSqlite(rc);
  if (!bNew) return ERROR_SUCCESS;

  // Another process may be creating the same hive: the check is repeated
  // under the write lock.
  rc = sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorOfSqlite(rc);
  rc = QueryInteger(m_pDb, "PRAGMA application_id", &appId);
  if (rc == SQLITE_OK && appId == 0) {
    rc = sqlite3_exec(m_pDb, kSchema, nullptr, nullptr, nullptr);
    sqlite3_stmt* pRoots = nullptr;
    if (rc == SQLITE_OK) {
      rc = sqlite3_prepare_v2(m_pDb,
                              "INSERT INTO keys(id,parent,name,fold,written)"
                              " VALUES(1,NULL,?1,?2,?5),(2,NULL,?3,?4,?5)",
                              -1, &pRoots, nullptr);
    }
    if (rc == SQLITE_OK) {
      const RegName machine = u"MACHINE";
      const RegName users = u"USER";
      const std::string foldMachine = FoldedKey(machine);
      const std::string foldUsers = FoldedKey(users);
      sqlite3_bind_blob64(pRoots, 1, machine.data(), machine.size() * 2, SQLITE_STATIC);
      sqlite3_bind_blob64(pRoots, 2, foldMachine.data(), foldMachine.size(), SQLITE_STATIC);
      sqlite3_bind_blob64(pRoots, 3, users.data(), users.size() * 2, SQLITE_STATIC);
      sqlite3_bind_blob64(pRoots, 4, foldUsers.data(), foldUsers.size(), SQLITE_STATIC);
      sqlite3_bind_int64(pRoots, 5, FileTimeNow());
      rc = sqlite3_step(pRoots);
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    sqlite3_finalize(pRoots);
    if (rc == SQLITE_OK) {
      const std::string pragmas = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                  "; PRAGMA user_version=" + std::to_string(kFormatVersion);
      rc = sqlite3_exec(m_pDb, pragmas.c_str(), nullptr, nullptr, nullptr);
    }
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return ErrorOfSqlite(rc);
  }
  return ERROR_SUCCESS;
}

LONG CHive::Prepare() {
  static_assert(sizeof kStatementSql / sizeof kStatementSql[0] == kStatementCount);
  m_statements.assign(kStatementCount, nullptr);
  for (int i = 0; i < kStatementCount; ++i) {
    const int rc = sqlite3_prepare_v3(m_pDb, kStatementSql[i], -1, SQLITE_PREPARE_PERSISTENT,
                                      &m_statements[i], nullptr);
    // A hive whose tables do not have the expected shape is damaged.
    if (rc != SQLITE_OK) return rc == SQLITE_ERROR ? ERROR_BADDB : ErrorOfSqlite(rc);
  }
  return ERROR_SUCCESS;
}

LONG CHive::EnsureStandardKeys() noexcept {
  // HKEY_CURRENT_USER and HKEY_CLASSES_ROOT always exist on Windows; they
  // are created here once, by the first process of their user that may
  // write the hive. A read-only process sees them missing until then.
  if (sqlite3_db_readonly(m_pDb, "main") == 1) return ERROR_SUCCESS;
  for (ERoot root : {ERoot::kCurrentUser, ERoot::kClassesRoot}) {
    int64_t id = 0;
    LONG l = OpenKey({root, 0}, {}, &id);
    if (l == ERROR_FILE_NOT_FOUND) {
      bool bCreated = false;
      l = CreateKey({root, 0}, {}, true, &id, &bCreated);
    }
    if (l != ERROR_SUCCESS && l != ERROR_FILE_NOT_FOUND) return l;
  }
  return ERROR_SUCCESS;
}

template <class F>
LONG CHive::Run(bool bWrite, F&& body) noexcept {
  try {
    std::lock_guard<std::mutex> lock(m_lock);
    CTransaction txn(*this, bWrite);
    LONG l = txn.Status();
    if (l != ERROR_SUCCESS) return l;
    l = body();
    if (l != ERROR_SUCCESS) return l;
    return txn.Commit();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

template <class F>
LONG CHive::ReadKey(SKeyRef key, F&& body) noexcept {
  int64_t id = key.id;
  if (key.root == ERoot::kMachine) id = kMachineRootId;
  if (key.root == ERoot::kUsers) id = kUsersRootId;
  if (key.root == ERoot::kCurrentUser || key.root == ERoot::kClassesRoot) {
    return Run(false, [&] {
      const LONG l = ResolveBase(key, false, &id);
      return l != ERROR_SUCCESS ? l : body(id);
    });
  }
  try {
    std::lock_guard<std::mutex> lock(m_lock);
    return body(id);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

LONG CHive::ResolveBase(SKeyRef ref, bool bCreate, int64_t* pId) {
  switch (ref.root) {
    case ERoot::kKey: {
      CStatement s(*this, kKeyExists);
      s.BindInt(1, ref.id);
      const int rc = s.Step();
      if (rc == SQLITE_ROW) {
        *pId = ref.id;
        return ERROR_SUCCESS;
      }
      return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ErrorOfSqlite(rc);
    }
    case ERoot::kMachine:
      *pId = kMachineRootId;
      return ERROR_SUCCESS;
    case ERoot::kUsers:
      *pId = kUsersRootId;
      return ERROR_SUCCESS;
    case ERoot::kCurrentUser: {
      const RegName sid = CurrentUserKeyName();
      if (sid.empty()) return ERROR_FILE_NOT_FOUND;
      return Walk(kUsersRootId, {sid}, bCreate, pId, nullptr);
    }
    case ERoot::kClassesRoot:
      return Walk(kMachineRootId, {u"Software", u"Classes"}, bCreate, pId, nullptr);
  }
  return ERROR_INVALID_HANDLE;
}

LONG CHive::FindChild(int64_t parent, RegNameView name, int64_t* pId) {
  const std::string fold = FoldedKey(name);
  CStatement s(*this, kFindChild);
  s.BindInt(1, parent);
  s.BindFold(2, fold);
  const int rc = s.Step();
  if (rc == SQLITE_ROW) {
    *pId = s.Int(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ErrorOfSqlite(rc);
}

LONG CHive::InsertKey(int64_t parent, RegNameView name, int64_t* pId) {
  const std::string fold = FoldedKey(name);
  {
    CStatement s(*this, kInsertKey);
    s.BindInt(1, parent);
    s.BindName(2, name);
    s.BindFold(3, fold);
    s.BindInt(4, FileTimeNow());
    const int rc = s.Step();
    if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
  }
  *pId = sqlite3_last_insert_rowid(m_pDb);
  return Touch(parent);
}

LONG CHive::Touch(int64_t id) {
  CStatement s(*this, kTouchKey);
  s.BindInt(1, id);
  s.BindInt(2, FileTimeNow());
  const int rc = s.Step();
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorOfSqlite(rc);
}

LONG CHive::HasSubKeys(int64_t id, bool* pbHas) {
  CStatement s(*this, kHasChild);
  s.BindInt(1, id);
  const int rc = s.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorOfSqlite(rc);
  *pbHas = rc == SQLITE_ROW;
  return ERROR_SUCCESS;
}

LONG CHive::WrittenOf(int64_t id, int64_t* pWritten) {
  CStatement s(*this, kWrittenOf);
  s.BindInt(1, id);
  const int rc = s.Step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ErrorOfSqlite(rc);
  *pWritten = s.Int(0);
  return ERROR_SUCCESS;
}

LONG CHive::DataVersion(int64_t* pVersion) {
  CStatement s(*this, kDataVersion);
  const int rc = s.Step();
  if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
  *pVersion = s.Int(0);
  return ERROR_SUCCESS;
}

LONG CHive::SeenVersion(int64_t* pVersion) noexcept {
  unsigned int uVersion = 0;
  const int rc = sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_DATA_VERSION, &uVersion);
  if (rc != SQLITE_OK) return ErrorOfSqlite(rc);
  *pVersion = uVersion;
  return ERROR_SUCCESS;
}

LONG CHive::Walk(int64_t from, const std::vector<RegName>& names, bool bCreate, int64_t* pId,
                 bool* pbCreated) {
  int64_t id = from;
  for (const RegName& name : names) {
    int64_t child = 0;
    LONG l = FindChild(id, name, &child);
    if (l == ERROR_FILE_NOT_FOUND && bCreate) {
      l = InsertKey(id, name, &child);
      if (l == ERROR_SUCCESS && pbCreated != nullptr) *pbCreated = true;
    }
    if (l != ERROR_SUCCESS) return l;
    id = child;
  }
  *pId = id;
  return ERROR_SUCCESS;
}

LONG CHive::OpenKey(SKeyRef base, const std::vector<RegName>& names, int64_t* pId) noexcept {
  return Run(false, [&] {
    int64_t id = 0;
    const LONG l = ResolveBase(base, false, &id);
    return l != ERROR_SUCCESS ? l : Walk(id, names, false, pId, nullptr);
  });
}

LONG CHive::CreateKey(SKeyRef base, const std::vector<RegName>& names, bool bMayCreate,
                      int64_t* pId, bool* pbCreated) noexcept {
  return Run(true, [&] {
    *pbCreated = false;
    int64_t id = 0;
    LONG l = ResolveBase(base, bMayCreate, &id);
    if (l != ERROR_SUCCESS) return l;
    l = Walk(id, names, false, pId, nullptr);
    if (l != ERROR_FILE_NOT_FOUND) return l;
    if (!bMayCreate) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    return Walk(id, names, true, pId, pbCreated);
  });
}

LONG CHive::SetValue(SKeyRef key, RegNameView name, DWORD type, const BYTE* pData,
                     DWORD cb) noexcept {
  return Run(true, [&] {
    int64_t id = 0;
    LONG l = ResolveBase(key, true, &id);
    if (l != ERROR_SUCCESS) return l;
    const std::string fold = FoldedKey(name);
    bool bUpdated = false;
    {
      // An existing value keeps its name's case and its place in the order.
      CStatement s(*this, kUpdateValue);
      s.BindInt(1, id);
      s.BindFold(2, fold);
      s.BindInt(3, type);
      s.BindBytes(4, pData, cb);
      const int rc = s.Step();
      if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
      bUpdated = sqlite3_changes(m_pDb) > 0;
    }
    if (!bUpdated) {
      CStatement s(*this, kInsertValue);
      s.BindInt(1, id);
      s.BindFold(2, fold);
      s.BindName(3, name);
      s.BindInt(4, type);
      s.BindBytes(5, pData, cb);
      const int rc = s.Step();
      if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
    }
    return Touch(id);
  });
}

LONG CHive::QueryValue(SKeyRef key, RegNameView name, SValue* pValue) noexcept {
  return Run(false, [&] {
    int64_t id = 0;
    const LONG l = ResolveBase(key, false, &id);
    if (l != ERROR_SUCCESS) return l;
    const std::string fold = FoldedKey(name);
    CStatement s(*this, kFindValue);
    s.BindInt(1, id);
    s.BindFold(2, fold);
    const int rc = s.Step();
    if (rc == SQLITE_DONE) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
    pValue->type = static_cast<DWORD>(s.Int(0));
    s.Bytes(1, &pValue->data);
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

namespace {

// True when index is the one after the cursor's, on the same key unchanged
// since.
bool ContinuesFrom(const SEnumCursor& cursor, int64_t id, int64_t written, DWORD dwIndex) {
  return cursor.id == id && cursor.written == written && dwIndex == cursor.index + 1;
}

// The folded name of the subkey the cursor answered last.
const std::string& LastFold(const SEnumCursor& cursor) {
  return cursor.iAhead > 0 ? (*cursor.pAhead)[cursor.iAhead - 1].fold : cursor.fold;
}

}  // namespace

bool CHive::FromReadAhead(SKeyRef key, DWORD dwIndex, SEnumCursor* pCursor, RegName* pName,
                          FILETIME* pWritten, LONG* pResult) noexcept {
  SEnumCursor& c = *pCursor;
  if (c.pAhead == nullptr || key.root != ERoot::kKey || c.id != key.id || dwIndex != c.index + 1 ||
      (c.iAhead == c.pAhead->size() && !c.bAheadEnds)) {
    return false;
  }
  try {
    std::lock_guard<std::mutex> lock(m_lock);
    // Outside a transaction the statement is its own read transaction: one
    // statement per step instead of three.
    int64_t dataVersion = 0;
    if (DataVersion(&dataVersion) != ERROR_SUCCESS || c.dataVersion != dataVersion ||
        c.ownChanges != sqlite3_total_changes64(m_pDb)) {
      return false;
    }
    if (c.iAhead == c.pAhead->size()) {
      *pResult = ERROR_NO_MORE_ITEMS;
      return true;
    }
    const SSubKeyEntry& e = (*c.pAhead)[c.iAhead];
    *pName = e.name;
    *pWritten = ToFileTime(e.written);
    ++c.iAhead;
    c.index = dwIndex;
    *pResult = ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    *pResult = ERROR_NOT_ENOUGH_MEMORY;
  }
  return true;
}

LONG CHive::EnumKey(SKeyRef key, DWORD dwIndex, SEnumCursor* pCursor, RegName* pName,
                    FILETIME* pWritten) noexcept {
  // While nothing in the hive changed since the read-ahead, the next subkey
  // is the next one read.
  LONG result = ERROR_SUCCESS;
  if (FromReadAhead(key, dwIndex, pCursor, pName, pWritten, &result)) return result;
  return Run(false, [&] {
    SEnumCursor& c = *pCursor;
    int64_t dataVersion = 0;
    LONG l = DataVersion(&dataVersion);
    if (l != ERROR_SUCCESS) return l;
    const int64_t ownChanges = sqlite3_total_changes64(m_pDb);
    int64_t id = key.id;
    int64_t written = 0;
    // For an opened key, reading its time also proves it still exists.
    l = key.root == ERoot::kKey ? ERROR_SUCCESS : ResolveBase(key, false, &id);
    if (l == ERROR_SUCCESS) l = WrittenOf(id, &written);
    if (l != ERROR_SUCCESS) return l;
    const bool bNext = ContinuesFrom(c, id, written, dwIndex);
    const bool bUsedUp = bNext && c.pAhead != nullptr && c.iAhead == c.pAhead->size();
    const size_t cAhead = bUsedUp ? std::min(c.pAhead->size() * 2, kMaxReadAhead) : kFirstReadAhead;
    const std::string after = bNext ? LastFold(c) : std::string();
    // The last read-ahead's storage is refilled in place when nothing else
    // holds it: its strings keep their capacity, so a long listing does not
    // allocate (and free) every name of every batch. The cursor is emptied
    // meanwhile, so a failure leaves the next step answered by position.
    std::shared_ptr<std::vector<SSubKeyEntry>> pAhead =
        c.pAhead != nullptr && c.pAhead.use_count() == 1 ? std::move(c.pAhead) : nullptr;
    c = SEnumCursor{};
    if (pAhead == nullptr) pAhead = std::make_shared<std::vector<SSubKeyEntry>>();
    CStatement s(*this, bNext ? kChildAfter : kChildAt);
    s.BindInt(1, id);
    if (bNext) {
      s.BindFold(2, after);
    } else {
      s.BindInt(2, dwIndex);
    }
    s.BindInt(3, static_cast<int64_t>(cAhead) + 1);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
    if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
    *pName = s.Name(0);
    *pWritten = ToFileTime(s.Int(1));
    SEnumCursor next{id,      written, dwIndex, s.Fold(2),   0,
                     nullptr, 0,       false,   dataVersion, ownChanges};
    pAhead->reserve(cAhead);
    size_t cRead = 0;
    while ((rc = s.Step()) == SQLITE_ROW) {
      if (cRead == pAhead->size()) pAhead->emplace_back();
      SSubKeyEntry& e = (*pAhead)[cRead++];
      s.NameInto(0, &e.name);
      e.written = s.Int(1);
      s.FoldInto(2, &e.fold);
    }
    pAhead->resize(cRead);
    if (rc == SQLITE_DONE) {
      next.bAheadEnds = cRead < cAhead;
      next.pAhead = std::move(pAhead);
    }
    c = std::move(next);
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG CHive::KeyGone(int64_t id, LONG lIfPresent) {
  CStatement s(*this, kKeyExists);
  s.BindInt(1, id);
  const int rc = s.Step();
  if (rc == SQLITE_ROW) return lIfPresent;
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ErrorOfSqlite(rc);
}

LONG CHive::EnumValue(SKeyRef key, DWORD dwIndex, bool bData, SEnumCursor* pCursor, RegName* pName,
                      SValue* pValue, DWORD* pcbData) noexcept {
  return ReadKey(key, [&](int64_t id) {
    SEnumCursor& c = *pCursor;
    // The cursor holds while nothing in the hive changed since it was
    // moved: neither another connection (the data version) nor this one.
    const auto unchanged = [&](int64_t dataVersion) {
      return dataVersion == c.dataVersion && sqlite3_total_changes64(m_pDb) == c.ownChanges;
    };
    const bool bNext = c.id == id && c.dataVersion >= 0 && dwIndex == c.index + 1;
    if (bNext && c.bAheadEnds) {
      // The index after the last value: the end, without searching the key.
      // A statement that reads nothing brings the version up to date.
      int64_t dataVersion = 0;
      if (DataVersion(&dataVersion) == ERROR_SUCCESS &&
          SeenVersion(&dataVersion) == ERROR_SUCCESS && unchanged(dataVersion)) {
        return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
      }
    }
    // The next index is the value after the cursor's; otherwise, or when
    // the hive changed, the value is looked up by position. The version is
    // that of the statement's snapshot.
    for (EStatement e : {kValueAfter, kValueAt}) {
      if (e == kValueAfter && (!bNext || c.bAheadEnds)) continue;
      CStatement s(*this, e);
      s.BindInt(1, id);
      s.BindInt(2, e == kValueAfter ? c.seq : static_cast<int64_t>(dwIndex));
      s.BindInt(3, bData ? 1 : 0);
      int rc = s.Step();
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorOfSqlite(rc);
      int64_t dataVersion = -1;
      const LONG l = SeenVersion(&dataVersion);
      if (l != ERROR_SUCCESS) return l;
      if (e == kValueAfter && !unchanged(dataVersion)) continue;
      // Values exist only in existing keys; without one, the key may be
      // gone. A key found afterwards existed before (ids are never
      // reused), so it then has no value at the index.
      if (rc == SQLITE_DONE) return KeyGone(id, ERROR_NO_MORE_ITEMS);
      s.NameInto(0, pName);
      pValue->type = static_cast<DWORD>(s.Int(1));
      if (bData) {
        s.Bytes(2, &pValue->data);
      } else {
        pValue->data.clear();
      }
      *pcbData = static_cast<DWORD>(s.Int(3));
      SEnumCursor next;
      next.id = id;
      next.index = dwIndex;
      next.seq = s.Int(4);
      next.dataVersion = dataVersion;
      next.ownChanges = sqlite3_total_changes64(m_pDb);
      rc = s.Step();
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorOfSqlite(rc);
      next.bAheadEnds = rc == SQLITE_DONE;
      c = std::move(next);
      return static_cast<LONG>(ERROR_SUCCESS);
    }
    return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  });
}

LONG CHive::QueryInfo(SKeyRef key, DWORD dwFields, SKeyInfo* pInfo) noexcept {
  return ReadKey(key, [&](int64_t id) {
    *pInfo = SKeyInfo{};
    // A count alone reads the count; a key without entries may be gone.
    if (dwFields == kKeyInfoSubKeys || dwFields == kKeyInfoValues) {
      const bool bSubKeys = dwFields == kKeyInfoSubKeys;
      CStatement s(*this, bSubKeys ? kSubKeyCount : kValueCount);
      s.BindInt(1, id);
      const int rc = s.Step();
      if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
      const DWORD dwCount = static_cast<DWORD>(s.Int(0));
      (bSubKeys ? pInfo->cSubKeys : pInfo->cValues) = dwCount;
      return dwCount != 0 ? static_cast<LONG>(ERROR_SUCCESS) : KeyGone(id, ERROR_SUCCESS);
    }
    CStatement s(*this, kKeyInfo);
    s.BindInt(1, id);
    const int rc = s.Step();
    if (rc == SQLITE_DONE) return static_cast<LONG>(ERROR_KEY_DELETED);
    if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
    pInfo->written = ToFileTime(s.Int(0));
    pInfo->cSubKeys = static_cast<DWORD>(s.Int(1));
    pInfo->cchMaxSubKeyName = static_cast<DWORD>(s.Int(2));
    pInfo->cValues = static_cast<DWORD>(s.Int(3));
    pInfo->cchMaxValueName = static_cast<DWORD>(s.Int(4));
    pInfo->cbMaxValueData = static_cast<DWORD>(s.Int(5));
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG CHive::DeleteValue(SKeyRef key, RegNameView name) noexcept {
  return Run(true, [&] {
    int64_t id = 0;
    const LONG l = ResolveBase(key, false, &id);
    if (l != ERROR_SUCCESS) return l;
    const std::string fold = FoldedKey(name);
    {
      CStatement s(*this, kDeleteValue);
      s.BindInt(1, id);
      s.BindFold(2, fold);
      const int rc = s.Step();
      if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
      if (sqlite3_changes(m_pDb) == 0) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    }
    return Touch(id);
  });
}

LONG CHive::DeleteKey(SKeyRef base, const std::vector<RegName>& names) noexcept {
  return Run(true, [&] {
    if (names.empty() && base.root != ERoot::kKey) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    int64_t id = 0;
    LONG l = ResolveBase(base, false, &id);
    if (l == ERROR_SUCCESS) l = Walk(id, names, false, &id, nullptr);
    if (l != ERROR_SUCCESS) return l;
    if (id == kMachineRootId || id == kUsersRootId) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    bool bHasSubKeys = false;
    l = HasSubKeys(id, &bHasSubKeys);
    if (l != ERROR_SUCCESS) return l;
    if (bHasSubKeys) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    int64_t parent = 0;
    {
      CStatement s(*this, kKeyExists);
      s.BindInt(1, id);
      const int rc = s.Step();
      if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
      parent = s.Int(0);
    }
    {
      CStatement s(*this, kDeleteKey);
      s.BindInt(1, id);
      const int rc = s.Step();
      if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
    }
    return Touch(parent);
  });
}

LONG CHive::DeleteTree(SKeyRef base, const std::vector<RegName>& names, bool bKeyItself) noexcept {
  return Run(true, [&] {
    int64_t id = 0;
    LONG l = ResolveBase(base, false, &id);
    if (l == ERROR_SUCCESS) l = Walk(id, names, false, &id, nullptr);
    if (l != ERROR_SUCCESS) return l;
    if (bKeyItself) {
      if (id == kMachineRootId || id == kUsersRootId) {
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
      }
      int64_t parent = 0;
      {
        CStatement s(*this, kKeyExists);
        s.BindInt(1, id);
        const int rc = s.Step();
        if (rc != SQLITE_ROW) return ErrorOfSqlite(rc);
        parent = s.Int(0);
      }
      CStatement s(*this, kDeleteKey);
      s.BindInt(1, id);
      const int rc = s.Step();
      if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
      return Touch(parent);
    }
    for (EStatement e : {kDeleteValuesOf, kDeleteSubKeysOf}) {
      CStatement s(*this, e);
      s.BindInt(1, id);
      const int rc = s.Step();
      if (rc != SQLITE_DONE) return ErrorOfSqlite(rc);
    }
    return Touch(id);
  });
}

LONG CHive::Flush(SKeyRef key) noexcept {
  int64_t id = 0;
  LONG l = OpenKey(key, {}, &id);
  if (l != ERROR_SUCCESS) return l;
  std::lock_guard<std::mutex> lock(m_lock);
  if (sqlite3_db_readonly(m_pDb, "main") == 1) return ERROR_SUCCESS;
  const int rc =
      sqlite3_wal_checkpoint_v2(m_pDb, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  // A checkpoint that other connections' readers hold back is finished by a
  // later one; what is committed is already safe in the log.
  return rc == SQLITE_OK || rc == SQLITE_BUSY ? ERROR_SUCCESS : ErrorOfSqlite(rc);
}

}  // namespace kelmyr::winapi::registry
