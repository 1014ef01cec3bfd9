#include "qdrive/mount_arguments.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace QuorvelleDrive::Qdrive {
namespace {

CLI::Validator check(std::function<std::string(const std::string&)> problem) {
  return CLI::Validator([problem](std::string& text) { return problem(text); }, "");
}

std::string urlProblem(const std::string& url) {
  auto colon = url.find("://");
  std::string scheme = url.substr(0, colon);
  if (colon == std::string::npos || (scheme != "http" && scheme != "https"))
    return "expected an http:// or https:// URL";
  std::string rest = url.substr(scheme.size() + 3);
  std::string authority = rest.substr(0, rest.find('/'));
  // Not echoed: the words must not show a password.
  if (authority.find('@') != std::string::npos)
    return "the URL holds credentials; put them in a --netrc file instead";
  if (authority.empty() || authority.front() == ':') return "the URL names no server";
  for (unsigned char c : url)
    if (c <= ' ' || c == 0x7f || c == '?' || c == '#')
      return "the URL must not hold a query, a fragment, blanks or control characters";
  if (url.find("%00") != std::string::npos) return "the URL's path holds %00";
  return {};
}

bool executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');)
    if (!folder.empty() && executable(folder + "/" + name)) return true;
  return false;
}

}  // namespace

CLI::Validator secondsFromTo(double least, double most) {
  return check([least, most](const std::string& text) -> std::string {
    double value = NAN;
    if (CLI::detail::lexical_cast(text, value) && value >= least && value <= most) return {};
    std::ostringstream words;
    words << "expected a number of seconds from " << least << " to " << most;
    return words.str();
  });
}

CLI::Validator webdavUrl() {
  return check(urlProblem);
}

CLI::Validator readableFile() {
  return check([](const std::string& path) -> std::string {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return path + ": no such file";
    if (!S_ISREG(st.st_mode)) return path + " is not a file";
    if (::access(path.c_str(), R_OK) != 0) return path + " cannot be read";
    return {};
  });
}

CLI::Validator program() {
  return check([](const std::string& name) -> std::string {
    bool found = name.find('/') != std::string::npos ? executable(name) : onPath(name);
    return found ? "" : name + " is not a program that can be run";
  });
}

CLI::Validator folderPath() {
  return check([](const std::string& path) -> std::string {
    if (path.empty()) return "expected a folder";
    struct stat st {};
    // A folder that cannot be looked at (a dead mount) is for the mount itself to judge.
    if (::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return path + " is not a folder";
    return {};
  });
}

std::string folderNameProblem(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    return "\"" + name + "\" cannot be a folder's name (empty, . or .., or holding /)";
  return {};
}

}  // namespace QuorvelleDrive::Qdrive
