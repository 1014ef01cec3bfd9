#include "mount_database.h"

#include <stdexcept>

namespace QuorvelleDrive::fuse {
namespace {

// One transaction, so that a reader sees all of the tables or none.
constexpr const char* kSchema = R"(
  BEGIN IMMEDIATE;
  CREATE TABLE IF NOT EXISTS notes(key TEXT PRIMARY KEY, value BLOB NOT NULL);
  CREATE TABLE IF NOT EXISTS copies(item BLOB PRIMARY KEY, version BLOB NOT NULL,
    file BLOB NOT NULL, size INTEGER NOT NULL, used INTEGER NOT NULL, pinned INTEGER NOT NULL);
  CREATE TABLE IF NOT EXISTS pins(item BLOB PRIMARY KEY);
  CREATE TABLE IF NOT EXISTS set_here(item BLOB PRIMARY KEY, version BLOB NOT NULL,
    atime INTEGER NOT NULL, mtime INTEGER NOT NULL, mode INTEGER NOT NULL);
  CREATE TABLE IF NOT EXISTS tree(item BLOB PRIMARY KEY, parent BLOB NOT NULL,
    name BLOB NOT NULL, type BLOB NOT NULL, size INTEGER NOT NULL, mtime BLOB NOT NULL,
    created BLOB NOT NULL, content_version BLOB NOT NULL, metadata_version BLOB NOT NULL,
    capabilities INTEGER NOT NULL);
  CREATE INDEX IF NOT EXISTS tree_by_parent ON tree(parent);
  CREATE TABLE IF NOT EXISTS listed(folder BLOB PRIMARY KEY, anchor BLOB NOT NULL);
  COMMIT;
)";

}  // namespace

MountDatabase::MountDatabase(const std::filesystem::path& file) {
  try {
    db_ = std::make_unique<Database>(file, true);
    db_->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    db_->exec(kSchema);
  } catch (const std::runtime_error&) {
    throw;
  } catch (const std::exception& error) {
    throw std::runtime_error("cannot use " + file.string() + ": " + error.what());
  }
}

std::unique_ptr<MountDatabase> MountDatabase::openForReading(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return nullptr;
  auto db = std::make_unique<Database>(file, false);
  if (!db->hasTable("listed")) return nullptr;  // a mount starting: nothing kept yet
  return std::unique_ptr<MountDatabase>(new MountDatabase(std::move(db)));
}

std::optional<std::string> MountDatabase::note(const std::string& key) {
  Statement query(*db_, "SELECT value FROM notes WHERE key = ?");
  query.bind(key);
  std::optional<std::string> value;
  while (query.step()) value = query.bytes(0);
  return value;
}

void MountDatabase::setNote(const std::string& key, const std::string& value) {
  Statement(*db_, "INSERT OR REPLACE INTO notes VALUES(?, ?)").bind(key).bind(value).run();
}

void MountDatabase::clearNote(const std::string& key) {
  Statement(*db_, "DELETE FROM notes WHERE key = ?").bind(key).run();
}

}  // namespace QuorvelleDrive::fuse
