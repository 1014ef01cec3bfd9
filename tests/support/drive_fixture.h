// A test world for the system: a containers root holding one app group with a fake companion
// listening at its socket, the bundle naming that group, and one domain added to the host.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "boundaries/domain.h"
#include "support/fake_companion.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {

inline constexpr const char* kTestGroup = "group.test";

class DriveFixture : public ::testing::Test {
 protected:
  DriveFixture();
  ~DriveFixture() override;

  std::filesystem::path containerPath() const { return temp_.path() / "containers" / kTestGroup; }
  std::filesystem::path socketPath() const { return containerPath() / "drive.sock"; }
  std::filesystem::path temporaryDirectory() const;
  // Writes `bytes` to a fresh file under the temp folder and returns its path.
  std::filesystem::path localFile(const std::string& name, const std::string& bytes) const;

  // Starts the fake companion (tests that want no companion skip this).
  FakeCompanion& companion();
  void stopCompanion() { companion_.reset(); }
  // The JSON of every request the fake companion has received, in order.
  std::vector<boost::json::object> sent();

  TempDir temp_;
  Domain domain_{"test.domain", "Test"};

 private:
  std::unique_ptr<FakeCompanion> companion_;
};

std::string readWholeFile(const std::filesystem::path& path);
// Polls `condition` until it holds; false when `limit` passes first.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(15));

}  // namespace QuorvelleDrive::testing
