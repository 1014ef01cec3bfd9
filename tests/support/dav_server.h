// A real WebDAV server for one test, serving a folder under the test's temporary directory on a
// loopback port, with a user and password that a netrc file beside it holds: Debian's Apache
// httpd with mod_dav (started from a generated config, as www-data when the test runs as root,
// since Apache refuses to serve as root), or `rclone serve webdav`.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace QuorvelleDrive::testing {

class BackgroundProgram;

enum class DavKind { apache, rclone };
std::string nameOf(DavKind kind);

class DavServer {
 public:
  DavServer(DavKind kind, const std::filesystem::path& dir);
  ~DavServer();

  // Empty when serving; otherwise why the server could not start.
  const std::string& failure() const { return failure_; }
  // The drive's collection: a folder below the server's root, so that paths are relative to it.
  std::string url() const;
  std::filesystem::path files() const { return dir_ / "root" / "drive"; }
  std::filesystem::path netrc() const { return dir_ / "netrc"; }

  // Stops answering (connections are refused) and serves again on the same port.
  void stop();
  bool start();

  // curl on the drive's collection with the test's credentials: the HTTP status, or 0 when curl
  // itself failed.
  int curl(const std::vector<std::string>& arguments, const std::string& path) const;

 private:
  void writeApacheConfig() const;

  DavKind kind_;
  std::filesystem::path dir_;
  int port_ = 0;
  std::string failure_;
  std::unique_ptr<BackgroundProgram> program_;
};

}  // namespace QuorvelleDrive::testing
