// A real WebDAV server for one test, serving a folder under the test's temporary directory on a
// loopback port, with a user and password that a netrc file beside it holds. Each is started
// from a config generated here, with locks enabled where the server has them:
// - Apache httpd with mod_dav (as www-data when the test runs as root, since Apache refuses to
//   serve as root);
// - `rclone serve webdav` (writes a PUT in place as it arrives; locks in memory);
// - nginx with the dav-ext module (no getetag in PROPFIND, ignores If-Match and If-None-Match,
//   locks in a shared-memory zone);
// - lighttpd with mod_webdav (locks in its SQLite database; answers a refused folder MOVE with
//   a 207 whose body holds the status);
// - sabre/dav 1.8 on a plain folder under `php -S` with its file-backed locks plugin and Digest
//   authentication (no ETags at all; caps Depth: infinity at one level and says 207).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace QuorvelleDrive::testing {

class BackgroundProgram;

enum class DavKind { apache, rclone, nginx, lighttpd, sabre };
std::string nameOf(DavKind kind);
// Every kind, for parameterised suites.
std::vector<DavKind> allDavKinds();

class DavServer {
 public:
  // `tls`: https with a self-signed certificate (nginx only), whose file is certificate().
  DavServer(DavKind kind, const std::filesystem::path& dir, bool tls = false);
  ~DavServer();

  DavKind kind() const { return kind_; }
  // Empty when serving; otherwise why the server could not start.
  const std::string& failure() const { return failure_; }
  // The drive's collection: a folder below the server's root, so that paths are relative to it.
  std::string url() const;
  int port() const { return port_; }
  std::filesystem::path files() const { return dir_ / "root" / "drive"; }
  std::filesystem::path netrc() const { return dir_ / "netrc"; }
  std::filesystem::path certificate() const { return dir_ / "cert.pem"; }

  // Stops answering (connections are refused) and serves again on the same port.
  void stop();
  bool start();

  // curl on the drive's collection with the test's credentials: the HTTP status, or 0 when curl
  // itself failed.
  int curl(const std::vector<std::string>& arguments, const std::string& path) const;

 private:
  bool prepare();
  void writeApacheConfig() const;
  void writeNginxConfig() const;
  void writeLighttpdConfig() const;
  void writeSabreRouter() const;
  std::unique_ptr<BackgroundProgram> launch() const;

  DavKind kind_;
  std::filesystem::path dir_;
  bool tls_;
  int port_ = 0;
  std::string failure_;
  std::unique_ptr<BackgroundProgram> program_;
};

}  // namespace QuorvelleDrive::testing
