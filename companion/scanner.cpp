#include "companion/scanner.h"

namespace QuorvelleDrive::companion {

bool Reconciler::run() {
  rows_ = index_.all();
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].id == kRootId) continue;
    byInode_.emplace(std::pair(rows_[i].inode, rows_[i].dir), i);
    byPlace_.emplace(std::pair(rows_[i].parent, rows_[i].name), i);
  }
  claimed_.insert(kRootId);
  walk(store_.openFolder({}).get(), kRootId);
  for (auto& row : rows_) {
    if (claimed_.count(row.id)) continue;
    index_.remove(row.id);
    changed_ = true;
  }
  return changed_;
}

// One open folder per level: names resolve against their folder, never as one long path.
void Reconciler::walk(int folder, const std::string& id) {
  if (seen_) seen_(folder, id);
  for (auto& name : entryNames(folder)) {
    if (id == kRootId && name == Store::kHiddenName) continue;
    auto disk = inspect(folder, name);
    if (!disk) continue;
    std::string child = claim(id, name, *disk);
    if (!disk->dir) continue;
    UniqueFd sub = openSubfolder(folder, name);
    if (sub.valid()) walk(sub.get(), child);
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

std::string Reconciler::claim(const std::string& parent, const std::string& name,
                              const DiskState& disk) {
  auto found = match(parent, name, disk);
  if (!found) {
    Row row{"",         parent,    name, disk.dir, disk.dir ? "" : index_.freshVersion(),
            disk.inode, disk.stamp};
    row.id = index_.insert(row);
    claimed_.insert(row.id);
    changed_ = true;
    return row.id;
  }
  Row row = *found;
  claimed_.insert(row.id);
  bool moved = row.parent != parent || row.name != name;
  bool edited = !row.dir && (row.inode != disk.inode || row.stamp != disk.stamp);
  if (!moved && !edited && row.inode == disk.inode) return row.id;
  row.parent = parent;
  row.name = name;
  row.inode = disk.inode;
  row.stamp = disk.stamp;
  if (edited) row.version = index_.freshVersion();
  index_.update(row);
  changed_ = changed_ || moved || edited;
  return row.id;
}

}  // namespace QuorvelleDrive::companion
