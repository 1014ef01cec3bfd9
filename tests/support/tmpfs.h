// A small tmpfs mounted on a folder for one test (a full disk, a file system of a known size),
// detached again when it goes. Mounting needs root; `failure()` says why it could not be had.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace QuorvelleDrive::testing {

class Tmpfs {
 public:
  // `size` as mount(8) takes it: "20m".
  Tmpfs(std::filesystem::path folder, const std::string& size) : folder_(std::move(folder)) {
    std::filesystem::create_directories(folder_);
    std::string options = "size=" + size + ",mode=0700";
    if (::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) != 0)
      failure_ = "cannot mount a tmpfs on " + folder_.string() + ": " + std::strerror(errno);
  }
  ~Tmpfs() {
    if (failure_.empty()) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  const std::string& failure() const { return failure_; }

 private:
  std::filesystem::path folder_;
  std::string failure_;
};

}  // namespace QuorvelleDrive::testing
