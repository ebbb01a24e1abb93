// CHive: one registry hive file, a SQLite database shared by processes and
// threads. Private to the platform layer.
//
// Each public operation is one transaction (reads deferred, writes
// "BEGIN IMMEDIATE" so that concurrent writers queue on the busy time-out
// instead of failing when they upgrade; a read that one statement answers
// is that statement's own transaction) on the hive's one connection, which
// a mutex serialises among the threads of the process. The database runs in
// WAL mode: readers never wait for a writer, and a writer killed mid-way
// leaves the last committed state. Results are Windows error codes; nothing
// is thrown out of an operation.
//
// Layout: table "keys" (id, parent, name, fold, written) holds every key,
// the two roots (HKEY_LOCAL_MACHINE, HKEY_USERS) having no parent; "fold" is
// the name's comparison key (registry_names.h), unique among siblings, and
// its byte order is the enumeration order. Table "vals" (key, fold, seq,
// name, type, data) holds the values, "seq" numbering them in creation
// order within their key. Deleting a key deletes what lies below it through
// the foreign keys. Key ids are never reused, so a handle to a deleted key
// stays deleted even when a key of the same name is created again. A key's
// "written" time grows with every change of its values or subkeys (by at
// least one tick), so it also tells whether a key changed between two
// calls.
//
// Files: a hive this layer creates is the owner's alone (0600, its folder
// 0700, whatever the umask); SQLite gives the log and shared-memory files
// the hive file's own mode. An existing hive keeps the mode its owner gave
// it.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "registry_names.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelmyr::winapi::registry {

// Where an operation starts: one of the predefined roots, or an open key.
enum class ERoot { kKey, kMachine, kUsers, kCurrentUser, kClassesRoot };
struct SKeyRef {
  ERoot root = ERoot::kKey;
  int64_t id = 0;
};

struct SValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// A subkey as an enumeration answers it.
struct SSubKeyEntry {
  RegName name;
  int64_t written = 0;
  std::string fold;
};

// Where an enumeration of a key's subkeys or values stopped: the key, its
// "written" time then (subkeys), the index answered and its sort key (the
// folded name, or the value's sequence number). The next index continues
// from there in O(log n) as long as the key has not changed (for values:
// as long as the hive has not changed at all); any other index, or a
// change, is answered by position. Subkeys are also read ahead in one
// query, and a value step tells whether another value follows: while the
// hive has not changed at all since (its data version, and the changes
// made through this process's connection), the next index is answered from
// them without searching the key again.
struct SEnumCursor {
  int64_t id = 0;
  int64_t written = -1;
  uint64_t index = 0;
  // The folded name of the subkey the last search answered; those answered
  // from the read-ahead since carry their own.
  std::string fold;
  int64_t seq = 0;
  std::shared_ptr<std::vector<SSubKeyEntry>> pAhead;
  size_t iAhead = 0;  // read-ahead subkeys answered so far
  // No subkey follows the last one read ahead; no value follows the one
  // answered.
  bool bAheadEnds = false;
  int64_t dataVersion = -1;
  int64_t ownChanges = -1;
};

enum : DWORD {
  kKeyInfoSubKeys = 1,  // cSubKeys
  kKeyInfoValues = 2,   // cValues
  kKeyInfoOther = 4,    // the maxima and the time
};

struct SKeyInfo {
  DWORD cSubKeys = 0;
  DWORD cchMaxSubKeyName = 0;
  DWORD cValues = 0;
  DWORD cchMaxValueName = 0;
  DWORD cbMaxValueData = 0;
  FILETIME written = {};
};

class CHive {
 public:
  // Opens the hive file. An absent file is ERROR_FILE_NOT_FOUND unless
  // bCreate, which creates an empty hive (and its folder, when
  // bCreateFolder). ERROR_PATH_NOT_FOUND for a missing folder, ERROR_BADDB
  // for a file that is not a hive or is damaged, ERROR_ACCESS_DENIED for a
  // file this process may not read, or an absent or empty one it may not
  // initialise.
  static LONG Open(const std::string& path, bool bCreateFolder, bool bCreate,
                   std::shared_ptr<CHive>* ppHive) noexcept;
  ~CHive();
  CHive(const CHive&) = delete;
  CHive& operator=(const CHive&) = delete;

  const std::string& Path() const noexcept { return m_path; }
  pid_t OwnerProcess() const noexcept { return m_pid; }

