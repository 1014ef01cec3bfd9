// One pass over the store that brings the index in line with the disk: entries keep their ids
// when found at their place or, after a move, by their inode; new entries get fresh ids, edited
// files fresh versions, and rows whose entry is gone are dropped. The hidden folder, links,
// special files and names that are not UTF-8 are not items.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "companion/index.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {

class Reconciler {
 public:
  // Gets each folder the pass visits, open, with its id, before its entries are read.
  using FolderSeen = std::function<void(int folder, const std::string& id)>;

  Reconciler(const Store& store, Index& index, FolderSeen seen = {})
      : store_(store), index_(index), seen_(std::move(seen)) {}

  // True when anything a listing shows has changed.
  bool run();

 private:
  void walk(int folder, const std::string& id);
  std::string claim(const std::string& parent, const std::string& name, const DiskState& disk);
  std::optional<Row> match(const std::string& parent, const std::string& name,
                           const DiskState& disk) const;

  const Store& store_;
  Index& index_;
  FolderSeen seen_;
  // The rows as the pass began, looked up in memory rather than one query per entry: a row
  // changes only once claimed, and a claimed row is never matched again.
  std::vector<Row> rows_;
  std::multimap<std::pair<std::int64_t, bool>, std::size_t> byInode_;
  std::multimap<std::pair<std::string, std::string>, std::size_t> byPlace_;
  std::unordered_set<std::string> claimed_;
  bool changed_ = false;
};

}  // namespace QuorvelleDrive::companion
