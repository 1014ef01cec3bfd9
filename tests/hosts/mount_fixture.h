// A real mount over the reference companion, both started by the test in its own folder.
#pragma once

#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "companion/fd.h"
#include "hosts/child_process.h"
#include "hosts/companion_relay.h"
#include "support/drive_fixture.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {

inline bool isMounted(const std::filesystem::path& path) {
  return readWholeFile("/proc/self/mounts").find(" " + path.string() + " ") != std::string::npos;
}

inline void put(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string binaryBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 251);
  return bytes;
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!companion::UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC)).valid())
      GTEST_SKIP() << "cannot open /dev/fuse: " << std::strerror(errno);
    std::filesystem::create_directories(store());
    std::filesystem::create_directories(mountpoint());
    startCompanion();
    mount();
  }

  void TearDown() override {
    if (mount_) unmount();
    if (HasFailure()) std::cerr << "mount log:\n" << readWholeFile(mountLog());
  }

  void mount(const char* poll = "0.3") {
    auto arguments = inGroup({"mount", mountpoint().string(), "--poll", poll, "--no-companion"});
    arguments.insert(arguments.end(), mountOptions_.begin(), mountOptions_.end());
    mount_ = std::make_unique<BackgroundProgram>(QD_QDRIVE_BINARY, arguments, env(), mountLog());
    ASSERT_TRUE(eventually([&] { return isMounted(mountpoint()); })) << "the mount never came up";
  }

  void unmount() {
    runProgram("/usr/bin/fusermount3", {"-u", mountpoint().string()}, env());
    EXPECT_EQ(mount_->wait(), 0);
    mount_.reset();
  }

  std::string qdrive(const std::vector<std::string>& arguments) {
    auto run = runProgram(QD_QDRIVE_BINARY, inGroup(arguments), env());
    return run.out + run.err;
  }
  std::string status() { return qdrive({"status"}); }

  // With `relayed_` set, the companion listens elsewhere and relay_ passes its exchanges on.
  void startCompanion() {
    auto arguments = inGroup({"--store", store().string()});
    if (relayed_) arguments[3] = (temp_.path() / "upstream").string();
    arguments.insert(arguments.end(), companionOptions_.begin(), companionOptions_.end());
    companion_ = std::make_unique<BackgroundProgram>(QD_COMPANION_BINARY, arguments, env());
    auto listening = relayed_ ? temp_.path() / "upstream" / "g" / "drive.sock" : socket();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(listening); }));
    if (relayed_ && !relay_) relay_ = std::make_unique<CompanionRelay>(socket(), listening);
  }

  // `more` after the options that point a program at this test's container.
  std::vector<std::string> inGroup(std::vector<std::string> more) const {
    more.insert(more.begin(), {"--group", "g", "--containers", containers().string()});
    return more;
  }
  std::vector<std::string> env() const {
    auto env = cleanEnvironment(temp_.path());
    if (!stateHome_.empty())
      for (auto& entry : env)
        if (entry.starts_with("XDG_STATE_HOME=")) entry = "XDG_STATE_HOME=" + stateHome_.string();
    return env;
  }
  Finished shell(const std::string& command) {
    return runProgram("/bin/sh", {"-c", command}, env());
  }

  std::filesystem::path store() const { return temp_.path() / "store"; }
  std::filesystem::path containers() const { return temp_.path() / "c"; }
  std::filesystem::path socket() const { return containers() / "g" / "drive.sock"; }
  std::filesystem::path mountpoint() const { return temp_.path() / "mnt"; }
  std::filesystem::path mountLog() const { return temp_.path() / "mount.log"; }
  std::filesystem::path in(const std::string& relative) const { return mountpoint() / relative; }

  // Waits until the mount has nothing pending: every change made so far is in the store.
  bool landed(std::chrono::seconds limit = std::chrono::seconds(40)) {
    return eventually(
        [&] {
          return qdrive({"status", "--json"}).starts_with("{\"pending\":[]");
        },
        limit);
  }

  bool storeEventuallyHolds(const std::string& name, const std::string& bytes) {
    return eventually([&] { return readWholeFile(store() / name) == bytes; },
                      std::chrono::seconds(40));
  }

  TempDir temp_;
  bool relayed_ = false;
  std::unique_ptr<CompanionRelay> relay_;
  std::filesystem::path stateHome_;            // empty: the clean environment's
  std::vector<std::string> mountOptions_;      // added to every mount's command line
  std::vector<std::string> companionOptions_;  // likewise for the companion
  std::unique_ptr<BackgroundProgram> companion_;
  std::unique_ptr<BackgroundProgram> mount_;
};

}  // namespace QuorvelleDrive::testing

#endif
