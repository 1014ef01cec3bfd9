#include "support/dav_server.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "companion/fd.h"
#include "hosts/child_process.h"
#include "support/drive_fixture.h"

namespace QuorvelleDrive::testing {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "quorvelle";
constexpr const char* kPassword = "s3cret-pass";
constexpr const char* kModules = "/usr/lib/apache2/modules";

int freePort() {
  companion::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  return ntohs(address.sin_port);
}

bool answers(int port) {
  companion::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// Apache refuses to serve as root, so as root it serves as www-data, which must own its folders
// and be able to reach them.
const passwd* serverUser() {
  return ::geteuid() == 0 ? ::getpwnam("www-data") : nullptr;
}

void handOver(const fs::path& path, const passwd* user) {
  if (user && ::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
    throw std::runtime_error("cannot hand " + path.string() + " to www-data");
}

}  // namespace

std::string nameOf(DavKind kind) {
  return kind == DavKind::apache ? "Apache" : "Rclone";
}

DavServer::DavServer(DavKind kind, const fs::path& dir) : kind_(kind), dir_(dir) {
  fs::create_directories(files());
  fs::create_directories(dir_ / "run");
  std::ofstream(netrc()) << "machine 127.0.0.1 login " << kUser << " password " << kPassword
                         << "\n";
  fs::permissions(netrc(), fs::perms::owner_read | fs::perms::owner_write);
  port_ = freePort();
  if (kind_ == DavKind::apache) {
    if (!fs::exists(fs::path(kModules) / "mod_dav_fs.so")) {
      failure_ = "Apache's mod_dav_fs is not installed (scripts/bootstrap installs apache2)";
      return;
    }
    const passwd* user = serverUser();
    if (::geteuid() == 0 && !user) {
      failure_ = "there is no www-data user for Apache to serve as";
      return;
    }
    // Every folder above the served one must let www-data through.
    for (fs::path at = dir_; !at.empty() && at != at.root_path(); at = at.parent_path())
      fs::permissions(at, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    for (auto& path : {dir_ / "root", files(), dir_ / "run"}) handOver(path, user);
    writeApacheConfig();
  }
  start();
}

DavServer::~DavServer() = default;

void DavServer::writeApacheConfig() const {
  auto run =
      runProgram("/usr/bin/htpasswd", {"-cbB", (dir_ / "htpasswd").string(), kUser, kPassword}, {});
  std::ofstream config(dir_ / "httpd.conf");
  config << "ServerRoot " << dir_.string() << "\nServerName 127.0.0.1\n"
         << "Listen 127.0.0.1:" << port_ << "\nPidFile " << (dir_ / "run/httpd.pid").string()
         << "\nDefaultRuntimeDir " << (dir_ / "run").string() << "\nErrorLog "
         << (dir_ / "error.log").string() << "\nLogLevel warn\n";
  if (serverUser()) config << "User www-data\nGroup www-data\n";
  for (const char* module : {"mpm_event", "authz_core", "authn_core", "authn_file", "auth_basic",
                             "authz_user", "dav", "dav_fs"})
    config << "LoadModule " << module << "_module " << kModules << "/mod_" << module << ".so\n";
  config << "DavLockDB " << (dir_ / "run/DavLock").string() << "\nDocumentRoot "
         << (dir_ / "root").string() << "\n<Directory " << (dir_ / "root").string()
         << ">\n  Dav On\n  AuthType Basic\n  AuthName drive\n  AuthUserFile "
         << (dir_ / "htpasswd").string() << "\n  Require valid-user\n</Directory>\n";
}

std::string DavServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/drive/";
}

void DavServer::stop() {
  program_.reset();
  eventually([&] { return !answers(port_); }, std::chrono::seconds(10));
}

bool DavServer::start() {
  if (port_ == 0) failure_ = "no free loopback port";
  if (!failure_.empty()) return false;
  auto env = cleanEnvironment(dir_);
  if (kind_ == DavKind::apache) {
    program_ = std::make_unique<BackgroundProgram>(
        "/usr/sbin/apache2",
        std::vector<std::string>{"-f", (dir_ / "httpd.conf").string(), "-DFOREGROUND"}, env,
        dir_ / "server.log");
  } else {
    program_ = std::make_unique<BackgroundProgram>(
        "/usr/bin/rclone",
        std::vector<std::string>{"serve", "webdav", (dir_ / "root").string(), "--addr",
                                 "127.0.0.1:" + std::to_string(port_), "--user", kUser, "--pass",
                                 kPassword, "--config", (dir_ / "rclone.conf").string()},
        env, dir_ / "server.log");
  }
  if (eventually([&] { return answers(port_) || !program_->running(); },
                 std::chrono::seconds(20)) &&
      program_->running())
    return true;
  failure_ = nameOf(kind_) + " did not start: " + readWholeFile(dir_ / "server.log") +
             readWholeFile(dir_ / "error.log");
  return false;
}

int DavServer::curl(const std::vector<std::string>& arguments, const std::string& path) const {
  std::vector<std::string> all{"-s",           "-o",           "/dev/null",     "-w",
                               "%{http_code}", "--netrc-file", netrc().string()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  all.push_back(url() + path);
  auto run = runProgram("/usr/bin/curl", all, cleanEnvironment(dir_));
  return run.status == 0 ? std::atoi(run.out.c_str()) : 0;
}

}  // namespace QuorvelleDrive::testing
