#include "platform/file_manager.h"

#include <unistd.h>

#include <cstdlib>

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

std::optional<std::filesystem::path> FileManager::containerURL(const std::string& group) const {
  if (!isPlainComponent(group)) return std::nullopt;
  auto container = containersRoot() / group;
  std::error_code ec;
  if (!std::filesystem::is_directory(container, ec)) return std::nullopt;
  return container;
}

}  // namespace QuorvelleDrive
