// The Win32 registry functions on the platform's SQLite database.
//
// Keys are rows of `keys` (parent id, name as given, folded name), values rows
// of `vals`. The hive roots are fixed rows; a handle names a key by its id,
// which the database never reuses, so a handle to a deleted key stays dead
// even when a key of the same name comes back.
//
// Every call is one transaction on a connection of its own, taken from a pool:
// a call is atomic for other threads and for other processes on the same
// root, readers run at once (the database is in write-ahead-log mode, so they
// see the last commit without waiting for a writer), and the writers of this
// process queue on one mutex.

#include "winreg.h"

#include "internal/Home.h"
#include "registry/RegistryDb.h"
#include "registry/RegistryValues.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <pthread.h>
#include <unistd.h>
#include <unordered_map>

namespace trumik::platform::registry {
namespace {

using KeyId = int64_t;

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;
constexpr REGSAM kFullAccess = KEY_ALL_ACCESS;

// The rights a handle is granted for a requested access mask.
REGSAM GrantedAccess(REGSAM sam)
{
    REGSAM granted = sam & kFullAccess;
    if (sam & kGenericRead)
        granted |= KEY_READ;
    if (sam & kGenericWrite)
        granted |= KEY_WRITE;
    if (sam & kGenericExecute)
        granted |= KEY_EXECUTE;
    if (sam & (kGenericAll | kMaximumAllowed))
        granted |= kFullAccess;
    return granted;
}

struct OpenKey {
    KeyId id;
    REGSAM access;
    uint64_t generation; // the root the key lives in
};

// The registry of the process: a pool of connections, one lent to each call
// in progress, and the table of open handles.
class Registry {
  public:
    static Registry& Instance()
    {
        static Registry* instance = [] {
            static Registry r;
            // A child forked while another thread is inside a call must not
            // inherit a mutex locked.
            pthread_atfork(
                [] {
                    r.writer_.lock();
                    r.mutex_.lock();
                    r.handlesMutex_.lock();
                },
                [] {
                    r.handlesMutex_.unlock();
                    r.mutex_.unlock();
                    r.writer_.unlock();
                },
                [] {
                    r.handlesMutex_.unlock();
                    r.mutex_.unlock();
                    r.writer_.unlock();
                });
            return &r;
        }();
        return *instance;
    }

    // Serialises this process's writers, so that they queue here rather than
    // in SQLite's busy wait; readers never take it.
    std::mutex& Writer() { return writer_; }

