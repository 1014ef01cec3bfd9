#include "companion/catalog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <stdexcept>

#include "companion/refusal.h"
#include "companion/scanner.h"

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

namespace {

constexpr unsigned kMaxConflictNumber = 1u << 24;
// Another program may take the name found free before the copy lands there.
constexpr int kConflictAttempts = 8;

UniqueFd lockStore(const Store& store) {
  auto file = store.hiddenDir() / "lock";
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) throw std::runtime_error("cannot open " + file.string());
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    throw std::runtime_error("the store " + store.root().string() +
                             " is in use by another companion");
  return fd;
}

// Cuts at a UTF-8 character boundary so the result stays valid text.
std::string cutTo(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

}  // namespace

std::string conflictName(const std::string& name, unsigned number) {
  fs::path path(name);
  std::string extension = path.extension().string();
  std::string stem = name.substr(0, name.size() - extension.size());
  std::string tag = " (conflict " + std::to_string(number) + ")";
  if (extension.size() + tag.size() > 128) extension.clear(), stem = name;
  return cutTo(stem, 255 - tag.size() - extension.size()) + tag + extension;
}

unsigned freeConflictNumber(const std::function<bool(unsigned)>& taken) {
  if (!taken(1)) return 1;
  unsigned low = 1, high = 2;  // low is taken; is high?
  for (; taken(high); high *= 2) {
    if (high >= kMaxConflictNumber) throw Refusal(Word::exists);
    low = high;
  }
  while (high - low > 1) {
    unsigned middle = low + (high - low) / 2;
    (taken(middle) ? low : high) = middle;
  }
  return high;
}

Catalog::Catalog(fs::path root, bool readOnly)
    : store_(std::move(root)),
      lock_(lockStore(store_)),
      index_(store_.hiddenDir() / "index.db"),
      readOnly_(readOnly) {
  reconcile();
}

Place Catalog::placeOf(const Row& row) const {
  auto names = index_.namesOf(row);
  if (!names) throw Refusal(Word::notFound);
  if (names->empty()) return {store_.openFolder({}), "."};
  std::string name = std::move(names->back());
  names->pop_back();
  return {store_.openFolder(*names), std::move(name)};
}

UniqueFd Catalog::openFolder(const Row& folder) const {
  auto names = index_.namesOf(folder);
  if (!names) throw Refusal(Word::notFound);
  return store_.openFolder(*names);
}

Row Catalog::existing(const std::string& id) const {
  auto row = index_.byId(id);
  if (!row) throw Refusal(Word::notFound);
  return *row;
}

Row Catalog::folder(const std::string& id) const {
  Row row = existing(id);
  if (!row.dir) throw Refusal(Word::notDir);
  return row;
}

std::optional<ItemInfo> Catalog::describe(const Row& row, int folder,
                                          const std::string& name) const {
  auto disk = inspect(folder, name);
  if (!disk || disk->dir != row.dir) return std::nullopt;
  return ItemInfo{row, disk->mtime, disk->size};
}

std::optional<ItemInfo> Catalog::describe(const Row& row) const {
  try {
    Place place = placeOf(row);
    return describe(row, place.folder.get(), place.name);
  } catch (const Refusal&) {
    return std::nullopt;
  }
}

ItemInfo Catalog::described(const Row& row) const {
  auto info = describe(row);
  if (!info) throw Refusal(Word::notFound);
  return *info;
}

void Catalog::requireWritable() const {
  if (readOnly_) throw Refusal(Word::access);
}

void Catalog::requireMovable(const std::string& id) const {
  if (id == kRootId) throw Refusal(Word::access);
}

Row Catalog::recorded(Row row, const Place& place) const {
  if (auto disk = inspect(place)) {
    row.inode = disk->inode;
    row.stamp = disk->stamp;
  }
  return row;
}

