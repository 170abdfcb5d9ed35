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

// One prepared statement; binds are 1-based, columns 0-based.
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql);

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
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt_;
};

// Runs SQL text that yields no rows (several statements allowed).
void Exec(sqlite3* db, const char* sql);

// Opens (creating when missing) the registry database at path, with its
// schema and the hive roots in place.
SqlitePtr OpenDatabase(const std::filesystem::path& path);

// One transaction: BEGIN IMMEDIATE for writers, a deferred BEGIN for readers.
// Rolls back unless committed.
class Transaction {
  public:
    Transaction(sqlite3* db, bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

  private:
    sqlite3* db_;
    bool open_ = false;
    bool write_ = false;
};

// Ids of the hive roots: fixed rows created with the database.
constexpr int64_t kClassesRootId = 1;
constexpr int64_t kCurrentUserId = 2;
constexpr int64_t kLocalMachineId = 3;
constexpr int64_t kUsersId = 4;

} // namespace trumik::platform::registry