    // A connection to the current root's database, lent to one call.
    class Lease {
      public:
        Lease(Registry& reg, std::unique_ptr<Connection> connection, uint64_t generation)
            : reg_(reg), connection_(std::move(connection)), generation_(generation)
        {
        }
        ~Lease() { reg_.Return(std::move(connection_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        Connection& operator*() const { return *connection_; }
        sqlite3* Handle() const { return connection_->Handle(); }
        // The root the connection belongs to, as handles record it.
        uint64_t Generation() const { return generation_; }

      private:
        Registry& reg_;
        std::unique_ptr<Connection> connection_;
        uint64_t generation_;
    };

    Lease Borrow()
    {
        auto path = HomeDir() / "registry.db";
        std::unique_ptr<Connection> connection;
        uint64_t generation;
        {
            std::lock_guard lock(mutex_);
            ForgetAfterFork();
            // Handles stay bound to the root they were opened in.
            generation = roots_.try_emplace(path, roots_.size() + 1).first->second;
            for (auto it = idle_.begin(); it != idle_.end(); ++it)
                if ((*it)->Path() == path) {
                    connection = std::move(*it);
                    idle_.erase(it);
                    break;
                }
        }
        if (!connection)
            connection = std::make_unique<Connection>(path);
        return Lease(*this, std::move(connection), generation);
    }

    HKEY AddHandle(KeyId id, REGSAM sam, uint64_t generation)
    {
        std::lock_guard lock(handlesMutex_);
        uintptr_t value = nextHandle_;
        nextHandle_ += 4;
        handles_.emplace(value, OpenKey{id, GrantedAccess(sam), generation});
        return reinterpret_cast<HKEY>(value);
    }

    std::optional<OpenKey> FindHandle(HKEY h)
    {
        std::lock_guard lock(handlesMutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
        return it == handles_.end() ? std::nullopt : std::optional<OpenKey>(it->second);
    }

    bool RemoveHandle(HKEY h)
    {
        std::lock_guard lock(handlesMutex_);
        return handles_.erase(reinterpret_cast<uintptr_t>(h)) != 0;
    }

  private:
    Registry() = default;

    // Idle connections kept for the next calls: as many as the threads that
    // called at once, up to this bound.
    static constexpr size_t kMaxIdle = 16;

    void Return(std::unique_ptr<Connection> connection)
    {
        if (!connection)
            return;
        std::unique_lock lock(mutex_);
        if (pid_ != ::getpid()) {
            (void)connection.release(); // see ForgetAfterFork
            return;
        }
        // A connection left inside a transaction (its rollback failed) is
        // closed, which rolls it back, rather than lent again.
        if (idle_.size() >= kMaxIdle || !sqlite3_get_autocommit(connection->Handle())) {
            lock.unlock();
            return; // closed here
        }
        idle_.push_back(std::move(connection));
    }

    // A connection must not cross fork(): the parent still owns its locks
    // and files, so the child only forgets them. Caller holds mutex_.
    void ForgetAfterFork()
    {
        if (pid_ == ::getpid())
            return;
        for (auto& connection : idle_)
            (void)connection.release();
        idle_.clear();
        pid_ = ::getpid();
    }

    std::mutex writer_;
    std::mutex mutex_; // the pool and the roots
    std::mutex handlesMutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
    pid_t pid_ = ::getpid();
    std::map<std::filesystem::path, uint64_t> roots_;
    std::unordered_map<uintptr_t, OpenKey> handles_;
    uintptr_t nextHandle_ = 0x1000;
};

using Lease = Registry::Lease;

std::optional<KeyId> PredefinedKey(HKEY h)
{
    if (h == HKEY_CLASSES_ROOT)
        return kClassesRootId;
    if (h == HKEY_CURRENT_USER)
        return kCurrentUserId;
    if (h == HKEY_LOCAL_MACHINE)
        return kLocalMachineId;
    if (h == HKEY_USERS)
        return kUsersId;
    return std::nullopt;
}

bool IsRoot(KeyId id)
{
    return id >= kClassesRootId && id <= kUsersId;
}

bool KeyExists(Connection& db, KeyId id)
{
    Statement s(db, "SELECT 1 FROM keys WHERE id = ?1");
    return s.Bind(1, id).Step();
}

// The key a handle stands for, once the handle has the rights `needed`.
LSTATUS ResolveHandle(Registry& reg, Connection& db, uint64_t root, HKEY h, REGSAM needed, KeyId& id)
{
    if (auto predefined = PredefinedKey(h)) {
        id = *predefined;
        return ERROR_SUCCESS;
    }
    const auto key = reg.FindHandle(h);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if ((key->access & needed) != needed)
        return ERROR_ACCESS_DENIED;
    if (key->generation != root || !KeyExists(db, key->id))
        return ERROR_KEY_DELETED;
    id = key->id;
    return ERROR_SUCCESS;
}

size_t Length(LPCWSTR s)
{
    size_t n = 0;
    if (s)
        while (s[n])
            ++n;
    return n;
}

std::u16string_view View(LPCWSTR s)
{
    return s ? std::u16string_view(s, Length(s)) : std::u16string_view();
}

// Splits a relative key path into its names. Empty names (a doubled or a
// trailing backslash) are skipped; a leading backslash is refused.
LSTATUS SplitPath(LPCWSTR subKey, std::vector<std::u16string_view>& parts)
{
    parts.clear();
    std::u16string_view path = View(subKey);
    if (!path.empty() && path.front() == u'\\')
        return ERROR_BAD_PATHNAME;
    while (!path.empty()) {
        size_t cut = path.find(u'\\');
        std::u16string_view part = path.substr(0, cut);
        if (!part.empty())
            parts.push_back(part);
        if (cut == std::u16string_view::npos)
            break;
        path.remove_prefix(cut + 1);
    }
    return ERROR_SUCCESS;
}

std::optional<KeyId> FindChild(Connection& db, KeyId parent, std::u16string_view name)
{
    Statement s(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
    s.Bind(1, parent).BindBlob(2, FoldKey(name));
    if (!s.Step())
        return std::nullopt;
    return s.Int(0);
}

void Touch(Connection& db, KeyId id)
{
    Statement s(db, "UPDATE keys SET mtime = ?2 WHERE id = ?1");
    s.Bind(1, id).Bind(2, NowFileTime()).Run();
}

// Deletes the keys below `top` with their values, and `top` itself unless
// `keepTop` is set.
void DeleteSubtree(Connection& db, KeyId top, bool keepTop)
{
    static constexpr const char* kTree = "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
                                         " SELECT k.id FROM keys k JOIN tree t ON k.parent = t.id)";
    Statement vals(db, std::string(kTree) + " DELETE FROM vals WHERE key IN (SELECT id FROM tree)");
    vals.Bind(1, top).Run();
    Statement keys(db,
                   std::string(kTree) + " DELETE FROM keys WHERE id IN (SELECT id FROM tree) AND id <> ?2");
    keys.Bind(1, top).Bind(2, keepTop ? top : -1).Run();
}

void ToFileTime(int64_t ticks, PFILETIME out)
{
    if (!out)
        return;
    auto u = static_cast<uint64_t>(ticks);
    out->dwLowDateTime = static_cast<DWORD>(u & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(u >> 32);
}

// Hands a value's type and data (columns of the current row) to a caller,
// under the size rules of RegQueryValueExW and RegEnumValueW.
LSTATUS DeliverValue(Statement& s, int typeColumn, int dataColumn, LPDWORD lpType, LPBYTE lpData,
                     LPDWORD lpcbData)
{
    if (lpType)
        *lpType = static_cast<DWORD>(s.Int(typeColumn));
    auto size = static_cast<DWORD>(s.Bytes(dataColumn));
    LSTATUS rc = ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < size)
            rc = ERROR_MORE_DATA;
        else if (size)
            std::memcpy(lpData, s.Blob(dataColumn).data(), size);
    }
    if (lpcbData)
        *lpcbData = size;
    return rc;
}

// Copies a name with its NUL into a buffer of *cch characters; on success
// *cch is the length without the NUL.
LSTATUS CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD cch)
{
    if (*cch <= name.size())
        return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = u'\0';
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Runs one registry call on a connection of its own (writers one at a time
// in this process), mapping database and memory failures to registry codes.
// Never touches the thread's last error.
template <typename F> LSTATUS Call(bool write, F&& body) noexcept
{
    try {
        Registry& reg = Registry::Instance();
        std::unique_lock<std::mutex> writer;
        if (write)
            writer = std::unique_lock(reg.Writer());
        Lease lease = reg.Borrow();
        return body(reg, *lease, lease.Generation());
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

} // namespace
// Walks to the key at parts below hKey, creating what is missing; created
// tells whether any key was made. Runs inside the caller's transaction.
LSTATUS CreatePath(Registry& reg, Connection& db, uint64_t root, HKEY hKey,
                   const std::vector<std::u16string_view>& parts, LPCWSTR lpClass, KeyId& id, bool& created)
{
    if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, 0, id); rc != ERROR_SUCCESS)
        return rc;
    created = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (auto child = FindChild(db, id, parts[i])) {
            id = *child;
            continue;
        }
        if (!created && !PredefinedKey(hKey) && !(reg.FindHandle(hKey)->access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        const bool last = i + 1 == parts.size();
        Statement ins(db, "INSERT INTO keys(parent, name, fold, class, mtime) VALUES (?1, ?2, ?3, ?4, ?5)");
        ins.Bind(1, id).BindName(2, parts[i]).BindBlob(3, FoldKey(parts[i]));
        if (last && lpClass && *lpClass)
            ins.BindName(4, View(lpClass));
        else
            ins.BindNull(4);
        ins.Bind(5, NowFileTime()).Run();
        Touch(db, id);
        id = sqlite3_last_insert_rowid(db.Handle());
        created = true;
    }
    return ERROR_SUCCESS;
}

// Writes one value of key id. An existing value keeps its name as first
// written and its place in the enumeration order.
void StoreValue(Connection& db, KeyId id, LPCWSTR lpValueName, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    auto name = View(lpValueName);
    Statement s(db, "INSERT INTO vals(key, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5)"
                    " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.Bind(1, id).BindName(2, name).BindBlob(3, FoldKey(name)).Bind(4, dwType);
    s.BindBlob(5, {lpData, cbData}).Run();
    Touch(db, id);
}

} // namespace trumik::platform::registry

using namespace trumik::platform::registry;

WINAPI_EXPORT LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                             DWORD dwOptions, REGSAM samDesired,
                                             const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                                             LPDWORD lpdwDisposition)
{
    (void)Reserved;
    (void)lpSecurityAttributes;
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    if (dwOptions &
        ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string_view> parts;
    if (LSTATUS rc = SplitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    return Call(true, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, true);
        KeyId id;
        bool created = false;
        if (LSTATUS rc = CreatePath(reg, db, root, hKey, parts, lpClass, id, created); rc != ERROR_SUCCESS)
            return rc;
        txn.Commit();
        *phkResult = reg.AddHandle(id, samDesired, root);
        if (lpdwDisposition)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

WINAPI_EXPORT LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                           PHKEY phkResult)
{
    (void)ulOptions;
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::u16string_view> parts;
    if (LSTATUS rc = SplitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    return Call(false, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, false);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, 0, id); rc != ERROR_SUCCESS)
            return rc;
        for (auto part : parts) {
            auto child = FindChild(db, id, part);
            if (!child)
                return ERROR_FILE_NOT_FOUND;
            id = *child;
        }
        txn.Commit();
        *phkResult = reg.AddHandle(id, samDesired, root);
        return ERROR_SUCCESS;
    });
}

WINAPI_EXPORT LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (PredefinedKey(hKey))
        return ERROR_SUCCESS;
    try {
        return Registry::Instance().RemoveHandle(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    } catch (...) {
        return ERROR_INVALID_HANDLE;
    }
}

WINAPI_EXPORT LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                            const BYTE* lpData, DWORD cbData)
{
    (void)Reserved;
    if (!lpData && cbData)
        return ERROR_NOACCESS; // Windows reads the data first and faults on it

    return Call(true, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, true);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_SET_VALUE, id); rc != ERROR_SUCCESS)
            return rc;
        StoreValue(db, id, lpValueName, dwType, lpData, cbData);
        txn.Commit();
        return ERROR_SUCCESS;
    });
}

