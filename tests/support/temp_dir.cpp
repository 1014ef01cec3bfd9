#include "support/temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace QuorvelleDrive::testing {

TempDir::TempDir() : TempDir("/tmp") {}

TempDir::TempDir(const std::filesystem::path& parent) {
  std::string pattern = (parent / "qdt-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace QuorvelleDrive::testing