  // The key named by names below base (base itself for no names).
  LONG OpenKey(SKeyRef base, const std::vector<RegName>& names, int64_t* pId) noexcept;
  // As OpenKey, creating the missing keys; ERROR_ACCESS_DENIED instead when
  // a key is missing and bMayCreate is false.
  LONG CreateKey(SKeyRef base, const std::vector<RegName>& names, bool bMayCreate, int64_t* pId,
                 bool* pbCreated) noexcept;
  LONG SetValue(SKeyRef key, RegNameView name, DWORD type, const BYTE* pData, DWORD cb) noexcept;
  LONG QueryValue(SKeyRef key, RegNameView name, SValue* pValue) noexcept;
  // The subkey or value at dwIndex, continuing from *pCursor when it
  // allows, which is then moved to the answer.
  LONG EnumKey(SKeyRef key, DWORD dwIndex, SEnumCursor* pCursor, RegName* pName,
               FILETIME* pWritten) noexcept;
  // The value also gives its data size (*pcbData); its data only with
  // bData.
  LONG EnumValue(SKeyRef key, DWORD dwIndex, bool bData, SEnumCursor* pCursor, RegName* pName,
                 SValue* pValue, DWORD* pcbData) noexcept;
  // The fields of *pInfo that dwFields names (kKeyInfo*); the others are
  // zero. A count alone is cheaper than the rest, which reads every name
  // and value of the key.
  LONG QueryInfo(SKeyRef key, DWORD dwFields, SKeyInfo* pInfo) noexcept;
  LONG DeleteValue(SKeyRef key, RegNameView name) noexcept;
  // Deletes the key named by names below base (base itself for no names);
  // ERROR_ACCESS_DENIED for a key with subkeys or a root.
  LONG DeleteKey(SKeyRef base, const std::vector<RegName>& names) noexcept;
  // Deletes everything below the key named by names: its values and
  // subkeys, and with bKeyItself the key too.
  LONG DeleteTree(SKeyRef base, const std::vector<RegName>& names, bool bKeyItself) noexcept;
  // Copies the committed changes from the write-ahead log into the hive file.
  LONG Flush(SKeyRef key) noexcept;

 private:
  class CTransaction;
  class CStatement;
  enum EStatement : int;

  CHive(std::string path, sqlite3* pDb) noexcept;
  LONG Initialise();
  LONG Prepare();
  LONG EnsureStandardKeys() noexcept;

  // Runs body (returning a Windows error code) in one transaction under the
  // hive's lock; commits when it succeeds, rolls back otherwise.
  template <class F>
  LONG Run(bool bWrite, F&& body) noexcept;
  // Runs body(id) (a Windows error code) for the key's id under the hive's
  // lock, for a body that reads with one statement: that statement is then
  // its own read transaction (a body may try a second statement when the
  // first cannot answer, which then answers on its own). A key whose id
  // needs searching is resolved first, in one transaction with the body.
  template <class F>
  LONG ReadKey(SKeyRef key, F&& body) noexcept;

  // Inside a transaction.
  LONG ResolveBase(SKeyRef ref, bool bCreate, int64_t* pId);
  LONG FindChild(int64_t parent, RegNameView name, int64_t* pId);
  LONG Walk(int64_t from, const std::vector<RegName>& names, bool bCreate, int64_t* pId,
            bool* pbCreated);
  LONG InsertKey(int64_t parent, RegNameView name, int64_t* pId);
  LONG Touch(int64_t id);
  LONG HasSubKeys(int64_t id, bool* pbHas);
  LONG WrittenOf(int64_t id, int64_t* pWritten);
  LONG DataVersion(int64_t* pVersion);
  // The version of the hive as of the last transaction this connection
  // began (or the one it is in), which every commit changes; read without
  // a statement.
  LONG SeenVersion(int64_t* pVersion) noexcept;
  // lIfPresent when the key id exists, else ERROR_KEY_DELETED.
  LONG KeyGone(int64_t id, LONG lIfPresent);
  // Answers the index after the cursor's from its read-ahead when nothing in
  // the hive changed since it was read; false when it must be searched.
  bool FromReadAhead(SKeyRef key, DWORD dwIndex, SEnumCursor* pCursor, RegName* pName,
                     FILETIME* pWritten, LONG* pResult) noexcept;

  const std::string m_path;
  sqlite3* const m_pDb;
  const pid_t m_pid;
  std::mutex m_lock;
  std::vector<sqlite3_stmt*> m_statements;
};

}  // namespace kelmyr::winapi::registry
