// The mount's inodes: one per item it knows, with its place in the tree, its local copy and the
// times it shows; and the folders' listings, with the outbox laid over them so that no listing
// hides what was made here or undoes a rename or removal still on its way. Not thread-safe: the
// mount holds its lock around every call.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host_bridge.h"
#include "node_times.h"
#include "outbox.h"

namespace QuorvelleDrive::fuse {

// A fetch on its way: later opens of the same item wait for it rather than fetching again.
struct FetchInFlight {
  bool done = false;
  int err = 0;
};

struct Node {
  fuse_ino_t ino = 0;
  ItemIdentifier id{""};
  ItemPtr item;
  fuse_ino_t parent = 0;  // 0 once no known folder holds it
  std::string name;
  std::uint64_t lookups = 0;
  bool folder = false;
  bool deleted = false;  // removed through the mount: its later writes go nowhere
  NodeTimes times;

  // Folders.
  bool listed = false;
  bool stale = false;  // to be listed again at the next poll
  std::map<std::string, fuse_ino_t> children;
  SyncAnchor anchor;
  std::uint64_t localChanges = 0;  // entries changed here; a listing asked for before is stale

  // Files: the one local copy that every descriptor of the file reads and writes (set it
  // through InodeTable::setLocal).
  std::filesystem::path local;
  ItemVersion base;  // the companion's version the local copy rests on
  int writers = 0;
  bool unrecorded = false;  // an empty stand-in for a truncation the outbox has yet to record
  std::shared_ptr<FetchInFlight> fetching;
};

// What the kernel must be told after the tree changed under it.
struct Notice {
  enum Kind { Entry, Delete, Inode, Attributes } kind;
  fuse_ino_t parent;
  fuse_ino_t ino;
  std::string name;
};

class InodeTable {
 public:
  // `discard` is told of each local copy that the table lets go of.
  explicit InodeTable(std::function<void(const std::filesystem::path&)> discard = {});

  Node* find(fuse_ino_t ino);
  const Node* find(fuse_ino_t ino) const;
  Node* byIdentifier(const ItemIdentifier& id);
  fuse_ino_t child(fuse_ino_t folder, const std::string& name) const;
  template <class F>
  void forEach(F f) {
    for (auto& [_, node] : nodes_) f(node);
  }

  // The node for `item` (made when new, its times from the item's date), placed under `parent`.
  Node& adopt(const ItemPtr& item, fuse_ino_t parent);
  // A node for something made here, under `id`, with no companion item yet.
  Node& make(const ItemIdentifier& id, bool folder, const timespec& now);
  // Gives `node` another local copy; the one it had is discarded unless another node has it.
  void setLocal(Node& node, std::filesystem::path local);
  bool usesLocal(const std::filesystem::path& local) const;
  // The companion's newer word on a known item: its times move only when its version changed
  // (mtime with the contents, ctime with anything), and never backwards. True when its
  // contents changed.
  bool update(Node& node, const ItemPtr& item, const timespec& now);
  // `ino` enters `folder` as `name` (replacing what was there) or leaves it: the folder's times
  // and change count move, the item's ctime too.
  void attach(fuse_ino_t folder, const std::string& name, fuse_ino_t ino, const timespec& now);
  void detach(fuse_ino_t folder, const std::string& name, const timespec& now);
  void move(fuse_ino_t ino, fuse_ino_t from, const std::string& name, fuse_ino_t to,
            const std::string& newName, const timespec& now);
  // Gives `ino` the identity `id`; a node that had it goes (out of its folder too).
  void reidentify(fuse_ino_t ino, const ItemIdentifier& id);
  // Drops a node that neither the kernel nor any folder or writer holds, with its local copy.
  void forgetIfUnused(fuse_ino_t ino);

  // A folder's fresh listing, with the outbox over it: items that pending changes place
  // elsewhere (or remove) are left where those put them, items they place here are shown
  // (made as nodes when new), a file open for writing stays; new children are adopted,
  // vanished ones let go, and what the kernel must hear about is added to `notices` (when
  // given). An item's times move only when its version changed, the folder's when its entries
  // did, and neither ever backwards.
  void applyListing(fuse_ino_t folder, SyncAnchor anchor, const std::vector<ItemPtr>& items,
                    const Outbox& outbox, std::vector<Notice>* notices);

  // What stat shows; `size` is the size of the bytes at hand, when there are any.
  struct stat attributes(const Node& node, std::optional<std::int64_t> size) const;

 private:
  void pinChildren(Node& folder, const Outbox& outbox, std::map<std::string, fuse_ino_t>& into,
                   const timespec& now);

  std::unordered_map<fuse_ino_t, Node> nodes_;
  std::unordered_map<ItemIdentifier, fuse_ino_t> byId_;
  std::unordered_map<std::string, int> locals_;  // local copies in use, by path
  std::function<void(const std::filesystem::path&)> discard_;
  fuse_ino_t nextIno_ = 2;
};

bool isFolder(const ItemPtr& item);
void removeQuietly(const std::filesystem::path& path);

}  // namespace QuorvelleDrive::fuse
