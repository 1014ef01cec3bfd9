#include "platform/file_manager.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace QuorvelleDrive {
namespace {

struct Settings {
  std::mutex mutex;
  std::shared_ptr<FileManager> manager;
  std::optional<std::filesystem::path> root;
};

Settings& settings() {
  static Settings instance;
  return instance;
}

std::filesystem::path defaultRoot() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::filesystem::path(runtime) / "quorvelle";
  return "/tmp/quorvelle-" + std::to_string(getuid());
}

bool isPlainComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// "alice (uid 1000)", or "uid 54321" when no account has that uid.
std::string owner(uid_t uid) {
  std::string number = "uid " + std::to_string(uid);
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 4096> strings{};
  if (::getpwuid_r(uid, &entry, strings.data(), strings.size(), &found) == 0 && found)
    return std::string(found->pw_name) + " (" + number + ")";
  return number;
}

std::string octal(mode_t mode) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return text.data();
}

std::string failed(const char* what, const std::filesystem::path& folder, int error) {
  return std::string("cannot ") + what + " " + folder.string() + ": " + std::strerror(error);
}

}  // namespace

FileManager& FileManager::defaultManager() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  if (!s.manager) s.manager = std::make_shared<FileManager>();
  return *s.manager;
}

void FileManager::setDefaultManager(std::shared_ptr<FileManager> manager) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  s.manager = std::move(manager);
}

std::filesystem::path FileManager::containersRoot() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  return s.root ? *s.root : defaultRoot();
}

void FileManager::setContainersRoot(std::filesystem::path root) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  s.root = std::move(root);
}

std::string FileManager::privateFolderProblem(const std::filesystem::path& folder) {
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0) {
    if (errno != ENOENT) return failed("examine", folder, errno);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
      return failed("create", folder, errno);
    if (::lstat(folder.c_str(), &st) != 0) return failed("examine", folder, errno);
  }
  if (S_ISLNK(st.st_mode))
    return folder.string() + " is a symbolic link owned by " + owner(st.st_uid) + ", not a folder";
  if (!S_ISDIR(st.st_mode)) return folder.string() + " is not a folder";
  if (st.st_uid != ::geteuid())
    return folder.string() + " belongs to " + owner(st.st_uid) + ", not to this user (uid " +
           std::to_string(::geteuid()) + ")";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return folder.string() + " is writable by other users (mode " + octal(st.st_mode) + ")";
  return {};
}

ContainerLookup FileManager::lookUpContainer(const std::string& group) const {
  if (!isPlainComponent(group)) return {std::nullopt, "\"" + group + "\" is not an app group name"};
  auto root = containersRoot();
  auto problem = privateFolderProblem(root);
  if (problem.empty()) problem = privateFolderProblem(root / group);
  if (!problem.empty()) return {std::nullopt, std::move(problem)};
  return {root / group, {}};
}

}  // namespace QuorvelleDrive
