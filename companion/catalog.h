// The companion's items: the store's tree seen through the index. Every operation takes one lock,
// so requests, the watcher's rescans and the start-up scan never interleave. A change returns
// once it is durable; changes made together share their syncs (group_commit.h). Failures throw
// Refusal with the word for the reply.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "companion/fd.h"
#include "companion/group_commit.h"
#include "companion/index.h"
#include "companion/scanner.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {

struct ItemInfo {
  Row row;
  double mtime = 0;
  std::uint64_t size = 0;
};

struct WriteOutcome {
  ItemInfo item;         // the item as it now is
  bool restore = false;  // the bytes went to a conflict copy; the host should fetch again
};

class Catalog {
 public:
  // Locks the store against a second companion, opens the index and reconciles it with the disk.
  Catalog(std::filesystem::path root, bool readOnly);

  const Store& store() const { return store_; }
  bool readOnly() const { return readOnly_; }

  ItemInfo item(const std::string& id);
  std::string read(const std::string& id);
  // `contents` is required for a file and ignored for a folder.
  ItemInfo create(const std::string& parent, const std::string& name, bool dir,
                  StagedFile* contents);
  ItemInfo rename(const std::string& id, const std::string& parent, const std::string& name);
  // A `base` other than the current version keeps the current bytes and files the new ones as a
  // conflict copy beside it; so does a file that another program holds open for writing.
  WriteOutcome write(const std::string& id, const std::optional<std::string>& base,
                     StagedFile& contents);
  void remove(const std::string& id);
  std::vector<ItemInfo> list(const std::string& id);
  std::vector<ItemInfo> all();
  std::uint64_t anchor();

  // Brings the index in line with the disk, raising the anchor when a listing would differ, and
  // tells `watch` about each folder it reads.
  void reconcile(FolderWatch* watch = nullptr);
  // The same for the entries of `folders` only (and inside folders new or unwatched there), as
  // a watcher names them; returns those of `folders` that are no longer folders of the store.
  std::vector<std::string> reconcile(const std::vector<std::string>& folders,
                                     FolderWatch* watch = nullptr);

 private:
  using Touched = std::vector<UniqueFd>;  // folders whose entries a change made or removed
  // Makes `change(touched)` under the lock, as one change of the index's open batch, and returns
  // its result once the group it joined is durable.
  template <typename Change>
  auto durably(Change change);
  // The folder that holds `row` and its name there; a refusal when the disk no longer has that
  // chain of folders.
  Place placeOf(const Row& row) const;
  UniqueFd openFolder(const Row& folder) const;
  std::optional<ItemInfo> describe(const Row& row, int folder, const std::string& name) const;
  Row existing(const std::string& id) const;
  Row folder(const std::string& id) const;
  std::optional<ItemInfo> describe(const Row& row) const;
  ItemInfo described(const Row& row) const;
  void requireWritable() const;
  void requireMovable(const std::string& id) const;
  void freshen(Row& row);
  void forgetOthersAt(const std::string& parent, const std::string& name, const std::string& keep);
  void forgetSubtree(const std::string& id);
  WriteOutcome keepConflict(const Row& current, StagedFile& contents, Touched& touched);
  Row recorded(Row row, const Place& place) const;
  void describeTree(const std::string& id, int folder,
                    const std::multimap<std::string, Row>& children,
                    std::vector<ItemInfo>& items) const;

  std::mutex mutex_;
  Store store_;
  UniqueFd lock_;
  Index index_;
  GroupCommit group_{mutex_, [this] { index_.commitBatch(); }};
  bool readOnly_;
};

// "report.txt" → "report (conflict 2).txt", shortened to fit 255 bytes.
std::string conflictName(const std::string& name, unsigned number);
// A number that `taken` says is free, found by doubling and then halving: with 1…m taken it is
// m + 1, after about 2·log2(m) questions rather than m + 1. A gap left lower down may be found
// or not. Refuses with `exists` when every number up to 2^24 seems taken.
unsigned freeConflictNumber(const std::function<bool(unsigned)>& taken);

}  // namespace QuorvelleDrive::companion
