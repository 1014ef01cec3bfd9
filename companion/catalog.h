// The companion's items: the store's tree seen through the index. Every operation takes one lock,
// so requests, the watcher's rescans and the start-up scan never interleave. Failures throw
// Refusal with the word for the reply.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "companion/backend.h"
#include "companion/fd.h"
#include "companion/index.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {

class Catalog : public Backend {
 public:
  // Locks the store against a second companion, opens the index and reconciles it with the disk.
  Catalog(std::filesystem::path root, bool readOnly);

  const Store& store() const override { return store_; }
  bool readOnly() const override { return readOnly_; }

  ItemInfo item(const std::string& id) override;
  std::string read(const std::string& id) override;
  ItemInfo create(const std::string& parent, const std::string& name, bool dir,
                  StagedFile* contents) override;
  ItemInfo rename(const std::string& id, const std::string& parent,
                  const std::string& name) override;
  WriteOutcome write(const std::string& id, const std::optional<std::string>& base,
                     StagedFile& contents) override;
  void remove(const std::string& id) override;
  std::vector<ItemInfo> list(const std::string& id) override;
  std::vector<ItemInfo> all() override;
  std::uint64_t anchor() override;

  // Brings the index in line with the disk (raising the anchor when a listing would differ) and
  // returns every folder of the store.
  std::vector<std::filesystem::path> reconcile();

 private:
  std::filesystem::path pathOf(const Row& row) const;
  Row existing(const std::string& id) const;
  Row folder(const std::string& id) const;
  std::optional<ItemInfo> describe(const Row& row) const;
  ItemInfo described(const Row& row) const;
  void requireWritable() const;
  void requireMovable(const std::string& id) const;
  void freshen(Row& row);
  void forgetOthersAt(const std::string& parent, const std::string& name, const std::string& keep);
  void forgetSubtree(const std::string& id);
  WriteOutcome keepConflict(const Row& current, StagedFile& contents);
  Row recorded(Row row, const std::filesystem::path& path) const;

  std::mutex mutex_;
  Store store_;
  UniqueFd lock_;
  Index index_;
  bool readOnly_;
};

}  // namespace QuorvelleDrive::companion
