#include "support/drive_fixture.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "boundaries/file_provider_manager.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace QuorvelleDrive::testing {

DriveFixture::DriveFixture() {
  std::filesystem::create_directories(containerPath());
  // Whatever the umask: the platform takes no container that others may write to.
  for (const auto& folder : {containerPath().parent_path(), containerPath()})
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  FileManager::setDefaultManager(nullptr);
  FileManager::setContainersRoot(temp_.path() / "containers");
  Bundle::main().setInfoDictionary({{"QuorvelleAppGroup", kTestGroup}});
  DomainRegistry::shared().setLookup(nullptr);
  DomainRegistry::shared().setHostStateRoot(temp_.path() / "state");
  DomainRegistry::shared().addDomain(domain_);
}

DriveFixture::~DriveFixture() {
  companion_.reset();
  DomainRegistry::shared().setLookup(nullptr);
  DomainRegistry::shared().removeAllDomains();
  Bundle::main().setInfoDictionary({});
}

std::filesystem::path DriveFixture::temporaryDirectory() const {
  return temp_.path() / "state" / domain_.identifier / "tmp";
}

std::filesystem::path DriveFixture::localFile(const std::string& name,
                                              const std::string& bytes) const {
  auto path = temp_.path() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

FakeCompanion& DriveFixture::companion() {
  if (!companion_) companion_ = std::make_unique<FakeCompanion>(socketPath());
  return *companion_;
}

std::vector<boost::json::object> DriveFixture::sent() {
  std::vector<boost::json::object> out;
  for (auto& request : companion().requests()) out.push_back(std::move(request.json));
  return out;
}

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace QuorvelleDrive::testing
