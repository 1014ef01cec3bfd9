// The remote drive's index (SQLite, WAL, in the companion's state directory): one row per item
// with its id, place, kind, content version, the server's ETag, size and time, and whether a
// folder's children have been read; plus the anchor and the counters behind ids and versions.
// Rows are also held in memory, so that lookups and polls never wait for the disk. Not
// thread-safe: the drive serialises use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sqlite/sqlite.h"

namespace QuorvelleDrive::companion::remote {

inline constexpr const char* kRootId = "1";

struct Node {
  std::string id;
  std::string parent;
  std::string name;
  bool dir = false;
  std::string version;  // the companion's own; never the ETag
  std::string etag;
  std::uint64_t size = 0;
  double mtime = 0;
  bool listed = false;  // a folder whose children the index holds
};

class RemoteIndex {
 public:
  // Opens or makes the index for `url`; one made for another URL is refused.
  RemoteIndex(const std::filesystem::path& file, const std::string& url);
  ~RemoteIndex();
  RemoteIndex(const RemoteIndex&) = delete;
  RemoteIndex& operator=(const RemoteIndex&) = delete;

  const Node* find(const std::string& id) const;
  const Node* child(const std::string& parent, const std::string& name) const;
  std::vector<Node> children(const std::string& parent) const;
  std::vector<Node> all() const;
  // "" for the root, "a/b" for b in a; none when a row on the way is missing.
  std::optional<std::string> pathOf(const std::string& id) const;
  // Ids of the subtree under `id` (itself included), parents before children.
  std::vector<std::string> subtree(const std::string& id) const;

  // Adds a row under a fresh id (never handed out by this index, nor by any earlier one, thanks
  // to its random prefix) and returns that id.
  std::string insert(Node node);
  void update(const Node& node);
  void removeSubtree(const std::string& id);

  std::string freshVersion();
  std::uint64_t anchor() const { return anchor_; }
  void raiseAnchor();

  // All-or-nothing group of changes; rolled back (the memory too) unless commit() ran.
  class Transaction {
   public:
    explicit Transaction(RemoteIndex& index);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

   private:
    RemoteIndex& index_;
    bool done_ = false;
  };

 private:
  void exec(const char* sql) const;
  void load();
  std::string meta(const char* key) const;
  void setMeta(const char* key, const std::string& value);
  void write(const Node& node);
  void forget(const std::string& id);
  void saveCounters();

  mutable sqlite::Database db_;                // reads prepare statements too
  std::unique_ptr<sqlite::Statement> upsert_;  // prepared once: a poll may write thousands of rows
  std::unordered_map<std::string, Node> nodes_;
  std::unordered_map<std::string, std::map<std::string, std::string>> children_;
  std::string prefix_;
  std::uint64_t anchor_ = 0;
  std::uint64_t nextId_ = 0;
  std::uint64_t nextVersion_ = 0;
  bool countersMoved_ = false;
  bool inTransaction_ = false;
};

}  // namespace QuorvelleDrive::companion::remote
