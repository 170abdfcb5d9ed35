#include "registry/RegistryDb.h"

#include "internal/CrashPoint.h"
#include "registry/RegistryValues.h"

#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <thread>

namespace trumik::platform::registry {

char16_t FoldChar(char16_t c)
{
    auto odd = [](char16_t u) { return (u & 1) != 0; };
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
            return static_cast<char16_t>(c - 0x20);
        if (c == 0xFF)
            return 0x178;
        return c;
    }
    // Latin Extended-A: capital and small letters in pairs.
    if (c <= 0x17F) {
        if ((c <= 0x12F || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) && odd(c))
            return static_cast<char16_t>(c - 1);
        if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && !odd(c))
            return static_cast<char16_t>(c - 1);
        return c;
    }
    // Greek.
    if (c >= 0x3AC && c <= 0x3CE) {
        if (c == 0x3AC)
            return 0x386;
        if (c <= 0x3AF)
            return static_cast<char16_t>(c - 0x25);
        if (c == 0x3C2)
            return 0x3A3;
        if (c >= 0x3B1 && c <= 0x3CB)
            return static_cast<char16_t>(c - 0x20);
        if (c == 0x3CC)
            return 0x38C;
        if (c >= 0x3CD)
            return static_cast<char16_t>(c - 0x3F);
        return c;
    }
    // Cyrillic.
    if (c >= 0x400 && c <= 0x52F) {
        if (c >= 0x430 && c <= 0x44F)
            return static_cast<char16_t>(c - 0x20);
        if (c >= 0x450 && c <= 0x45F)
            return static_cast<char16_t>(c - 0x50);
        if (((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) &&
            odd(c))
            return static_cast<char16_t>(c - 1);
        if (c >= 0x4C1 && c <= 0x4CE && !odd(c))
            return static_cast<char16_t>(c - 1);
        if (c == 0x4CF)
            return 0x4C0;
        return c;
    }
    // Full-width Latin.
    if (c >= 0xFF41 && c <= 0xFF5A)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

std::vector<BYTE> FoldKey(std::u16string_view name)
{
    std::vector<BYTE> out;
    out.reserve(name.size() * 2);
    for (char16_t c : name) {
        char16_t f = FoldChar(c);
        out.push_back(static_cast<BYTE>(f >> 8));
        out.push_back(static_cast<BYTE>(f & 0xFF));
    }
    return out;
}

int64_t NowFileTime()
{
    using namespace std::chrono;
    constexpr int64_t kEpochDelta = 116444736000000000LL; // 1601 to 1970 in 100 ns
    auto ticks = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return static_cast<int64_t>(ticks) + kEpochDelta;
}

namespace {

[[noreturn]] void Fail(sqlite3* db, const char* what)
{
    throw DbError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

} // namespace

Connection::Connection(const std::filesystem::path& path) : path_(path)
{
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK)
        Fail(raw, "open");
    ::chmod(path.c_str(), 0600);
    sqlite3_busy_timeout(raw, 30000);
    sqlite3_extended_result_codes(raw, 1);

    // Write-ahead logging lets readers and one writer work at once; changing
    // the journal mode wants the database to itself, so another process
    // opening at the same moment may make us wait a little.
    for (int attempt = 0;; ++attempt) {
        rc = sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            break;
        if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED)
            Fail(raw, "journal mode");
        if (attempt == 300)
            break; // the rollback journal with the busy timeout is still safe
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Exec(raw, "PRAGMA synchronous=NORMAL");

    // The schema and the roots are made in one transaction, so a database
    // that has the change counter (the last table added) has them all: a
    // reader opening one more connection need not take the write lock. A
    // database made before the counter existed gets it here.
    {
        Transaction txn(*this, false);
        if (Statement(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'changes'").Step())
            return;
    }
    Transaction txn(*this, true);
    Exec(raw, "CREATE TABLE IF NOT EXISTS keys("
              " id INTEGER PRIMARY KEY AUTOINCREMENT,"
              " parent INTEGER,"
              " name BLOB NOT NULL,"
              " fold BLOB NOT NULL,"
              " class BLOB,"
              " mtime INTEGER NOT NULL);"
              "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, fold);"
              "CREATE TABLE IF NOT EXISTS vals("
              " id INTEGER PRIMARY KEY AUTOINCREMENT,"
              " key INTEGER NOT NULL,"
              " name BLOB NOT NULL,"
              " fold BLOB NOT NULL,"
              " type INTEGER NOT NULL,"
              " data BLOB NOT NULL);"
              "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key, fold);"
              // The change counter: every committed change of a key or a value,
              // by any process, moves it on (the triggers run inside the
              // writer's transaction, so it moves exactly when the change
              // becomes visible). `db` is drawn at random when the database is
              // made, so that counts of two databases are never confused.
              "CREATE TABLE IF NOT EXISTS changes("
              " id INTEGER PRIMARY KEY CHECK (id = 1),"
              " db INTEGER NOT NULL,"
              " n INTEGER NOT NULL);"
              "INSERT OR IGNORE INTO changes(id, db, n) VALUES (1, random(), 0);");
    for (const char* table : {"keys", "vals"})
        for (const char* event : {"INSERT", "UPDATE", "DELETE"})
            Exec(raw, (std::string("CREATE TRIGGER IF NOT EXISTS ") + table + "_" + event + " AFTER " +
                       event + " ON " + table + " BEGIN UPDATE changes SET n = n + 1; END;")
                          .c_str());
    Statement roots(*this, "INSERT OR IGNORE INTO keys(id, parent, name, fold, mtime)"
                           " VALUES (?1, NULL, x'', x'', ?2)");
    for (int64_t id : {kClassesRootId, kCurrentUserId, kLocalMachineId, kUsersId}) {
        roots.Bind(1, id).Bind(2, NowFileTime()).Run();
        roots.Reset();
    }
    txn.Commit();
}

StatementPtr& Connection::Slot(std::string_view sql)
{
    auto it = statements_.find(std::string(sql));
    if (it == statements_.end())
        it = statements_.emplace(std::string(sql), StatementPtr()).first;
    return it->second;
}

Statement::Statement(Connection& connection, std::string_view sql)
    : db_(connection.Handle()), slot_(connection.Slot(sql)), stmt_(std::move(slot_))
{
    if (stmt_)
        return;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        Fail(db_, "prepare");
    }
    stmt_.reset(raw);
}

Statement::~Statement()
{
    Reset();
    // A second use of the same text while this one ran has refilled the slot.
    if (!slot_)
        slot_ = std::move(stmt_);
}

Statement& Statement::Bind(int index, int64_t value)
{
    if (sqlite3_bind_int64(stmt_.get(), index, value) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

Statement& Statement::BindBlob(int index, std::span<const BYTE> bytes)
{
    // An empty blob, not NULL: sqlite binds a null pointer as NULL.
    int rc = bytes.empty() ? sqlite3_bind_zeroblob(stmt_.get(), index, 0)
                           : sqlite3_bind_blob(stmt_.get(), index, bytes.data(),
                                               static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

Statement& Statement::BindName(int index, std::u16string_view name)
{
    return BindBlob(index, {reinterpret_cast<const BYTE*>(name.data()), name.size() * sizeof(char16_t)});
}

Statement& Statement::BindNull(int index)
{
    if (sqlite3_bind_null(stmt_.get(), index) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

bool Statement::Step()
{
    int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    Fail(db_, "step");
}

void Statement::Reset()
{
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
}

void Statement::Run()
{
    while (Step()) {
    }
}

bool Statement::IsNull(int column)
{
    return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL;
}

int64_t Statement::Int(int column)
{
    return sqlite3_column_int64(stmt_.get(), column);
}

std::vector<BYTE> Statement::Blob(int column)
{
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_.get(), column));
    size_t n = static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column));
    if (!p)
        return {};
    return {p, p + n};
}

std::u16string Statement::Name(int column)
{
    const void* p = sqlite3_column_blob(stmt_.get(), column);
    size_t n = static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column)) / sizeof(char16_t);
    std::u16string out(n, u'\0');
    if (p && n)
        std::memcpy(out.data(), p, n * sizeof(char16_t));
    return out;
}

size_t Statement::Bytes(int column)
{
    return static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column));
}

void Exec(sqlite3* db, const char* sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(db, "exec");
}

namespace {
thread_local uint64_t t_transactions = 0;
} // namespace

Transaction::Transaction(Connection& connection, bool write) : connection_(connection)
{
    ++t_transactions;
    Statement(connection_, write ? "BEGIN IMMEDIATE" : "BEGIN").Run();
    open_ = true;
    write_ = write;
    if (write_)
        trumik::platform::CrashPoint();
}

Transaction::~Transaction()
{
    if (!open_)
        return;
    try {
        Statement(connection_, "ROLLBACK").Run();
    } catch (...) {
        // Closing the connection would roll back what is left; nothing to add.
    }
}

void Transaction::Commit()
{
    if (write_)
        trumik::platform::CrashPoint();
    Statement(connection_, "COMMIT").Run();
    open_ = false;
    if (write_)
        trumik::platform::CrashPoint();
}

} // namespace trumik::platform::registry

uint64_t trumik::platform::RegistryTransactionsOnThisThread() noexcept
{
    return trumik::platform::registry::t_transactions;
}
