// One pass over the store that brings the index in line with the disk: entries keep their ids
// when found at their place or, after a move, by their inode; new entries get fresh ids, edited
// files fresh versions, and rows whose entry is gone are dropped. The hidden folder, links,
// special files and names that are not UTF-8 are not items. A pass covers the whole tree, or
// only the folders a watcher names (and whatever is inside a folder new among them).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "companion/index.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {

// Whoever watches the store's folders for changes, as a pass sees them.
class FolderWatch {
 public:
  virtual ~FolderWatch() = default;
  // Called with each folder a pass reads, open, before its entries are read: a change made after
  // the reading is then always reported.
  virtual void watch(int folder, const std::string& id) = 0;
  // False for a folder never watched, whose entries may have changed unreported.
  virtual bool watching(const std::string& id) const = 0;
};

class Reconciler {
 public:
  Reconciler(const Store& store, Index& index, FolderWatch* watch = nullptr)
      : store_(store), index_(index), watch_(watch) {}

  // Every folder, from the root down. True when anything a listing shows has changed.
  bool run();
  // The entries of `folders` only, and everything inside a folder found new or replaced there.
  // Entries that moved between two of them keep their ids. True as for run().
  bool run(const std::vector<std::string>& folders);

 private:
  // Makes the rows under `parent` candidates for what the disk holds.
  void adopt(const std::string& parent);
  void walk(int folder, const std::string& id, bool deep);
  // The entry's id, and whether its contents are unknown (a folder new, replaced or unwatched).
  std::pair<std::string, bool> claim(const std::string& parent, const std::string& name,
                                     const DiskState& disk);
  std::optional<Row> match(const std::string& parent, const std::string& name,
                           const DiskState& disk) const;
  void dropUnclaimed();

  const Store& store_;
  Index& index_;
  FolderWatch* watch_;
  // The candidate rows as the pass began, looked up in memory rather than one query per entry:
  // a row changes only once claimed, and a claimed row is never matched again.
  std::vector<Row> rows_;
  std::multimap<std::pair<std::int64_t, bool>, std::size_t> byInode_;
  std::multimap<std::pair<std::string, std::string>, std::size_t> byPlace_;
  std::unordered_set<std::string> claimed_;
  std::unordered_set<std::string> adopted_;  // folders whose rows are candidates
  std::unordered_set<std::string> walked_;   // folders read in this pass
  bool everything_ = false;                  // every row is a candidate
  bool changed_ = false;
};

}  // namespace QuorvelleDrive::companion