// An edit made on the disk that the watcher has not seen yet still counts as the current version.
void Catalog::freshen(Row& row) {
  auto disk = inspect(placeOf(row));
  if (!disk || disk->dir != row.dir) throw Refusal(Word::notFound);
  if (row.dir || (disk->inode == row.inode && disk->stamp == row.stamp)) return;
  row.version = index_.freshVersion();
  row.inode = disk->inode;
  row.stamp = disk->stamp;
  index_.update(row);
  index_.raiseAnchor();
}

// Rows left at a place the disk just gave to another item describe things already gone.
void Catalog::forgetOthersAt(const std::string& parent, const std::string& name,
                             const std::string& keep) {
  for (auto& other : index_.atPlace(parent, name))
    if (other.id != keep) forgetSubtree(other.id);
}

void Catalog::forgetSubtree(const std::string& id) {
  index_.removeTree(id);
  index_.remove(id);
}

ItemInfo Catalog::item(const std::string& id) {
  std::lock_guard lock(mutex_);
  return described(existing(id));
}

void Catalog::read(const std::string& id, ContentsSink& sink) {
  std::unique_lock lock(mutex_);
  Row row = existing(id);
  if (row.dir) throw Refusal(Word::isDir);
  Place place = placeOf(row);
  if (auto disk = inspect(place); disk && disk->link) {
    std::string target = store_.linkTarget(place);
    lock.unlock();
    sink.begin(target.size());
    if (!sink.write(target)) throw Refusal(Word::io);
    return;
  }
  UniqueFd fd = store_.openFile(place);
  // Writes replace files by renaming, so this descriptor keeps seeing one whole version.
  lock.unlock();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) refuseErrno(errno);
  auto size = static_cast<std::uint64_t>(st.st_size);
  sink.begin(size);
  // A file cut short meanwhile by another program ends the reply early.
  if (!sink.sendFile(fd.get(), size)) throw Refusal(Word::io);
}

template <typename Change>
auto Catalog::durably(Change change) {
  std::uint64_t ticket = 0;
  auto result = [&] {
    std::lock_guard lock(mutex_);
    Index::Transaction transaction(index_);
    Touched touched;
    auto made = change(touched);
    transaction.commit();
    ticket = group_.join(std::move(touched));
    return made;
  }();
  group_.wait(ticket);
  return result;
}

ItemInfo Catalog::create(const std::string& parent, const std::string& name, bool dir,
                         StagedFile* contents) {
  return durably([&](Touched& touched) {
    requireWritable();
    if (!isValidName(name)) throw Refusal(Word::badName);
    Place target{openFolder(folder(parent)), name};
    if (dir) {
      store_.makeDirectory(target);
    } else {
      if (!contents) throw Refusal(Word::badRequest);
      store_.commit(*contents, target, false);
    }
    forgetOthersAt(parent, name, "");
    Row row = recorded({"", parent, name, dir, dir ? "" : index_.freshVersion(), 0, ""}, target);
    row.id = index_.insert(row);
    index_.raiseAnchor();
    touched.push_back(std::move(target.folder));
    return described(row);
  });
}

ItemInfo Catalog::rename(const std::string& id, const std::string& parent,
                         const std::string& name) {
  return durably([&](Touched& touched) {
    requireWritable();
    requireMovable(id);
    Row row = existing(id);
    if (!isValidName(name)) throw Refusal(Word::badName);
    Row destination = folder(parent);
    if (row.parent == parent && row.name == name) return described(row);
    for (Row at = destination; row.dir; at = existing(at.parent)) {
      if (at.id == id) throw Refusal(Word::badMove);
      if (at.id == kRootId) break;
    }
    Place from = placeOf(row);
    Place to{openFolder(destination), name};
    store_.move(from, to);
    forgetOthersAt(parent, name, id);
    row.parent = parent;
    row.name = name;
    row = recorded(row, to);  // a link renamed into a regular file is a new inode
    index_.update(row);
    index_.raiseAnchor();
    touched.push_back(std::move(from.folder));
    touched.push_back(std::move(to.folder));
    return described(row);
  });
}

