#include "sqlite/sqlite.h"

#include <stdexcept>

namespace QuorvelleDrive::sqlite {

Database::Database(const std::filesystem::path& file, bool create, std::string_view kind) {
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    std::string what = kind.empty() ? std::string() : std::string(kind) + " ";
    throw std::runtime_error("cannot open " + what + file.string() + ": " + message);
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

bool Database::tryExec(const char* sql) noexcept {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Database::hasTable(const std::string& name) {
  Statement query(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  query.bind(name);
  bool found = false;
  while (query.step()) found = true;
  return found;
}

void Database::fail(int rc) const {
  if (rc == SQLITE_NOMEM) throw std::bad_alloc();
  throw std::runtime_error(sqlite3_errmsg(db_));
}

Statement::Statement(Database& db, std::string_view sql) : db_(db) {
  int rc =
      sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) db.fail(rc);
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::bound(int rc) {
  if (rc != SQLITE_OK) db_.fail(rc);
  return *this;
}

Statement& Statement::bind(const std::string& text) {
  if (bound_ == 0) sqlite3_reset(stmt_);  // a query left before its last row
  return bound(sqlite3_bind_text64(stmt_, ++bound_, text.data(), text.size(), SQLITE_TRANSIENT,
                                   SQLITE_UTF8));
}

Statement& Statement::bindBlob(std::string_view bytes) {
  if (bound_ == 0) sqlite3_reset(stmt_);
  return bound(sqlite3_bind_blob64(stmt_, ++bound_, bytes.empty() ? "" : bytes.data(), bytes.size(),
                                   SQLITE_TRANSIENT));
}

Statement& Statement::bind(std::int64_t value) {
  if (bound_ == 0) sqlite3_reset(stmt_);
  return bound(sqlite3_bind_int64(stmt_, ++bound_, value));
}

Statement& Statement::bind(double value) {
  if (bound_ == 0) sqlite3_reset(stmt_);
  return bound(sqlite3_bind_double(stmt_, ++bound_, value));
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

std::string Statement::text(int column) const {
  auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
  return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

double Statement::real(int column) const {
  return sqlite3_column_double(stmt_, column);
}

Transaction::Transaction(Database& db) : db_(db) {
  db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!done_) db_.tryExec("ROLLBACK");
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace QuorvelleDrive::sqlite
