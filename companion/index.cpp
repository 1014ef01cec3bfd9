#include "companion/index.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace QuorvelleDrive::companion {

using sqlite::Statement;

namespace {

constexpr const char* kSchema = R"(
  CREATE TABLE IF NOT EXISTS items(id TEXT PRIMARY KEY, parent TEXT NOT NULL, name TEXT NOT NULL,
    dir INTEGER NOT NULL, version TEXT NOT NULL, inode INTEGER NOT NULL, stamp TEXT NOT NULL);
  CREATE INDEX IF NOT EXISTS items_place ON items(parent, name);
  CREATE INDEX IF NOT EXISTS items_inode ON items(inode);
  CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
  CREATE TABLE IF NOT EXISTS epoch(value TEXT NOT NULL);
  INSERT OR IGNORE INTO meta VALUES('anchor', 1), ('nextId', 2), ('nextVersion', 1);
  INSERT OR IGNORE INTO items VALUES('1', '1', '', 1, '', 0, '');
)";

// Deeper than any tree a path within the mount can reach; a longer chain is a loop.
constexpr std::size_t kMaxDepth = 4096;

constexpr const char* kColumns = "SELECT id, parent, name, dir, version, inode, stamp FROM items ";

// 64 random bits as 16 hexadecimal digits.
std::string randomEpoch() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits))
    throw std::runtime_error("no random bytes for a new index");
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

}  // namespace

Index::Index(const std::filesystem::path& file) : db_(file, true, "index") {
  // A page cache of up to 32 MiB rather than 2: a listing of a big folder reads many rows.
  exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA cache_size=-32768;");
  exec(kSchema);
  epoch_ = loadEpoch();
}

// Chosen once, when the index is made (or first opened by a companion that has epochs): a
// rebuilt index counts from the start again, and only its epoch keeps its ids and versions
// apart from those of the index before.
std::string Index::loadEpoch() {
  Statement read(db_, "SELECT value FROM epoch");
  if (read.step()) return read.text(0);
  std::string epoch = randomEpoch();
  Statement(db_, "INSERT INTO epoch VALUES(?)").bind(epoch).step();
  return epoch;
}

Index::~Index() = default;

void Index::exec(const char* sql) const {
  db_.exec(sql);
}

std::vector<Row> Index::rows(const char* where, const std::vector<std::string>& args) const {
  Statement stmt(db_, std::string(kColumns) + where);
  for (auto& arg : args) stmt.bind(arg);
  std::vector<Row> out;
  while (stmt.step())
    out.push_back({stmt.text(0), stmt.text(1), stmt.text(2), stmt.integer(3) != 0, stmt.text(4),
                   stmt.integer(5), stmt.text(6)});
  return out;
}

std::optional<Row> Index::byId(const std::string& id) const {
  auto found = rows("WHERE id = ?", {id});
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::optional<Row> Index::child(const std::string& parent, const std::string& name) const {
  auto found = rows("WHERE parent = ? AND name = ? AND id <> '1' LIMIT 1", {parent, name});
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::vector<Row> Index::withInode(std::int64_t inode, bool dir) const {
  return rows("WHERE inode = CAST(? AS INTEGER) AND dir = CAST(? AS INTEGER) AND id <> '1'",
              {std::to_string(inode), dir ? "1" : "0"});
}

std::vector<Row> Index::children(const std::string& parent) const {
  return rows("WHERE parent = ? AND id <> '1' ORDER BY name", {parent});
}

std::vector<Row> Index::atPlace(const std::string& parent, const std::string& name) const {
  return rows("WHERE parent = ? AND name = ? AND id <> '1'", {parent, name});
}

std::vector<Row> Index::all() const {
  return rows("ORDER BY rowid", {});
}

std::optional<std::vector<std::string>> Index::namesOf(const Row& row) const {
  std::vector<std::string> names;
  for (Row at = row; at.id != kRootId;) {
    if (names.size() > kMaxDepth) return std::nullopt;
    names.push_back(at.name);
    auto parent = byId(at.parent);
    if (!parent) return std::nullopt;
    at = std::move(*parent);
  }
  std::reverse(names.begin(), names.end());
  return names;
}

std::string Index::insert(Row row) {
  row.id = epoch_ + "-" + std::to_string(takeCounter("nextId"));
  Statement stmt(db_, "INSERT INTO items VALUES(?, ?, ?, ?, ?, ?, ?)");
  stmt.bind(row.id).bind(row.parent).bind(row.name).bind(std::int64_t{row.dir});
  stmt.bind(row.version).bind(row.inode).bind(row.stamp).step();
  return row.id;
}

void Index::update(const Row& row) {
  Statement stmt(db_,
                 "UPDATE items SET parent = ?, name = ?, dir = ?, version = ?, inode = ?, "
                 "stamp = ? WHERE id = ?");
  stmt.bind(row.parent).bind(row.name).bind(std::int64_t{row.dir}).bind(row.version);
  stmt.bind(row.inode).bind(row.stamp).bind(row.id).step();
}

void Index::remove(const std::string& id) {
  Statement(db_, "DELETE FROM items WHERE id = ?").bind(id).step();
}

void Index::removeTree(const std::string& id) {
  Statement(db_,
            "WITH RECURSIVE below(id) AS (SELECT id FROM items WHERE parent = ?1 AND id <> '1' "
            "UNION SELECT items.id FROM items JOIN below ON items.parent = below.id) "
            "DELETE FROM items WHERE id IN below")
      .bind(id)
      .step();
}

std::uint64_t Index::counter(const char* key) const {
  Statement stmt(db_, "SELECT value FROM meta WHERE key = ?");
  stmt.bind(std::string(key));
  if (!stmt.step()) throw std::runtime_error(std::string("index lacks ") + key);
  return static_cast<std::uint64_t>(stmt.integer(0));
}

void Index::setCounter(const char* key, std::uint64_t value) {
  Statement stmt(db_, "UPDATE meta SET value = ? WHERE key = ?");
  stmt.bind(static_cast<std::int64_t>(value)).bind(std::string(key)).step();
}

std::uint64_t Index::takeCounter(const char* key) {
  std::uint64_t value = counter(key);
  setCounter(key, value + 1);
  return value;
}

std::string Index::freshVersion() {
  return epoch_ + "-v" + std::to_string(takeCounter("nextVersion"));
}

std::uint64_t Index::anchor() const {
  return counter("anchor");
}

void Index::raiseAnchor() {
  setCounter("anchor", anchor() + 1);
}

Index::Transaction::Transaction(Index& index) : index_(index) {
  if (!index_.batchOpen_) {
    index_.exec("BEGIN IMMEDIATE");
    index_.batchOpen_ = true;
  }
  index_.exec("SAVEPOINT change");
}

Index::Transaction::~Transaction() {
  if (!done_) index_.db_.tryExec("ROLLBACK TO change; RELEASE change");
}

void Index::Transaction::commit() {
  index_.exec("RELEASE change");
  done_ = true;
}

void Index::commitBatch() {
  if (!batchOpen_) return;
  batchOpen_ = false;
  try {
    db_.exec("COMMIT");
  } catch (const std::runtime_error&) {
    // A commit that failed may leave the transaction open; the next batch starts afresh.
    if (!sqlite3_get_autocommit(db_.handle())) db_.tryExec("ROLLBACK");
    throw;
  }
}

}  // namespace QuorvelleDrive::companion
