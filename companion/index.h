// The store's index (SQLite, WAL): one row per item with its wire id, place, kind, content
// version and what the disk looked like when the row was last reconciled, plus the domain's
// anchor and the counters behind ids and versions. Ids and versions carry the index's epoch, a
// random number chosen when the index is made, so that no two indexes of a store ever hand out
// the same id or version. Not thread-safe: the catalog serialises use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sqlite/sqlite.h"

namespace QuorvelleDrive::companion {

inline constexpr const char* kRootId = "1";

struct Row {
  std::string id;
  std::string parent;
  std::string name;
  bool dir = false;
  std::string version;
  std::int64_t inode = 0;
  std::string stamp;  // size and modification time seen last; a difference is a content change
};

class Index {
 public:
  explicit Index(const std::filesystem::path& file);
  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  std::optional<Row> byId(const std::string& id) const;
  std::optional<Row> child(const std::string& parent, const std::string& name) const;
  std::vector<Row> withInode(std::int64_t inode, bool dir) const;
  std::vector<Row> children(const std::string& parent) const;
  // Every row at one place (stale ones included), found through the place index.
  std::vector<Row> atPlace(const std::string& parent, const std::string& name) const;
  std::vector<Row> all() const;
  // The names from the root down to `row` (none for the root); nothing when the chain of parents
  // breaks or does not reach the root.
  std::optional<std::vector<std::string>> namesOf(const Row& row) const;

  // Adds a row under a fresh id ("<epoch>-<n>", never handed out before) and returns that id.
  std::string insert(Row row);
  void update(const Row& row);
  void remove(const std::string& id);
  // Every row below `id` (not `id` itself).
  void removeTree(const std::string& id);

  // A content version text ("<epoch>-v<n>") not used before in this store.
  std::string freshVersion();
  std::uint64_t anchor() const;
  void raiseAnchor();

  // One all-or-nothing change within the open batch (a savepoint): rolled back, alone, unless
  // commit() ran. The batch opens with the first change and ends at commitBatch(), so changes
  // made one after another share one commit; until then only this connection sees them.
  class Transaction {
   public:
    explicit Transaction(Index& index);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

   private:
    Index& index_;
    bool done_ = false;
  };
  // Makes every change since the last call durable, in one commit.
  void commitBatch();

 private:
  void exec(const char* sql) const;
  std::string loadEpoch();
  std::uint64_t counter(const char* key) const;
  void setCounter(const char* key, std::uint64_t value);
  std::uint64_t takeCounter(const char* key);
  std::vector<Row> rows(const char* where, const std::vector<std::string>& args) const;

  mutable sqlite::Database db_;  // reads prepare statements too
  std::string epoch_;
  bool batchOpen_ = false;
};

}  // namespace QuorvelleDrive::companion
