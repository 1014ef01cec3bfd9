#include "pins.h"

namespace QuorvelleDrive::fuse {

std::set<ItemIdentifier> Pins::read(MountDatabase& db) {
  auto lock = db.lock();
  std::set<ItemIdentifier> pins;
  Statement query(db.db(), "SELECT item FROM pins");
  while (query.step()) pins.insert(ItemIdentifier(query.bytes(0)));
  return pins;
}

Pins::Pins(MountDatabase& db) : db_(db), pins_(read(db)) {}

void Pins::add(const ItemIdentifier& id) {
  if (has(id)) return;
  auto lock = db_.lock();
  Statement(db_.db(), "INSERT OR REPLACE INTO pins VALUES(?)").bind(id.rawValue()).run();
  pins_.insert(id);
}

void Pins::remove(const ItemIdentifier& id) {
  if (!has(id)) return;
  auto lock = db_.lock();
  Statement(db_.db(), "DELETE FROM pins WHERE item = ?").bind(id.rawValue()).run();
  pins_.erase(id);
}

void Pins::renamed(const ItemIdentifier& from, const ItemIdentifier& to) {
  if (from == to || !has(from)) return;
  add(to);
  remove(from);
}

}  // namespace QuorvelleDrive::fuse
