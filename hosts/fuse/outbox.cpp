#include "outbox.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include "legacy_journal.h"
#include "platform/uuid.h"
#include "sqlite_db.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr const char* kDatabase = "outbox.db";

// One transaction, so that a reader sees all of the tables or none.
constexpr const char* kSchema = R"(
  BEGIN IMMEDIATE;
  CREATE TABLE IF NOT EXISTS entries(seq INTEGER PRIMARY KEY, change INTEGER NOT NULL,
    item BLOB NOT NULL, folder INTEGER NOT NULL, contents INTEGER NOT NULL,
    parent BLOB NOT NULL, name BLOB NOT NULL, origin_parent BLOB NOT NULL,
    origin_name BLOB NOT NULL, base_content BLOB NOT NULL, base_metadata BLOB NOT NULL,
    data BLOB NOT NULL, stage INTEGER NOT NULL, attempts INTEGER NOT NULL, error BLOB NOT NULL,
    sent_size INTEGER NOT NULL, sent_mtime INTEGER NOT NULL, sent_at INTEGER NOT NULL);
  CREATE TABLE IF NOT EXISTS notes(key TEXT PRIMARY KEY, value BLOB NOT NULL);
  CREATE TABLE IF NOT EXISTS held(seq INTEGER PRIMARY KEY);
  COMMIT;
)";

constexpr const char* kColumns =
    "seq, change, item, folder, contents, parent, name, origin_parent, origin_name, "
    "base_content, base_metadata, data, stage, attempts, error, sent_size, sent_mtime, sent_at";

// The first byte of every provisional identifier: never part of UTF-8 text, and the companion's
// identifiers arrive as JSON text.
constexpr char kProvisionalMark = '\xFF';

bool isOwnFile(const std::string& name) {
  return name == kDatabase || name == std::string(kDatabase) + "-wal" ||
         name == std::string(kDatabase) + "-shm" || name == std::string(kDatabase) + "-journal";
}

Entry entryFrom(const Statement& row) {
  Entry e;
  e.seq = row.integer(0);
  e.change = static_cast<Change>(row.integer(1));
  e.item = ItemIdentifier(row.bytes(2));
  e.folder = row.integer(3) != 0;
  e.contents = row.integer(4) != 0;
  e.place = {ItemIdentifier(row.bytes(5)), row.bytes(6)};
  e.origin = {ItemIdentifier(row.bytes(7)), row.bytes(8)};
  e.base = {row.bytes(9), row.bytes(10)};
  e.data = row.bytes(11);
  e.stage = static_cast<Stage>(row.integer(12));
  e.attempts = static_cast<int>(row.integer(13));
  e.error = row.bytes(14);
  e.sentSize = row.integer(15);
  e.sentMtime = row.integer(16);
  e.sentAt = row.integer(17);
  // From an earlier run: a removal that waited this long is checked before it goes.
  e.made = std::chrono::steady_clock::now() - std::chrono::hours(1);
  return e;
}

std::vector<Entry> readEntries(Database& db) {
  Statement query(db, (std::string("SELECT ") + kColumns + " FROM entries ORDER BY seq").c_str());
  std::vector<Entry> out;
  while (query.step()) out.push_back(entryFrom(query));
  return out;
}

void makeOwnerOnly(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || ::chmod(folder.c_str(), 0700) != 0)
    throw std::runtime_error("cannot use " + folder.string() + ": " +
                             (ec ? ec.message() : std::strerror(errno)));
}

}  // namespace

ItemFields Entry::fields() const {
  ItemFields f = contents ? ItemField::contents : 0;
  if (moves()) f |= ItemField::filename | ItemField::parentItemIdentifier;
  return f;
}

Outbox::Outbox(std::filesystem::path folder, const std::vector<std::filesystem::path>& journals)
    : folder_(std::move(folder)) {
  makeOwnerOnly(folder_);
  try {
    open();
    load();
    for (const auto& journal : journals) adoptJournal(journal);
  } catch (const std::runtime_error&) {
    throw;
  } catch (const std::exception& error) {
    throw std::runtime_error("cannot read the outbox in " + folder_.string() + ": " + error.what());
  }
  removeStrays();
}

Outbox::~Outbox() = default;