WINAPI_EXPORT LSTATUS WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType,
                                             LPCVOID lpData, DWORD cbData)
{
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    std::vector<std::u16string_view> parts;
    if (lpSubKey)
        if (LSTATUS rc = SplitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
            return rc;
    // The key and its value in one transaction: a reader never sees the key
    // without the value, even when the writer dies between the two.
    return Call(true, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, true);
        KeyId id;
        bool created = false;
        if (parts.empty()) {
            if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_SET_VALUE, id); rc != ERROR_SUCCESS)
                return rc;
        } else if (LSTATUS rc = CreatePath(reg, db, root, hKey, parts, nullptr, id, created);
                   rc != ERROR_SUCCESS) {
            return rc;
        }
        StoreValue(db, id, lpValueName, dwType, static_cast<const BYTE*>(lpData), cbData);
        txn.Commit();
        return ERROR_SUCCESS;
    });
}

WINAPI_EXPORT LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                              LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return Call(false, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, false);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_QUERY_VALUE, id); rc != ERROR_SUCCESS)
            return rc;
        Statement s(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
        s.Bind(1, id).BindBlob(2, FoldKey(View(lpValueName)));
        if (!s.Step())
            return ERROR_FILE_NOT_FOUND;
        LSTATUS rc = DeliverValue(s, 0, 1, lpType, lpData, lpcbData);
        txn.Commit();
        return rc;
    });
}

