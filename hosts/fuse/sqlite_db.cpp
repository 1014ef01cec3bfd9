#include "sqlite_db.h"

#include <stdexcept>

#include "platform/error.h"

namespace QuorvelleDrive::fuse {

Database::Database(const std::filesystem::path& file, bool create) {
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open " + file.string() + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_extended_result_codes(db_, 0);
}

Database::~Database() {
  sqlite3_close(db_);
}

void Database::exec(const char* sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc);
}

void Database::fail(int rc) const {
  switch (rc) {
    case SQLITE_FULL:
      throw cocoaError(CocoaError::fileWriteOutOfSpace);
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      throw cocoaError(CocoaError::fileWriteNoPermission);
    case SQLITE_NOMEM:
      throw std::bad_alloc();
    default:
      throw cocoaError(CocoaError::fileWriteUnknown);
  }
}

Statement::Statement(Database& db, const char* sql) : db_(db) {
  int rc = sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr);
  if (rc != SQLITE_OK) db.fail(rc);
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::bind(std::string_view bytes) {
  if (bound_ == 0) sqlite3_reset(stmt_);  // a query left before its last row
  int rc = sqlite3_bind_blob64(stmt_, ++bound_, bytes.empty() ? "" : bytes.data(), bytes.size(),
                               SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) db_.fail(rc);
  return *this;
}

Statement& Statement::bind(std::int64_t value) {
  if (bound_ == 0) sqlite3_reset(stmt_);
  int rc = sqlite3_bind_int64(stmt_, ++bound_, value);
  if (rc != SQLITE_OK) db_.fail(rc);
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  reset();
  if (rc != SQLITE_DONE) db_.fail(rc);
  return false;
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  bound_ = 0;
}

std::string Statement::bytes(int column) const {
  auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
  return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

Transaction::Transaction(Database& db) : db_(db) {
  db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!done_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace QuorvelleDrive::fuse