void Outbox::open() {
  db_ = std::make_unique<Database>(folder_ / kDatabase, true);
  db_->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  db_->exec(kSchema);
  saveStatement_ = std::make_unique<Statement>(
      *db_, "INSERT OR REPLACE INTO entries VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  eraseStatement_ = std::make_unique<Statement>(*db_, "DELETE FROM entries WHERE seq = ?");
  holdStatement_ = std::make_unique<Statement>(*db_, "INSERT OR IGNORE INTO held VALUES(?)");
  unholdStatement_ = std::make_unique<Statement>(*db_, "DELETE FROM held WHERE seq = ?");
}

void Outbox::load() {
  db_->exec("DELETE FROM held");  // a new run: no file is open yet
  Statement note(*db_, "SELECT value FROM notes WHERE key = 'companion'");
  while (note.step()) companionProblem_ = note.bytes(0);
  for (auto& e : readEntries(*db_)) {
    nextSeq_ = std::max(nextSeq_, e.seq + 1);
    auto seq = e.seq;
    entries_.emplace(seq, std::move(e));
    index(entries_.at(seq));
  }
}

// Each step can be repeated after a crash: the bytes move under a name kept by the record's key,
// an entry is made for them unless one names them already, and only then does the record go.
// They may have reached the companion already, so they are looked for before being sent.
void Outbox::adoptJournal(const std::filesystem::path& journal) {
  for (const auto& upload : readLegacyJournal(journal)) {
    std::string data = "journal-" + upload.key;
    std::error_code ec;
    if (std::filesystem::exists(upload.data, ec)) {
      std::filesystem::rename(upload.data, pathOf(data), ec);
      if (ec) {
        std::filesystem::copy_file(upload.data, pathOf(data),
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(upload.data, ec);
      }
    }
    if (std::filesystem::exists(pathOf(data)) && !names(data)) {
      Entry e;
      e.change = Change::modify;
      e.item = upload.id;
      e.contents = true;
      e.place = e.origin = {upload.parent, upload.name};
      e.base = upload.base;
      e.data = data;
      e.stage = Stage::sent;
      append(std::move(e));
    }
    std::filesystem::remove(upload.record, ec);
  }
  std::error_code ec;
  std::filesystem::remove(journal, ec);  // only when empty
}

// Staged files that no entry names are local copies of a run that ended; nothing else has them.
void Outbox::removeStrays() const {
  std::error_code ec;
  for (const auto& file : std::filesystem::directory_iterator(folder_, ec)) {
    auto name = file.path().filename().string();
    if (!isOwnFile(name) && !names(name)) std::filesystem::remove_all(file.path(), ec);
  }
}

ItemIdentifier Outbox::provisionalIdentifier() {
  return ItemIdentifier(std::string(1, kProvisionalMark) + "local-" + randomUUIDString());
}

bool Outbox::isProvisional(const ItemIdentifier& id) {
  return !id.rawValue().empty() && id.rawValue()[0] == kProvisionalMark;
}

std::string Outbox::freshDataName() {
  return randomUUIDString();
}

// Recorded first, so that a change that could not be recorded leaves nothing behind in memory.
std::int64_t Outbox::append(Entry entry) {
  entry.seq = nextSeq_;
  save(entry);
  ++nextSeq_;
  auto seq = entry.seq;
  index(entries_.emplace(seq, std::move(entry)).first->second);
  return seq;
}

void Outbox::recordHeld(const Entry& e) {
  if (!e.held || heldRows_.count(e.seq)) return;
  holdStatement_->bind(e.seq).run();
  heldRows_.insert(e.seq);
}

Entry* Outbox::mergeable(const ItemIdentifier& item) {
  auto it = byItem_.find(item);
  if (it == byItem_.end() || it->second.empty()) return nullptr;
  Entry& last = entries_.at(it->second.back());
  return last.stage != Stage::sent && !last.busy ? &last : nullptr;
}

void Outbox::save(Entry& e) {
  saveStatement_->bind(e.seq)
      .bind(static_cast<std::int64_t>(e.change))
      .bind(e.item.rawValue())
      .bind(std::int64_t{e.folder})
      .bind(std::int64_t{e.contents})
      .bind(e.place.parent.rawValue())
      .bind(e.place.name)
      .bind(e.origin.parent.rawValue())
      .bind(e.origin.name)
      .bind(e.base.contentVersion)
      .bind(e.base.metadataVersion)
      .bind(e.data)
      .bind(static_cast<std::int64_t>(e.stage))
      .bind(std::int64_t{e.attempts})
      .bind(e.error)
      .bind(e.sentSize)
      .bind(e.sentMtime)
      .bind(e.sentAt)
      .run();
}

void Outbox::erase(std::int64_t seq, std::vector<std::string>* freed) {
  auto it = entries_.find(seq);
  if (it == entries_.end()) return;
  eraseStatement_->bind(seq).run();
  if (heldRows_.count(seq)) {
    unholdStatement_->bind(seq).run();
    heldRows_.erase(seq);
  }
  unindex(it->second);
  std::string data = it->second.data;
  entries_.erase(it);
  if (freed && !data.empty() && !names(data)) freed->push_back(data);
}

// An entry frees its origin's name when it moves the item away or removes it, and empties its
// origin folder when the item leaves that folder.
void Outbox::index(const Entry& e) {
  auto& seqs = byItem_[e.item];
  seqs.insert(std::upper_bound(seqs.begin(), seqs.end(), e.seq), e.seq);
  for (const auto* id : {&e.item, &e.place.parent, &e.origin.parent})
    if (!id->rawValue().empty()) mentions_[*id].insert(e.seq);
  bool frees = e.change == Change::remove || e.moves();
  if (frees) origins_[{e.origin.parent, e.origin.name}].insert(e.seq);
  if (e.change == Change::remove || (e.moves() && e.place.parent != e.origin.parent))
    originParents_[e.origin.parent].insert(e.seq);
  if (!e.data.empty()) ++dataNames_[e.data];
  refreshPlacement(e.item);
}

void Outbox::unindex(const Entry& e) {
  auto& seqs = byItem_[e.item];
  std::erase(seqs, e.seq);
  if (seqs.empty()) byItem_.erase(e.item);
  for (const auto* id : {&e.item, &e.place.parent, &e.origin.parent}) {
    auto it = mentions_.find(*id);
    if (it == mentions_.end()) continue;
    it->second.erase(e.seq);
    if (it->second.empty()) mentions_.erase(it);
  }
  auto eraseFrom = [&](auto& map, const auto& key) {
    auto it = map.find(key);
    if (it == map.end()) return;
    it->second.erase(e.seq);
    if (it->second.empty()) map.erase(it);
  };
  eraseFrom(origins_, std::pair{e.origin.parent, e.origin.name});
  eraseFrom(originParents_, e.origin.parent);
  if (!e.data.empty() && --dataNames_[e.data] <= 0) dataNames_.erase(e.data);
  refreshPlacement(e.item);
}

void Outbox::refreshPlacement(const ItemIdentifier& item) {
  auto old = placements_.find(item);
  if (old != placements_.end()) {
    if (old->second) {
      auto& set = placedIn_[old->second->parent];
      set.erase(item);
      if (set.empty()) placedIn_.erase(old->second->parent);
    }
    placements_.erase(old);
  }
  auto it = byItem_.find(item);
  if (it == byItem_.end()) return;
  const Entry& last = entries_.at(it->second.back());
  if (last.change == Change::remove) {
    placements_.emplace(item, std::nullopt);
    return;
  }
  placements_.emplace(item, last.place);
  placedIn_[last.place.parent].insert(item);
}

void Outbox::created(const ItemIdentifier& item, bool folder, const Place& at,
                     const std::string& data, bool held) {
  Entry e;
  e.change = Change::create;
  e.item = item;
  e.folder = folder;
  e.contents = !folder;
  e.place = at;
  e.data = data;
  e.held = held;
  Batch batch(*this);
  recordHeld(entries_.at(append(std::move(e))));
  batch.commit();
}

void Outbox::contentsChanged(const ItemIdentifier& item, const Place& at, const ItemVersion& base,
                             const std::string& data, bool held) {
  if (Entry* m = mergeable(item)) {
    if (m->change == Change::remove) return;  // removed here: nothing left to send
    m->held = m->held || held;
    Batch batch(*this);
    recordHeld(*m);
    if (m->contents && m->data == data && m->stage == Stage::queued) return batch.commit();
    unindex(*m);
    if (!m->contents) m->base = base;
    m->contents = true;
    m->data = data;
    m->stage = Stage::queued;
    m->error.clear();
    index(*m);
    save(*m);
    return batch.commit();
  }
  Entry e;
  e.change = Change::modify;
  e.item = item;
  e.contents = true;
  e.place = e.origin = at;
  e.base = base;
  e.data = data;
  e.held = held;
  Batch batch(*this);
  recordHeld(entries_.at(append(std::move(e))));
  batch.commit();
}

void Outbox::moved(const ItemIdentifier& item, bool folder, const Place& from, const Place& to) {
  if (Entry* m = mergeable(item)) {
    if (m->change == Change::remove) return;
    unindex(*m);
    m->place = to;
    m->stage = Stage::queued;
    m->error.clear();
    if (m->change == Change::modify && !m->contents && m->place == m->origin) {
      index(*m);  // moved back where the companion has it: nothing to send
      erase(m->seq, nullptr);
      return;
    }
    index(*m);
    save(*m);
    return;
  }
  Entry e;
  e.change = Change::modify;
  e.item = item;
  e.folder = folder;
  e.place = to;
  e.origin = from;
  append(std::move(e));
}

void Outbox::removed(const ItemIdentifier& item, bool folder, const Place& from,
                     const ItemVersion& lastSeen) {
  if (Entry* m = mergeable(item)) {
    if (m->change == Change::remove) return;
    if (m->change == Change::create) {  // never went out: nothing to undo
      erase(m->seq, nullptr);
      return;
    }
    unindex(*m);
    m->change = Change::remove;
    m->contents = false;
    m->data.clear();
    m->place = m->origin;
    m->base = lastSeen;
    m->stage = Stage::queued;
    m->error.clear();
    index(*m);
    save(*m);
    return;
  }
  Entry e;
  e.change = Change::remove;
  e.item = item;
  e.folder = folder;
  e.place = e.origin = from;
  e.base = lastSeen;
  append(std::move(e));
}

void Outbox::released(const ItemIdentifier& item) {
  auto it = byItem_.find(item);
  if (it == byItem_.end()) return;
  for (auto seq : it->second) {
    entries_.at(seq).held = false;
    if (heldRows_.count(seq)) released_.push_back(seq);
  }
}

void Outbox::releaseAll() {
  for (auto& [_, e] : entries_) e.held = false;
  released_.assign(heldRows_.begin(), heldRows_.end());
}

void Outbox::recordReleases() {
  while (!released_.empty()) {
    auto seq = released_.back();
    if (heldRows_.count(seq) && !entries_.at(seq).held) {
      unholdStatement_->bind(seq).run();
      heldRows_.erase(seq);
    }
    released_.pop_back();
  }
}

// A full checkpoint syncs the log and then the database file; should a reader keep it from
// finishing, a commit at synchronous=FULL syncs the log, which holds everything recorded.
void Outbox::makeDurable() {
  int logged = 0, copied = 0;
  int rc =
      sqlite3_wal_checkpoint_v2(db_->handle(), nullptr, SQLITE_CHECKPOINT_FULL, &logged, &copied);
  if (rc == SQLITE_OK && logged == copied) return;
  db_->exec("PRAGMA synchronous=FULL");
  try {
    db_->exec("INSERT OR REPLACE INTO notes VALUES('synced', CAST(strftime('%s') AS BLOB))");
  } catch (...) {
    db_->exec("PRAGMA synchronous=NORMAL");
    throw;
  }
  db_->exec("PRAGMA synchronous=NORMAL");
}

std::optional<std::optional<Place>> Outbox::placement(const ItemIdentifier& item) const {
  auto it = placements_.find(item);
  if (it == placements_.end()) return std::nullopt;
  return it->second;
}

std::vector<Outbox::Pin> Outbox::placedIn(const ItemIdentifier& folder) const {
  std::vector<Pin> pins;
  auto it = placedIn_.find(folder);
  if (it == placedIn_.end()) return pins;
  for (const auto& item : it->second) {
    const auto& seqs = byItem_.at(item);
    const Entry& last = entries_.at(seqs.back());
    Pin pin{item, last.place.name, last.folder, "", {}};
    for (auto seq : seqs) {
      const Entry& e = entries_.at(seq);
      if (!e.contents) continue;
      pin.data = e.data;
      pin.base = e.base;
    }
    pins.push_back(std::move(pin));
  }
  return pins;
}

bool Outbox::holdsContents(const ItemIdentifier& item) const {
  auto it = byItem_.find(item);
  if (it == byItem_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(),
                     [&](auto seq) { return entries_.at(seq).contents; });
}

bool Outbox::names(const std::string& data) const {
  return dataNames_.count(data) > 0;
}

void Outbox::begin() {
  if (batchDepth_++ == 0) db_->exec("BEGIN IMMEDIATE");
}

void Outbox::commit() {
  if (batchDepth_ == 0) return;
  if (--batchDepth_ == 0) db_->exec("COMMIT");
}

Entry* Outbox::find(std::int64_t seq) {
  auto it = entries_.find(seq);
  return it == entries_.end() ? nullptr : &it->second;
}

Wait Outbox::waitOf(const Entry& e) const {
  if (byItem_.at(e.item).front() != e.seq) return Wait::earlierChange;
  bool places = e.change == Change::create || e.moves();
  if (places && isProvisional(e.place.parent)) return Wait::parent;
  if (places && nameHolder(e)) return Wait::name;
  if (e.change == Change::remove && e.folder && originParents_.count(e.item))
    return Wait::folderContents;
  return Wait::none;
}

const Entry* Outbox::nameHolder(const Entry& e) const {
  auto it = origins_.find({e.place.parent, e.place.name});
  if (it == origins_.end()) return nullptr;
  for (auto seq : it->second) {
    const Entry& other = entries_.at(seq);
    if (other.item != e.item) return &other;
  }
  return nullptr;
}

void Outbox::record(Entry& e) {
  save(e);
}

void Outbox::change(Entry& e, const std::function<void(Entry&)>& edit) {
  unindex(e);
  edit(e);
  index(e);
  save(e);
}

std::vector<std::string> Outbox::landed(std::int64_t seq, const ItemIdentifier& id,
                                        const ItemVersion& version, bool restored) {
  std::vector<std::string> freed;
  auto it = entries_.find(seq);
  if (it == entries_.end()) return freed;
  Entry done = it->second;
  erase(seq, &freed);
  if (done.change == Change::create && done.item != id) replaceIdentifier(done.item, id);
  if (done.change == Change::remove) return freed;
  auto later = byItem_.find(id);
  if (later == byItem_.end()) return freed;
  for (auto laterSeq : std::vector<std::int64_t>(later->second)) {
    Entry& e = entries_.at(laterSeq);
    // The companion kept its own bytes: what follows still rests on the older version, so
    // the companion keeps both rather than one overwriting the other.
    bool follows = done.change == Change::create ? e.base == ItemVersion{} : !restored;
    if (!follows) continue;
    e.base = version;
    save(e);
  }
  return freed;
}

void Outbox::replaceIdentifier(const ItemIdentifier& from, const ItemIdentifier& to) {
  auto it = mentions_.find(from);
  if (it == mentions_.end()) return;
  for (auto seq : std::vector<std::int64_t>(it->second.begin(), it->second.end())) {
    Entry& e = entries_.at(seq);
    unindex(e);
    for (auto* id : {&e.item, &e.place.parent, &e.origin.parent})
      if (*id == from) *id = to;
    index(e);
    save(e);
  }
}

std::vector<std::string> Outbox::drop(std::int64_t seq) {
  std::vector<std::string> freed;
  erase(seq, &freed);
  return freed;
}

void Outbox::setCompanionProblem(const std::string& problem) {
  if (problem == companionProblem_) return;
  if (problem.empty()) {
    db_->exec("DELETE FROM notes WHERE key = 'companion'");
  } else {
    Statement note(*db_, "INSERT OR REPLACE INTO notes VALUES('companion', ?)");
    note.bind(problem).run();
  }
  companionProblem_ = problem;
}

Outbox::Snapshot Outbox::read(const std::filesystem::path& folder) {
  Snapshot snapshot;
  if (!std::filesystem::exists(folder / kDatabase)) return snapshot;
  Database db(folder / kDatabase, false);
  if (!db.hasTable("entries")) return snapshot;  // a mount starting: nothing recorded yet
  snapshot.entries = readEntries(db);
  Statement note(db, "SELECT value FROM notes WHERE key = 'companion'");
  while (note.step()) snapshot.companionProblem = note.bytes(0);
  std::unordered_set<std::int64_t> held;
  try {
    Statement rows(db, "SELECT seq FROM held");
    while (rows.step()) held.insert(rows.integer(0));
  } catch (const std::exception&) {
    // An outbox made before files open for writing were recorded.
  }
  for (auto& e : snapshot.entries) e.held = held.count(e.seq) > 0;
  return snapshot;
}

}  // namespace QuorvelleDrive::fuse
