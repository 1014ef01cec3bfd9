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

#include "companion/backend.h"
#include "companion/fd.h"
#include "companion/group_commit.h"
#include "companion/index.h"
#include "companion/scanner.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {

class Catalog : public Backend {
 public:
  // Locks the store against a second companion, opens the index and reconciles it with the disk.
  Catalog(std::filesystem::path root, bool readOnly);

  const Store& store() const override { return store_; }
  bool readOnly() const override { return readOnly_; }

  ItemInfo item(const std::string& id) override;
  void read(const std::string& id, ContentsSink& sink) override;
  ItemInfo create(const std::string& parent, const std::string& name, bool dir,
                  StagedFile* contents) override;
  ItemInfo rename(const std::string& id, const std::string& parent,
                  const std::string& name) override;
  // A `base` other than the current version keeps the current bytes and files the new ones as a
  // conflict copy beside it; so does a file that another program holds open for writing.
  WriteOutcome write(const std::string& id, const std::optional<std::string>& base,
                     StagedFile& contents) override;
  void remove(const std::string& id) override;
  std::vector<ItemInfo> list(const std::string& id) override;
  std::vector<ItemInfo> all() override;
  std::uint64_t anchor() override;

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

}  // namespace QuorvelleDrive::companion
