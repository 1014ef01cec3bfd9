#include "set_here.h"

#include <sys/stat.h>

namespace QuorvelleDrive::fuse {
namespace {

constexpr std::int64_t kUnset = -1;

std::int64_t nanos(const std::optional<timespec>& t) {
  return t ? t->tv_sec * 1'000'000'000ll + t->tv_nsec : kUnset;
}

std::optional<timespec> timeOf(std::int64_t ns) {
  if (ns == kUnset) return std::nullopt;
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1'000'000'000ll);
  t.tv_nsec = static_cast<long>(ns % 1'000'000'000ll);
  if (t.tv_nsec < 0) t.tv_nsec += 1'000'000'000, --t.tv_sec;
  return t;
}

}  // namespace

SetHere::SetHere(MountDatabase& db) : db_(db) {
  auto lock = db_.lock();
  Statement query(db_.db(), "SELECT item, version, atime, mtime, mode FROM set_here");
  while (query.step()) {
    auto mode = query.integer(4);
    sets_[ItemIdentifier(query.bytes(0))] = {
        query.bytes(1), timeOf(query.integer(2)), timeOf(query.integer(3)),
        mode == kUnset ? std::nullopt : std::optional(static_cast<mode_t>(mode))};
  }
}

const SetHere::Set* SetHere::find(const ItemIdentifier& id, const std::string& version) const {
  auto it = sets_.find(id);
  return it != sets_.end() && it->second.version == version ? &it->second : nullptr;
}

void SetHere::save(const ItemIdentifier& id, const Set& set) {
  auto lock = db_.lock();
  if (!set.atime && !set.mtime && !set.mode) {
    Statement(db_.db(), "DELETE FROM set_here WHERE item = ?").bind(id.rawValue()).run();
    return;
  }
  Statement(db_.db(), "INSERT OR REPLACE INTO set_here VALUES(?,?,?,?,?)")
      .bind(id.rawValue())
      .bind(set.version)
      .bind(nanos(set.atime))
      .bind(nanos(set.mtime))
      .bind(set.mode ? std::int64_t{*set.mode} : kUnset)
      .run();
}

// Settings made on another version no longer hold: they start again from this one.
void SetHere::setTimes(const ItemIdentifier& id, const std::string& version,
                       std::optional<timespec> atime, std::optional<timespec> mtime) {
  Set set = sets_.count(id) && sets_[id].version == version ? sets_[id] : Set{version, {}, {}, {}};
  if (atime) set.atime = atime;
  if (mtime) set.mtime = mtime;
  save(id, set);
  sets_[id] = set;
}

void SetHere::setMode(const ItemIdentifier& id, const std::string& version, mode_t mode) {
  Set set = sets_.count(id) && sets_[id].version == version ? sets_[id] : Set{version, {}, {}, {}};
  set.mode = mode & 07777;
  save(id, set);
  sets_[id] = set;
}

// As on a local disk, a write also drops the set-user-ID and set-group-ID bits (the kernel
// leaves that to the mount).
void SetHere::written(const ItemIdentifier& id) {
  auto it = sets_.find(id);
  if (it == sets_.end()) return;
  Set set = it->second;
  set.version = kPending;
  set.mtime.reset();
  if (set.mode) *set.mode &= ~mode_t(S_ISUID | S_ISGID);
  if (it->second.version == kPending && !it->second.mtime && it->second.mode == set.mode) return;
  save(id, set);
  if (!set.atime && !set.mode)
    sets_.erase(id);
  else
    sets_[id] = set;
}

void SetHere::landed(const ItemIdentifier& from, const ItemIdentifier& to,
                     const std::string& version) {
  auto it = sets_.find(from);
  if (it == sets_.end() || it->second.version != kPending) return;
  Set set = it->second;
  set.version = version;
  if (from != to) forget(from);
  save(to, set);
  sets_[to] = set;
}

void SetHere::moveTo(const ItemIdentifier& from, const ItemIdentifier& to) {
  if (from == to) return;
  forget(to);
  auto it = sets_.find(from);
  if (it == sets_.end()) return;
  Set set = it->second;
  forget(from);
  save(to, set);
  sets_[to] = set;
}

void SetHere::forget(const ItemIdentifier& id) {
  if (!sets_.erase(id)) return;
  auto lock = db_.lock();
  Statement(db_.db(), "DELETE FROM set_here WHERE item = ?").bind(id.rawValue()).run();
}

}  // namespace QuorvelleDrive::fuse
