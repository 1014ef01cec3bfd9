#include "companion/remote/state_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace QuorvelleDrive::companion::remote {

namespace fs = std::filesystem;

namespace {

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

void makePrivate(const fs::path& dir) {
  if (dir.empty() || fs::is_directory(dir)) return;
  makePrivate(dir.parent_path());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + dir.string() + ": " + std::strerror(errno));
}

}  // namespace

fs::path defaultStateDirectory(const std::string& url) {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  fs::path base =
      state && *state ? fs::path(state) : fs::path(home && *home ? home : "/tmp") / ".local/state";
  std::string readable = url.substr(url.find("://") == std::string::npos ? 0 : url.find("://") + 3);
  for (char& c : readable)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  while (!readable.empty() && readable.back() == '_') readable.pop_back();
  readable = readable.substr(0, 80);
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(url)));
  return base / "quorvelle" / "companion" / (readable + "-" + hash);
}

UniqueFd holdStateDirectory(const fs::path& dir) {
  makePrivate(dir);
  if (::chmod(dir.c_str(), 0700) != 0)
    throw std::runtime_error("cannot make " + dir.string() + " private: " + std::strerror(errno));
  auto file = dir / "lock";
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) throw std::runtime_error("cannot open " + file.string());
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    throw std::runtime_error("the state directory " + dir.string() +
                             " is in use by another companion");
  return fd;
}

}  // namespace QuorvelleDrive::companion::remote