namespace {

// Whether a value of this type and size may be handed out under RegGetValueW's flags.
bool TypeAllowed(DWORD flags, DWORD type, size_t size)
{
    const DWORD allowed = flags & RRF_RT_ANY;
    if (allowed == RRF_RT_ANY)
        return true;
    switch (type) {
    case REG_NONE:
        return allowed & RRF_RT_REG_NONE;
    case REG_SZ:
        return allowed & RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
        return allowed & RRF_RT_REG_EXPAND_SZ;
    case REG_MULTI_SZ:
        return allowed & RRF_RT_REG_MULTI_SZ;
    case REG_DWORD:
        return allowed & RRF_RT_REG_DWORD;
    case REG_QWORD:
        return allowed & RRF_RT_REG_QWORD;
    case REG_BINARY:
        // RRF_RT_DWORD and RRF_RT_QWORD take binary data of their size.
        if (allowed & RRF_RT_REG_BINARY) {
            const DWORD sized = allowed & (RRF_RT_REG_DWORD | RRF_RT_REG_QWORD);
            return sized == 0 || (allowed & ~RRF_RT_REG_BINARY & ~sized) != 0 ||
                   ((sized & RRF_RT_REG_DWORD) && size == 4) || ((sized & RRF_RT_REG_QWORD) && size == 8);
        }
        return false;
    default:
        return false;
    }
}

} // namespace

