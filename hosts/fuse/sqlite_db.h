// One SQLite connection, its prepared statements and transactions, owned RAII-style. Failures
// throw the platform's file errors (a full disk is fileWriteOutOfSpace), so that a request
// whose change cannot be recorded answers ENOSPC or EIO like any other failed write.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace QuorvelleDrive::fuse {

class Database {
 public:
  // Opens `file`, creating it when `create` is set. Throws std::runtime_error with SQLite's
  // message when it cannot.
  Database(const std::filesystem::path& file, bool create);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements that return no rows.
  void exec(const char* sql);
  sqlite3* handle() const { return db_; }
  // Throws the platform error for SQLite's result code `rc`.
  [[noreturn]] void fail(int rc) const;

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(Database& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binds the next parameter: bytes as a blob (names and identifiers are byte strings).
  Statement& bind(std::string_view bytes);
  Statement& bind(std::int64_t value);
  // True while rows come; at the end the statement is reset for its next use.
  bool step();
  // Runs a statement that returns no rows, then resets it.
  void run();
  std::string bytes(int column) const;
  std::int64_t integer(int column) const;

 private:
  void reset();

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

}  // namespace QuorvelleDrive::fuse
