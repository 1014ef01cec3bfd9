// A fresh directory under /tmp for one test, removed with everything in it when the test is done.
// The prefix is short because a Unix socket path inside it must fit in sockaddr_un.
#pragma once

#include <filesystem>

namespace QuorvelleDrive::testing {

class TempDir {
 public:
  TempDir();
  // The same under `parent` instead of /tmp.
  explicit TempDir(const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace QuorvelleDrive::testing