WINAPI_EXPORT LSTATUS WINAPI RegGetValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                                          LPDWORD pdwType, PVOID pvData, LPDWORD pcbData)
{
    if ((pvData && !pcbData) || (dwFlags & RRF_RT_ANY) == 0 ||
        ((dwFlags & RRF_RT_ANY) == RRF_RT_REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)))
        return ERROR_INVALID_PARAMETER;
    const DWORD capacity = pcbData ? *pcbData : 0;
    std::vector<std::u16string_view> parts;
    LSTATUS rc = lpSubKey ? SplitPath(lpSubKey, parts) : ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS)
        rc = Call(false, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
            Transaction txn(db, false);
            KeyId id;
            if (LSTATUS status = ResolveHandle(reg, db, root, hKey, KEY_QUERY_VALUE, id);
                status != ERROR_SUCCESS)
                return status;
            for (auto part : parts) {
                auto child = FindChild(db, id, part);
                if (!child)
                    return ERROR_FILE_NOT_FOUND;
                id = *child;
            }
            Statement s(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
            s.Bind(1, id).BindBlob(2, FoldKey(View(lpValue)));
            if (!s.Step())
                return ERROR_FILE_NOT_FOUND;
            const DWORD type = static_cast<DWORD>(s.Int(0));
            if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND))
                return ERROR_UNSUPPORTED_TYPE; // no expansion here: the caller asks for the raw text
            if (!TypeAllowed(dwFlags, type, s.Bytes(1)))
                return ERROR_UNSUPPORTED_TYPE;
            LSTATUS status = DeliverValue(s, 0, 1, pdwType, static_cast<LPBYTE>(pvData), pcbData);
            txn.Commit();
            return status;
        });
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA && pvData && (dwFlags & RRF_ZEROONFAILURE))
        std::memset(pvData, 0, capacity);
    return rc;
}

