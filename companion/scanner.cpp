#include "companion/scanner.h"

#include <algorithm>

#include "companion/refusal.h"

namespace QuorvelleDrive::companion {

namespace {

void index(const std::vector<Row>& rows, std::size_t from,
           std::multimap<std::pair<std::int64_t, bool>, std::size_t>& byInode,
           std::multimap<std::pair<std::string, std::string>, std::size_t>& byPlace) {
  for (std::size_t i = from; i < rows.size(); ++i) {
    if (rows[i].id == kRootId) continue;
    byInode.emplace(std::pair(rows[i].inode, rows[i].dir), i);
    byPlace.emplace(std::pair(rows[i].parent, rows[i].name), i);
  }
}

}  // namespace

bool Reconciler::run() {
  rows_ = index_.all();
  index(rows_, 0, byInode_, byPlace_);
  everything_ = true;
  claimed_.insert(kRootId);
  walk(store_.openFolder({}).get(), kRootId, true);
  dropUnclaimed();
  return changed_;
}

bool Reconciler::run(const std::vector<std::string>& folders) {
  // Shallower folders first: a folder renamed in its parent is then reached by its new name.
  std::vector<std::pair<std::size_t, std::string>> order;
  for (const auto& id : folders) {
    auto row = index_.byId(id);
    auto names = row && row->dir ? index_.namesOf(*row) : std::nullopt;
    if (!names) continue;
    order.emplace_back(names->size(), id);
    adopt(id);
  }
  std::sort(order.begin(), order.end());
  for (const auto& [depth, id] : order) {
    auto row = index_.byId(id);
    auto names = row && row->dir ? index_.namesOf(*row) : std::nullopt;
    if (!names) continue;  // dropped or moved away meanwhile
    try {
      walk(store_.openFolder(*names).get(), id, false);
    } catch (const Refusal&) {
      // Gone from the disk: its parent's own event drops it.
    }
  }
  dropUnclaimed();
  return changed_;
}

// A folder nobody watches yet (one just made through a request) may have lost entries to the
// folders of this pass unreported, so its rows are candidates too.
void Reconciler::adopt(const std::string& parent) {
  if (everything_ || !adopted_.insert(parent).second) return;
  std::size_t from = rows_.size();
  for (auto& row : index_.children(parent)) rows_.push_back(std::move(row));
  index(rows_, from, byInode_, byPlace_);
  for (std::size_t i = from, end = rows_.size(); i < end; ++i)
    if (rows_[i].dir && watch_ && !watch_->watching(rows_[i].id)) adopt(std::string(rows_[i].id));
}

// One open folder per level: names resolve against their folder, never as one long path. A
// shallow walk goes into a subfolder only when its contents are unknown.
void Reconciler::walk(int folder, const std::string& id, bool deep) {
  // A folder named by the watcher may have been read already, whole, from its parent: its
  // entries are claimed, and a second reading would take them for new ones.
  if (!walked_.insert(id).second) return;
  if (watch_) watch_->watch(folder, id);
  adopt(id);
  for (auto& name : entryNames(folder)) {
    if (id == kRootId && name == Store::kHiddenName) continue;
    auto disk = inspect(folder, name);
    if (!disk) continue;
    auto [child, unknown] = claim(id, name, *disk);
    if (!disk->dir || !(deep || unknown)) continue;
    UniqueFd sub = openSubfolder(folder, name);
    if (sub.valid()) walk(sub.get(), child, true);
  }
}

// The inode comes first so that moves keep their ids; the place catches files that editors
// replace by renaming a new file over them. A file found by inode elsewhere must also look as it
// did (size and time): a deleted file's inode is soon reused by an unrelated new one.
std::optional<Row> Reconciler::match(const std::string& parent, const std::string& name,
                                     const DiskState& disk) const {
  for (auto [at, end] = byInode_.equal_range({disk.inode, disk.dir}); at != end; ++at) {
    const Row& row = rows_[at->second];
    if (!claimed_.count(row.id) && (row.dir || row.stamp == disk.stamp)) return row;
  }
  for (auto [at, end] = byPlace_.equal_range({parent, name}); at != end; ++at) {
    const Row& row = rows_[at->second];
    if (row.dir == disk.dir && !claimed_.count(row.id)) return row;
  }
  return std::nullopt;
}

std::pair<std::string, bool> Reconciler::claim(const std::string& parent, const std::string& name,
                                               const DiskState& disk) {
  auto found = match(parent, name, disk);
  if (!found) {
    Row row{"",         parent,    name, disk.dir, disk.dir ? "" : index_.freshVersion(),
            disk.inode, disk.stamp};
    row.id = index_.insert(row);
    claimed_.insert(row.id);
    changed_ = true;
    return {row.id, true};
  }
  Row row = *found;
  claimed_.insert(row.id);
  bool moved = row.parent != parent || row.name != name;
  bool edited = !row.dir && (row.inode != disk.inode || row.stamp != disk.stamp);
  bool replaced = row.inode != disk.inode;
  bool unknown = replaced || (row.dir && watch_ && !watch_->watching(row.id));
  if (!moved && !edited && !replaced) return {row.id, unknown};
  row.parent = parent;
  row.name = name;
  row.inode = disk.inode;
  row.stamp = disk.stamp;
  if (edited) row.version = index_.freshVersion();
  index_.update(row);
  changed_ = changed_ || moved || edited;
  return {row.id, unknown};
}

// What is inside a dropped folder goes with it, unless it was found elsewhere in this pass.
void Reconciler::dropUnclaimed() {
  for (auto& row : rows_) {
    if (claimed_.count(row.id)) continue;
    if (row.dir && !everything_) index_.removeTree(row.id);
    index_.remove(row.id);
    changed_ = true;
  }
}

}  // namespace QuorvelleDrive::companion
