// The registry's database: a thin SQLite layer and the name folding the
// registry compares key and value names with.
#pragma once

#include "windef.h"

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trumik::platform::registry {

// Upper-cases one UTF-16 unit the way the registry compares names: ASCII,
// Latin-1, Latin Extended-A, Greek, Cyrillic and the full-width Latin letters.
// Locale-independent, a unit for a unit.
char16_t FoldChar(char16_t c);

// The folded form of a name as the database keeps it: big-endian UTF-16, so
// that comparing the bytes orders names as their upper-cased code units.
std::vector<BYTE> FoldKey(std::u16string_view name);

// Current time as a FILETIME tick count (100 ns since 1601-01-01 UTC).
int64_t NowFileTime();

// A failure of the database, mapped to ERROR_REGISTRY_IO_FAILED at the API.
class DbError : public std::runtime_error {
  public:
    explicit DbError(const std::string& what) : std::runtime_error(what) {}
};

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqlitePtr = std::unique_ptr<sqlite3, SqliteCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// One connection to the registry database at a path (opened, created when
// missing, with its schema and the hive roots in place) and the statements
// prepared on it, kept for the next call that runs the same SQL text. Used by
// one thread at a time.
class Connection {
  public:
    explicit Connection(const std::filesystem::path& path);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* Handle() const { return db_.get(); }
    const std::filesystem::path& Path() const { return path_; }

    // The cache slot of a statement's text: empty when the statement is
    // not prepared yet or is in use.
    StatementPtr& Slot(std::string_view sql);

  private:
    std::filesystem::path path_;
    // The statements are declared after the connection so that they go first.
    SqlitePtr db_;
    std::unordered_map<std::string, StatementPtr> statements_;
};

// One statement of a connection, taken from its cache (or prepared) and put
// back, reset, at the end; binds are 1-based, columns 0-based.
class Statement {
  public:
    Statement(Connection& connection, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value);
    Statement& BindBlob(int index, std::span<const BYTE> bytes);
    Statement& BindName(int index, std::u16string_view name);
    Statement& BindNull(int index);

    // Runs the statement one step: true while it yields a row.
    bool Step();
    // Runs a statement that yields no row.
    void Run();
    // Makes the statement ready to run again with new bindings.
    void Reset();

    bool IsNull(int column);
    int64_t Int(int column);
    std::vector<BYTE> Blob(int column);
    std::u16string Name(int column);
    // Size in bytes of a blob column.
    size_t Bytes(int column);

  private:
    sqlite3* db_;
    StatementPtr& slot_;
    StatementPtr stmt_;
};

// Runs SQL text that yields no rows (several statements allowed).
void Exec(sqlite3* db, const char* sql);

// One transaction: BEGIN IMMEDIATE for writers, a deferred BEGIN for readers.
// Rolls back unless committed.
class Transaction {
  public:
    Transaction(Connection& connection, bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

  private:
    Connection& connection_;
    bool open_ = false;
    bool write_ = false;
};

// Ids of the hive roots: fixed rows created with the database.
constexpr int64_t kClassesRootId = 1;
constexpr int64_t kCurrentUserId = 2;
constexpr int64_t kLocalMachineId = 3;
constexpr int64_t kUsersId = 4;

} // namespace trumik::platform::registry