WINAPI_EXPORT LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    return Call(true, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, true);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_SET_VALUE, id); rc != ERROR_SUCCESS)
            return rc;
        Statement s(db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        s.Bind(1, id).BindBlob(2, FoldKey(View(lpValueName))).Run();
        if (sqlite3_changes(db.Handle()) == 0)
            return ERROR_FILE_NOT_FOUND;
        Touch(db, id);
        txn.Commit();
        return ERROR_SUCCESS;
    });
}

namespace {

// Deletes the key at lpSubKey below hKey. A key that has subkeys goes only
// with the whole tree; on its own it is refused as on Windows.
LSTATUS DeleteKeyAt(HKEY hKey, LPCWSTR lpSubKey, bool wholeTree)
{
    std::vector<std::u16string_view> parts;
    if (LSTATUS rc = SplitPath(lpSubKey, parts); rc != ERROR_SUCCESS)
        return rc;
    return Call(true, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, true);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, 0, id); rc != ERROR_SUCCESS)
            return rc;
        KeyId parent = id;
        for (auto part : parts) {
            auto child = FindChild(db, id, part);
            if (!child)
                return ERROR_FILE_NOT_FOUND;
            parent = id;
            id = *child;
        }
        if (IsRoot(id))
            return ERROR_ACCESS_DENIED;
        if (!wholeTree) {
            Statement children(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
            if (children.Bind(1, id).Step())
                return ERROR_ACCESS_DENIED;
        }
        if (parts.empty()) {
            Statement s(db, "SELECT parent FROM keys WHERE id = ?1");
            if (s.Bind(1, id).Step())
                parent = s.Int(0);
        }
        DeleteSubtree(db, id, false);
        Touch(db, parent);
        txn.Commit();
        return ERROR_SUCCESS;
    });
}

} // namespace

WINAPI_EXPORT LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    return DeleteKeyAt(hKey, lpSubKey, false);
}

WINAPI_EXPORT LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (!lpSubKey) {
        // The key stays; its subkeys and values go.
        return Call(true, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
            Transaction txn(db, true);
            KeyId id;
            if (LSTATUS rc = ResolveHandle(reg, db, root, hKey,
                                           KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, id);
                rc != ERROR_SUCCESS)
                return rc;
            DeleteSubtree(db, id, true);
            Touch(db, id);
            txn.Commit();
            return ERROR_SUCCESS;
        });
    }
    return DeleteKeyAt(hKey, lpSubKey, true);
}

WINAPI_EXPORT LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                           LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                           PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    return Call(false, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, false);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_ENUMERATE_SUB_KEYS, id); rc != ERROR_SUCCESS)
            return rc;
        Statement s(db,
                    "SELECT name, class, mtime FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
        s.Bind(1, id).Bind(2, dwIndex);
        if (!s.Step())
            return ERROR_NO_MORE_ITEMS;
        std::u16string name = s.Name(0);
        std::u16string keyClass = s.Name(1);
        if (*lpcchName <= name.size() || (lpClass && *lpcchClass <= keyClass.size()))
            return ERROR_MORE_DATA;
        CopyName(name, lpName, lpcchName);
        if (lpClass)
            CopyName(keyClass, lpClass, lpcchClass);
        else if (lpcchClass)
            *lpcchClass = static_cast<DWORD>(keyClass.size());
        ToFileTime(s.Int(2), lpftLastWriteTime);
        txn.Commit();
        return ERROR_SUCCESS;
    });
}

WINAPI_EXPORT LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                           LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return Call(false, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, false);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_QUERY_VALUE, id); rc != ERROR_SUCCESS)
            return rc;
        // Values come in the order they were first written, as on Windows.
        Statement s(db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
        s.Bind(1, id).Bind(2, dwIndex);
        if (!s.Step())
            return ERROR_NO_MORE_ITEMS;
        std::u16string name = s.Name(0);
        if (LSTATUS rc = CopyName(name, lpValueName, lpcchValueName); rc != ERROR_SUCCESS)
            return rc;
        LSTATUS rc = DeliverValue(s, 1, 2, lpType, lpData, lpcbData);
        txn.Commit();
        return rc;
    });
}