WriteOutcome Catalog::write(const std::string& id, const std::optional<std::string>& base,
                            StagedFile& contents) {
  return durably([&](Touched& touched) {
    requireWritable();
    Row row = existing(id);
    if (row.dir) throw Refusal(Word::isDir);
    freshen(row);
    Place target = placeOf(row);
    if (!base || *base != row.version || store_.openForWriting(target))
      return keepConflict(row, contents, touched);
    store_.commit(contents, target, true);
    row = recorded(row, target);
    row.version = index_.freshVersion();
    index_.update(row);
    index_.raiseAnchor();
    touched.push_back(std::move(target.folder));
    return WriteOutcome{described(row), false};
  });
}

WriteOutcome Catalog::keepConflict(const Row& current, StagedFile& contents, Touched& touched) {
  Place copy{openFolder(existing(current.parent)), ""};
  auto used = [&](unsigned number) {
    std::string name = conflictName(current.name, number);
    return index_.child(current.parent, name) || occupied(copy.folder.get(), name);
  };
  for (int attempt = 1;; ++attempt) {
    copy.name = conflictName(current.name, freeConflictNumber(used));
    try {
      store_.commit(contents, copy, false);
      break;
    } catch (const Refusal& refusal) {
      if (refusal.word() != Word::exists || attempt == kConflictAttempts) throw;
    }
  }
  Row row = recorded({"", current.parent, copy.name, false, index_.freshVersion(), 0, ""}, copy);
  index_.insert(row);
  index_.raiseAnchor();
  touched.push_back(std::move(copy.folder));
  return WriteOutcome{described(current), true};
}

void Catalog::remove(const std::string& id) {
  durably([&](Touched& touched) {
    requireWritable();
    requireMovable(id);
    Row row = existing(id);
    Place place = placeOf(row);
    store_.remove(place, row.dir);
    forgetSubtree(id);
    index_.raiseAnchor();
    touched.push_back(std::move(place.folder));
    return true;
  });
}

std::vector<ItemInfo> Catalog::list(const std::string& id) {
  std::lock_guard lock(mutex_);
  UniqueFd fd = openFolder(folder(id));
  std::vector<ItemInfo> items;
  for (auto& row : index_.children(id))
    if (auto info = describe(row, fd.get(), row.name)) items.push_back(*info);
  return items;
}

std::vector<ItemInfo> Catalog::all() {
  std::lock_guard lock(mutex_);
  std::multimap<std::string, Row> children;
  for (auto& row : index_.all())
    if (row.id != kRootId) children.emplace(row.parent, std::move(row));
  std::vector<ItemInfo> items;
  describeTree(kRootId, store_.openFolder({}).get(), children, items);
  return items;
}

// From the root down, one open folder per level, so that no row costs a walk of its own.
void Catalog::describeTree(const std::string& id, int folder,
                           const std::multimap<std::string, Row>& children,
                           std::vector<ItemInfo>& items) const {
  for (auto [at, end] = children.equal_range(id); at != end; ++at) {
    const Row& row = at->second;
    auto info = describe(row, folder, row.name);
    if (!info) continue;
    items.push_back(*info);
    if (!row.dir) continue;
    UniqueFd sub = openSubfolder(folder, row.name);
    if (sub.valid()) describeTree(row.id, sub.get(), children, items);
  }
}

std::uint64_t Catalog::anchor() {
  std::lock_guard lock(mutex_);
  return index_.anchor();
}

void Catalog::reconcile(FolderWatch* watch) {
  durably([&](Touched&) {
    if (Reconciler(store_, index_, watch).run()) index_.raiseAnchor();
    return true;
  });
}

std::vector<std::string> Catalog::reconcile(const std::vector<std::string>& folders,
                                            FolderWatch* watch) {
  return durably([&](Touched&) {
    if (Reconciler(store_, index_, watch).run(folders)) index_.raiseAnchor();
    std::vector<std::string> gone;
    for (const auto& id : folders)
      if (auto row = index_.byId(id); !row || !row->dir) gone.push_back(id);
    return gone;
  });
}

}  // namespace QuorvelleDrive::companion
