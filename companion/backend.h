// What the request handler needs from whatever keeps the drive: the local store (Catalog) or a
// WebDAV server (remote::RemoteDrive). Failures throw Refusal with the word for the reply.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companion/index.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {

struct ItemInfo {
  Row row;
  double mtime = 0;
  std::uint64_t size = 0;
};

struct WriteOutcome {
  ItemInfo item;         // the item as it now is
  bool restore = false;  // the bytes went to a conflict copy; the host should fetch again
};

// Where a read's contents go: announced once with their size, then passed on as they come, so
// that a large file is never held whole. A refusal thrown before begin() becomes the reply; one
// thrown after it ends the connection, so the client sees fewer bytes than announced.
class ContentsSink {
 public:
  virtual ~ContentsSink() = default;
  virtual void begin(std::uint64_t size) = 0;
  // False when the client went away.
  virtual bool write(std::string_view bytes) = 0;
  // The next `size` bytes of the open file `fd`, from its current offset.
  virtual bool sendFile(int fd, std::uint64_t size) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // Where incoming request bodies are staged before an operation takes them.
  virtual const Store& store() const = 0;
  // Whether staged bodies are synced before the operation takes them: only where they become
  // the stored file itself.
  virtual bool keepsStagedBodies() const { return true; }
  virtual bool readOnly() const = 0;

  virtual ItemInfo item(const std::string& id) = 0;
  virtual void read(const std::string& id, ContentsSink& sink) = 0;
  // `contents` is required for a file and ignored for a folder.
  virtual ItemInfo create(const std::string& parent, const std::string& name, bool dir,
                          StagedFile* contents) = 0;
  virtual ItemInfo rename(const std::string& id, const std::string& parent,
                          const std::string& name) = 0;
  // A `base` other than the current version keeps the current bytes and files the new ones as a
  // conflict copy beside it.
  virtual WriteOutcome write(const std::string& id, const std::optional<std::string>& base,
                             StagedFile& contents) = 0;
  virtual void remove(const std::string& id) = 0;
  virtual std::vector<ItemInfo> list(const std::string& id) = 0;
  virtual std::vector<ItemInfo> all() = 0;
  virtual std::uint64_t anchor() = 0;
};

// "report.txt" → "report (conflict 2).txt", shortened to fit 255 bytes.
std::string conflictName(const std::string& name, unsigned number);
// A number that `taken` says is free, found by doubling and then halving: with 1…m taken it is
// m + 1, after about 2·log2(m) questions rather than m + 1. A gap left lower down may be found
// or not. Refuses with `exists` when every number up to 2^24 seems taken.
unsigned freeConflictNumber(const std::function<bool(unsigned)>& taken);

}  // namespace QuorvelleDrive::companion