WINAPI_EXPORT LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                              LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                              LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                              LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                              LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                              PFILETIME lpftLastWriteTime)
{
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    return Call(false, [&](Registry& reg, Connection& db, uint64_t root) -> LSTATUS {
        Transaction txn(db, false);
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, root, hKey, KEY_QUERY_VALUE, id); rc != ERROR_SUCCESS)
            return rc;
        auto set = [](LPDWORD out, int64_t v) {
            if (out)
                *out = static_cast<DWORD>(v);
        };
        Statement key(db, "SELECT class, mtime FROM keys WHERE id = ?1");
        key.Bind(1, id).Step();
        std::u16string keyClass = key.Name(0);
        ToFileTime(key.Int(1), lpftLastWriteTime);

        Statement subkeys(db, "SELECT COUNT(*), COALESCE(MAX(length(name)), 0) / 2,"
                              " COALESCE(MAX(length(class)), 0) / 2 FROM keys WHERE parent = ?1");
        subkeys.Bind(1, id).Step();
        set(lpcSubKeys, subkeys.Int(0));
        set(lpcbMaxSubKeyLen, subkeys.Int(1));
        set(lpcbMaxClassLen, subkeys.Int(2));

        Statement values(db, "SELECT COUNT(*), COALESCE(MAX(length(name)), 0) / 2,"
                             " COALESCE(MAX(length(data)), 0) FROM vals WHERE key = ?1");
        values.Bind(1, id).Step();
        set(lpcValues, values.Int(0));
        set(lpcbMaxValueNameLen, values.Int(1));
        set(lpcbMaxValueLen, values.Int(2));
        set(lpcbSecurityDescriptor, 0);

        LSTATUS rc = ERROR_SUCCESS;
        if (lpClass) {
            if (CopyName(keyClass, lpClass, lpcchClass) != ERROR_SUCCESS) {
                *lpcchClass = static_cast<DWORD>(keyClass.size());
                rc = ERROR_MORE_DATA;
            }
        } else if (lpcchClass) {
            *lpcchClass = static_cast<DWORD>(keyClass.size());
        }
        txn.Commit();
        return rc;
    });
}

namespace trumik::platform {

RegistrySnapshot ReadRegistrySnapshot(HKEY root, std::u16string_view subKey, const char16_t* valueName)
{
    RegistrySnapshot snapshot;
    const std::u16string path(subKey);
    std::vector<std::u16string_view> parts;
    if (SplitPath(path.c_str(), parts) != ERROR_SUCCESS)
        return snapshot;
    RegistrySnapshot read;
    LSTATUS rc = Call(false, [&](Registry& reg, Connection& db, uint64_t generation) -> LSTATUS {
        Transaction txn(db, false);
        Statement stamp(db, "SELECT db, n FROM changes WHERE id = 1");
        if (stamp.Step())
            read.stamp = {stamp.Int(0), stamp.Int(1)};
        KeyId id;
        if (LSTATUS rc = ResolveHandle(reg, db, generation, root, 0, id); rc != ERROR_SUCCESS)
            return rc;
        for (auto part : parts) {
            auto child = FindChild(db, id, part);
            if (!child) {
                txn.Commit();
                return ERROR_SUCCESS;
            }
            id = *child;
        }
        read.keyExists = true;
        if (valueName) {
            Statement value(db, "SELECT data FROM vals WHERE key = ?1 AND fold = ?2");
            value.Bind(1, id).BindBlob(2, FoldKey(View(valueName)));
            if (value.Step())
                read.data = value.Blob(0);
        }
        txn.Commit();
        return ERROR_SUCCESS;
    });
    if (rc == ERROR_SUCCESS)
        snapshot = std::move(read);
    return snapshot;
}

} // namespace trumik::platform
