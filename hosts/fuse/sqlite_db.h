// The outbox's SQLite connection: the shared layer (sqlite/sqlite.h) with the mount's own rules.
// Failures throw the platform's file errors (a full disk is fileWriteOutOfSpace), so that a
// request whose change cannot be recorded answers ENOSPC or EIO like any other failed write;
// names and identifiers are byte strings, bound and read as blobs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "sqlite/sqlite.h"

namespace QuorvelleDrive::fuse {

class Database : public sqlite::Database {
 public:
  // Opens `file`, creating it when `create` is set. Throws std::runtime_error with SQLite's
  // message when it cannot.
  Database(const std::filesystem::path& file, bool create) : sqlite::Database(file, create) {}

  // Throws the platform error for SQLite's result code `rc`.
  [[noreturn]] void fail(int rc) const override;
};

class Statement : public sqlite::Statement {
 public:
  Statement(Database& db, const char* sql) : sqlite::Statement(db, sql) {}

  // Binds the next parameter: bytes as a blob (names and identifiers are byte strings).
  Statement& bind(std::string_view bytes) {
    bindBlob(bytes);
    return *this;
  }
  Statement& bind(std::int64_t value) {
    sqlite::Statement::bind(value);
    return *this;
  }
  std::string bytes(int column) const { return text(column); }
};

// BEGIN IMMEDIATE … COMMIT; rolled back when left without commit().
using Transaction = sqlite::Transaction;

}  // namespace QuorvelleDrive::fuse
