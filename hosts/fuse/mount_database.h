// The mount's own database, `mount.db` in its state folder (SQLite, WAL): what it keeps of its
// drive besides the outbox (cached copies, pins, times and modes set here, the last tree it
// listed, notes for `qdrive status`). Each part has a class of its own over this connection.
// Thread-safe: every user takes lock() around its statements, after the mount's own lock when
// it holds that one.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sqlite_db.h"

namespace QuorvelleDrive::fuse {

class MountDatabase {
 public:
  // Opens (creating) `file` and its tables. Throws std::runtime_error naming the file.
  explicit MountDatabase(const std::filesystem::path& file);
  // Opens an existing `file` for reading by another process (`qdrive status`); nothing when
  // there is none.
  static std::unique_ptr<MountDatabase> openForReading(const std::filesystem::path& file);

  Database& db() { return *db_; }
  std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }

  // Short notes: limits, when the companion was last out of reach. Callers hold lock().
  std::optional<std::string> note(const std::string& key);
  void setNote(const std::string& key, const std::string& value);
  void clearNote(const std::string& key);

 private:
  MountDatabase(std::unique_ptr<Database> db) : db_(std::move(db)) {}
  std::unique_ptr<Database> db_;
  std::mutex mutex_;
};

}  // namespace QuorvelleDrive::fuse
