#include "companion/check.h"

#include <fcntl.h>
#include <sys/file.h>

#include <map>
#include <stdexcept>

#include "companion/fd.h"
#include "companion/index.h"
#include "companion/scanner.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

namespace {

std::map<std::string, Row> byId(const std::vector<Row>& rows) {
  std::map<std::string, Row> out;
  for (const auto& row : rows) out.emplace(row.id, row);
  return out;
}

std::string describe(const Row& row) {
  return "id " + row.id + " (\"" + row.name + "\" in " + row.parent + ")";
}

// What the start-up scan would change is exactly where the index has drifted from the disk.
std::vector<Row> rowsAfterAScan(const Store& store, Index& index) {
  Index::Transaction scan(index);  // never committed: rolled back when it goes
  Reconciler(store, index).run();
  return index.all();
}

}  // namespace

std::vector<std::string> checkStore(const fs::path& root) {
  Store store(root, false);
  if (!fs::exists(store.hiddenDir() / "index.db"))
    throw std::runtime_error(store.root().string() + " has no index");
  UniqueFd lock(::open((store.hiddenDir() / "lock").c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!lock.valid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
    throw std::runtime_error("the store is in use by a running companion; stop it first");

  std::vector<std::string> problems;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(store.stagingDir(), ec))
    problems.push_back("staged bytes left over: " + entry.path().filename().string());
  Index index(store.hiddenDir() / "index.db");
  auto before = byId(index.all());
  auto after = byId(rowsAfterAScan(store, index));
  for (const auto& [id, row] : before) {
    auto now = after.find(id);
    if (now == after.end())
      problems.push_back(describe(row) + " is in the index but not on disk");
    else if (now->second.parent != row.parent || now->second.name != row.name)
      problems.push_back(describe(row) + " is on disk as \"" + now->second.name + "\" in " +
                         now->second.parent);
    else if (now->second.inode != row.inode || now->second.stamp != row.stamp)
      problems.push_back(describe(row) + " has contents the index has not recorded");
  }
  for (const auto& [id, row] : after)
    if (!before.count(id))
      problems.push_back("\"" + row.name + "\" is on disk but not in the index");
  return problems;
}

}  // namespace QuorvelleDrive::companion
