// One SQLite connection, its prepared statements and transactions, owned RAII-style: the small
// layer over SQLite's C API that the companion's indexes and the mount's outbox share.
// Failures throw: std::runtime_error with SQLite's message, unless a database of a derived kind
// maps the result code to errors of its own (the mount's outbox throws the platform's file
// errors, so that a full disk answers ENOSPC). Not thread-safe: each owner serialises its use.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace QuorvelleDrive::sqlite {

class Database {
 public:
  // Opens `file`, creating it when `create` is set, waiting up to 5 s for another connection's
  // lock. Throws std::runtime_error naming the file (as `kind`, say "index", when given) and
  // SQLite's message when it cannot.
  Database(const std::filesystem::path& file, bool create, std::string_view kind = {});
  virtual ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements that return no rows.
  void exec(const char* sql);
  // The same, for a cleanup that must not throw (a rollback): false when it failed.
  bool tryExec(const char* sql) noexcept;
  // Whether the table exists: another process may open a database its maker has not yet given
  // its tables.
  bool hasTable(const std::string& name);
  sqlite3* handle() const { return db_; }
  // Throws for SQLite's result code `rc`.
  [[noreturn]] virtual void fail(int rc) const;

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(Database& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Bind the next parameter. Text and bytes stay apart: SQLite never finds a BLOB equal to TEXT,
  // so a table keeps to the one it was written with.
  Statement& bind(const std::string& text);
  Statement& bindBlob(std::string_view bytes);
  Statement& bind(std::int64_t value);
  Statement& bind(double value);
  // True while rows come; at the end the statement is reset for its next use.
  bool step();
  // Runs a statement that returns no rows, then resets it.
  void run();
  // Clears the bindings of a statement left before its last row.
  void reset();
  // A column's bytes, as stored (text or blob).
  std::string text(int column) const;
  std::int64_t integer(int column) const;
  double real(int column) const;

 private:
  Statement& bound(int rc);

  Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
  int bound_ = 0;
};

// BEGIN IMMEDIATE … COMMIT; rolled back when left without commit().
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace QuorvelleDrive::sqlite
