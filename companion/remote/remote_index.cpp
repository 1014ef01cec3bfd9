#include "companion/remote/remote_index.h"

#include <chrono>
#include <random>
#include <stdexcept>

namespace QuorvelleDrive::companion::remote {

using sqlite::Statement;

namespace {

constexpr const char* kSchema = R"(
  CREATE TABLE IF NOT EXISTS items(id TEXT PRIMARY KEY, parent TEXT NOT NULL, name TEXT NOT NULL,
    dir INTEGER NOT NULL, version TEXT NOT NULL, etag TEXT NOT NULL, size INTEGER NOT NULL,
    mtime REAL NOT NULL, listed INTEGER NOT NULL);
  CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
  INSERT OR IGNORE INTO items VALUES('1', '1', '', 1, '', '', 0, 0, 0);
)";

std::string randomPrefix() {
  std::random_device device;
  std::string prefix;
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuv";
  for (int i = 0; i < 10; ++i) prefix += kDigits[device() % 32];
  return prefix;
}

std::uint64_t nowMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

RemoteIndex::RemoteIndex(const std::filesystem::path& file, const std::string& url)
    : db_(file, true, "index") {
  exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
  exec("BEGIN IMMEDIATE");
  exec(kSchema);
  if (meta("url").empty()) {
    // A new index: ids and versions under a prefix no earlier index used, and an anchor
    // above any an earlier one could have reached.
    setMeta("url", url);
    setMeta("prefix", randomPrefix());
    setMeta("anchor", std::to_string(nowMicroseconds()));
    setMeta("nextId", "2");
    setMeta("nextVersion", "1");
  }
  exec("COMMIT");
  if (meta("url") != url)
    throw std::runtime_error("the index " + file.string() + " belongs to " + meta("url"));
  load();
}

RemoteIndex::~RemoteIndex() = default;

void RemoteIndex::exec(const char* sql) const {
  db_.exec(sql);
}

std::string RemoteIndex::meta(const char* key) const {
  Statement stmt(db_, "SELECT value FROM meta WHERE key = ?");
  stmt.bind(std::string(key));
  return stmt.step() ? stmt.text(0) : std::string();
}

void RemoteIndex::setMeta(const char* key, const std::string& value) {
  Statement(db_, "INSERT OR REPLACE INTO meta VALUES(?, ?)")
      .bind(std::string(key))
      .bind(value)
      .step();
}

void RemoteIndex::load() {
  nodes_.clear();
  children_.clear();
  Statement stmt(db_,
                 "SELECT id, parent, name, dir, version, etag, size, mtime, listed FROM items");
  while (stmt.step()) {
    Node node{stmt.text(0),
              stmt.text(1),
              stmt.text(2),
              stmt.integer(3) != 0,
              stmt.text(4),
              stmt.text(5),
              static_cast<std::uint64_t>(stmt.integer(6)),
              stmt.real(7),
              stmt.integer(8) != 0};
    if (node.id != kRootId) children_[node.parent][node.name] = node.id;
    nodes_[node.id] = std::move(node);
  }
  prefix_ = meta("prefix");
  anchor_ = std::stoull(meta("anchor"));
  nextId_ = std::stoull(meta("nextId"));
  nextVersion_ = std::stoull(meta("nextVersion"));
}

const Node* RemoteIndex::find(const std::string& id) const {
  auto found = nodes_.find(id);
  return found == nodes_.end() ? nullptr : &found->second;
}

const Node* RemoteIndex::child(const std::string& parent, const std::string& name) const {
  auto folder = children_.find(parent);
  if (folder == children_.end()) return nullptr;
  auto found = folder->second.find(name);
  return found == folder->second.end() ? nullptr : find(found->second);
}

std::vector<Node> RemoteIndex::children(const std::string& parent) const {
  std::vector<Node> out;
  auto folder = children_.find(parent);
  if (folder == children_.end()) return out;
  for (auto& [name, id] : folder->second) out.push_back(nodes_.at(id));
  return out;
}

std::vector<Node> RemoteIndex::all() const {
  std::vector<Node> out;
  for (auto& id : subtree(kRootId)) out.push_back(nodes_.at(id));
  return out;
}

std::optional<std::string> RemoteIndex::pathOf(const std::string& id) const {
  std::string path;
  std::string at = id;
  for (std::size_t depth = 0; at != kRootId; ++depth) {
    const Node* node = find(at);
    if (!node || depth > 4096) return std::nullopt;
    path = path.empty() ? node->name : node->name + "/" + path;
    at = node->parent;
  }
  return path;
}

std::vector<std::string> RemoteIndex::subtree(const std::string& id) const {
  std::vector<std::string> out{id};
  for (std::size_t i = 0; i < out.size(); ++i) {
    auto folder = children_.find(out[i]);
    if (folder == children_.end()) continue;
    for (auto& [name, child] : folder->second) out.push_back(child);
  }
  return out;
}

// Counters are written once per transaction, not once per id or version handed out.
void RemoteIndex::saveCounters() {
  if (!countersMoved_) return;
  setMeta("nextId", std::to_string(nextId_));
  setMeta("nextVersion", std::to_string(nextVersion_));
  setMeta("anchor", std::to_string(anchor_));
  countersMoved_ = false;
}

void RemoteIndex::write(const Node& node) {
  if (!inTransaction_) throw std::logic_error("index rows change only inside a transaction");
  if (!upsert_)
    upsert_ = std::make_unique<Statement>(
        db_, "INSERT OR REPLACE INTO items VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  Statement& stmt = *upsert_;
  stmt.reset();
  stmt.bind(node.id).bind(node.parent).bind(node.name).bind(std::int64_t{node.dir});
  stmt.bind(node.version).bind(node.etag).bind(static_cast<std::int64_t>(node.size));
  stmt.bind(node.mtime).bind(std::int64_t{node.listed}).step();
}

std::string RemoteIndex::insert(Node node) {
  node.id = prefix_ + "-" + std::to_string(nextId_);
  ++nextId_;
  countersMoved_ = true;
  write(node);
  children_[node.parent][node.name] = node.id;
  nodes_[node.id] = node;
  return node.id;
}

void RemoteIndex::update(const Node& node) {
  auto& old = nodes_.at(node.id);
  write(node);
  if (node.id != kRootId && (old.parent != node.parent || old.name != node.name)) {
    auto& siblings = children_[old.parent];
    auto at = siblings.find(old.name);
    if (at != siblings.end() && at->second == node.id) siblings.erase(at);
    children_[node.parent][node.name] = node.id;
  }
  old = node;
}

void RemoteIndex::forget(const std::string& id) {
  Statement(db_, "DELETE FROM items WHERE id = ?").bind(id).step();
  auto found = nodes_.find(id);
  if (found == nodes_.end()) return;
  auto& siblings = children_[found->second.parent];
  auto at = siblings.find(found->second.name);
  if (at != siblings.end() && at->second == id) siblings.erase(at);
  children_.erase(id);
  nodes_.erase(found);
}

void RemoteIndex::removeSubtree(const std::string& id) {
  auto ids = subtree(id);
  for (auto it = ids.rbegin(); it != ids.rend(); ++it) forget(*it);
}

std::string RemoteIndex::freshVersion() {
  std::string version = "v";
  version += std::to_string(nextVersion_);
  version += "." + prefix_;
  ++nextVersion_;
  countersMoved_ = true;
  return version;
}

void RemoteIndex::raiseAnchor() {
  ++anchor_;
  countersMoved_ = true;
}

RemoteIndex::Transaction::Transaction(RemoteIndex& index) : index_(index) {
  index_.exec("BEGIN IMMEDIATE");
  index_.inTransaction_ = true;
}

RemoteIndex::Transaction::~Transaction() {
  index_.inTransaction_ = false;
  if (done_) return;
  index_.db_.tryExec("ROLLBACK");
  try {
    index_.load();
  } catch (const std::exception&) {
    // The rows in memory stay as they were; the next change reloads or fails again.
  }
}

void RemoteIndex::Transaction::commit() {
  index_.saveCounters();
  index_.exec("COMMIT");
  done_ = true;
}

}  // namespace QuorvelleDrive::companion::remote
