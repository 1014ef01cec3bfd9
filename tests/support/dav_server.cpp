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
constexpr const char* kNginxDavExt = "/usr/lib/nginx/modules/ngx_http_dav_ext_module.so";
constexpr const char* kLighttpdWebdav = "/usr/lib/lighttpd/mod_webdav.so";
constexpr const char* kSabre = "/usr/share/php/Sabre/autoload.php";

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

// What each server needs installed, and the package that brings it.
struct Requirement {
  const char* file;
  const char* missing;
};

std::vector<Requirement> requirements(DavKind kind) {
  switch (kind) {
    case DavKind::apache:
      return {{"/usr/sbin/apache2", "apache2 is not installed"},
              {"/usr/lib/apache2/modules/mod_dav_fs.so", "Apache's mod_dav_fs is not installed"}};
    case DavKind::rclone:
      return {{"/usr/bin/rclone", "rclone is not installed"}};
    case DavKind::nginx:
      return {{"/usr/sbin/nginx", "nginx is not installed"},
              {kNginxDavExt, "libnginx-mod-http-dav-ext is not installed"}};
    case DavKind::lighttpd:
      return {{"/usr/sbin/lighttpd", "lighttpd is not installed"},
              {kLighttpdWebdav, "lighttpd-mod-webdav is not installed"}};
    case DavKind::sabre:
      return {{"/usr/bin/php", "php-cli is not installed"},
              {kSabre, "php-sabre-dav is not installed"}};
  }
  return {};
}

}  // namespace

std::string nameOf(DavKind kind) {
  switch (kind) {
    case DavKind::apache:
      return "Apache";
    case DavKind::rclone:
      return "Rclone";
    case DavKind::nginx:
      return "Nginx";
    case DavKind::lighttpd:
      return "Lighttpd";
    case DavKind::sabre:
      return "Sabre";
  }
  return "Unknown";
}

std::vector<DavKind> allDavKinds() {
  return {DavKind::apache, DavKind::rclone, DavKind::nginx, DavKind::lighttpd, DavKind::sabre};
}

DavServer::DavServer(DavKind kind, const fs::path& dir, bool tls)
    : kind_(kind), dir_(dir), tls_(tls) {
  fs::create_directories(files());
  fs::create_directories(dir_ / "run");
  std::ofstream(netrc()) << "machine 127.0.0.1 login " << kUser << " password " << kPassword
                         << "\n";
  fs::permissions(netrc(), fs::perms::owner_read | fs::perms::owner_write);
  port_ = freePort();
  if (prepare()) start();
}

DavServer::~DavServer() = default;

bool DavServer::prepare() {
  for (auto& [file, missing] : requirements(kind_))
    if (!fs::exists(file)) {
      failure_ = nameOf(kind_) + " cannot start: " + missing + " (scripts/bootstrap installs it)";
      return false;
    }
  if (tls_ && kind_ != DavKind::nginx) {
    failure_ = "only the nginx test server speaks https";
    return false;
  }
  if (tls_) {
    auto made = runProgram("/usr/bin/openssl",
                           {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                            (dir_ / "key.pem").string(), "-out", certificate().string()},
                           cleanEnvironment(dir_));
    if (made.status != 0) {
      failure_ = "openssl could not make a certificate: " + made.err;
      return false;
    }
  }
  switch (kind_) {
    case DavKind::apache: {
      const passwd* user = serverUser();
      if (::geteuid() == 0 && !user) {
        failure_ = "there is no www-data user for Apache to serve as";
        return false;
      }
      // Every folder above the served one must let www-data through.
      for (fs::path at = dir_; !at.empty() && at != at.root_path(); at = at.parent_path())
        fs::permissions(at, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
      for (auto& path : {dir_ / "root", files(), dir_ / "run"}) handOver(path, user);
      writeApacheConfig();
      break;
    }
    case DavKind::nginx:
      writeNginxConfig();
      break;
    case DavKind::lighttpd:
      writeLighttpdConfig();
      break;
    case DavKind::sabre:
      writeSabreRouter();
      break;
    case DavKind::rclone:
      break;
  }
  return true;
}

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

// One process (no master), its body limit lifted (nginx's default is 1 MiB), locks in a zone.
void DavServer::writeNginxConfig() const {
  std::ofstream(dir_ / "htpasswd") << kUser << ":{PLAIN}" << kPassword << "\n";
  std::string dir = dir_.string();
  std::ofstream config(dir_ / "nginx.conf");
  config << "load_module " << kNginxDavExt << ";\ndaemon off;\nmaster_process off;\n"
         << "pid " << dir << "/run/nginx.pid;\nerror_log " << dir << "/error.log warn;\n"
         << "events { worker_connections 256; }\nhttp {\n  access_log off;\n"
         << "  client_body_temp_path " << dir << "/run/body;\n  client_max_body_size 0;\n"
         << "  dav_ext_lock_zone zone=drive:1m;\n  server {\n    listen 127.0.0.1:" << port_
         << (tls_ ? " ssl" : "") << ";\n";
  if (tls_)
    config << "    ssl_certificate " << certificate().string() << ";\n    ssl_certificate_key "
           << dir << "/key.pem;\n";
  config << "    root " << dir << "/root;\n    location / {\n      auth_basic drive;\n"
         << "      auth_basic_user_file " << dir << "/htpasswd;\n"
         << "      dav_methods PUT DELETE MKCOL COPY MOVE;\n"
         << "      dav_ext_methods PROPFIND OPTIONS LOCK UNLOCK;\n"
         << "      dav_ext_lock zone=drive;\n      dav_access user:rw group:rw all:r;\n"
         << "    }\n  }\n}\n";
}

void DavServer::writeLighttpdConfig() const {
  std::ofstream(dir_ / "users") << kUser << ":" << kPassword << "\n";
  std::string dir = dir_.string();
  std::ofstream config(dir_ / "lighttpd.conf");
  config << "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_webdav\")\n"
         << "server.document-root = \"" << dir << "/root\"\nserver.bind = \"127.0.0.1\"\n"
         << "server.port = " << port_ << "\nserver.errorlog = \"" << dir << "/error.log\"\n"
         << "server.upload-dirs = (\"" << dir << "/run\")\n"
         << "auth.backend = \"plain\"\nauth.backend.plain.userfile = \"" << dir << "/users\"\n"
         << "auth.require = (\"/\" => (\"method\" => \"basic\", \"realm\" => \"drive\", "
            "\"require\" => \"valid-user\"))\n"
         << "webdav.activate = \"enable\"\nwebdav.is-readonly = \"disable\"\n"
         << "webdav.sqlite-db-name = \"" << dir << "/run/locks.db\"\n";
}

// sabre/dav's own quick start: a plain folder as the tree, locks in a file, Digest credentials
// (its file backend speaks Digest only), which the router writes on its first request.
void DavServer::writeSabreRouter() const {
  std::string dir = dir_.string();
  std::ofstream(dir_ / "router.php")
      << "<?php\nrequire_once '" << kSabre << "';\n"
      << "$digest = '" << dir << "/htdigest';\n"
      << "if (!file_exists($digest)) file_put_contents($digest, '" << kUser << ":drive:' . md5('"
      << kUser << ":drive:" << kPassword << "') . \"\\n\");\n"
      << "$server = new \\Sabre\\DAV\\Server(new \\Sabre\\DAV\\FS\\Directory('" << dir
      << "/root'));\n$server->setBaseUri('/');\n"
      << "$server->addPlugin(new \\Sabre\\DAV\\Locks\\Plugin("
      << "new \\Sabre\\DAV\\Locks\\Backend\\File('" << dir << "/run/locks')));\n"
      << "$server->addPlugin(new \\Sabre\\DAV\\Auth\\Plugin("
      << "new \\Sabre\\DAV\\Auth\\Backend\\File($digest), 'drive'));\n$server->exec();\n";
}

std::string DavServer::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/drive/";
}

void DavServer::stop() {
  program_.reset();
  eventually([&] { return !answers(port_); }, std::chrono::seconds(10));
}

std::unique_ptr<BackgroundProgram> DavServer::launch() const {
  auto env = cleanEnvironment(dir_);
  auto log = dir_ / "server.log";
  std::string address = "127.0.0.1:" + std::to_string(port_);
  switch (kind_) {
    case DavKind::apache:
      return std::make_unique<BackgroundProgram>(
          "/usr/sbin/apache2",
          std::vector<std::string>{"-f", (dir_ / "httpd.conf").string(), "-DFOREGROUND"}, env, log);
    case DavKind::rclone:
      return std::make_unique<BackgroundProgram>(
          "/usr/bin/rclone",
          std::vector<std::string>{"serve", "webdav", (dir_ / "root").string(), "--addr", address,
                                   "--user", kUser, "--pass", kPassword, "--config",
                                   (dir_ / "rclone.conf").string()},
          env, log);
    case DavKind::nginx:
      return std::make_unique<BackgroundProgram>(
          "/usr/sbin/nginx",
          std::vector<std::string>{"-p", dir_.string(), "-c", (dir_ / "nginx.conf").string(), "-e",
                                   (dir_ / "error.log").string()},
          env, log);
    case DavKind::lighttpd:
      return std::make_unique<BackgroundProgram>(
          "/usr/sbin/lighttpd",
          std::vector<std::string>{"-D", "-f", (dir_ / "lighttpd.conf").string()}, env, log);
    case DavKind::sabre:
      // Warnings go to the log, never into an answer's body.
      return std::make_unique<BackgroundProgram>(
          "/usr/bin/php",
          std::vector<std::string>{"-d", "display_errors=stderr", "-S", address,
                                   (dir_ / "router.php").string()},
          env, log);
  }
  return nullptr;
}

bool DavServer::start() {
  if (port_ == 0) failure_ = "no free loopback port";
  if (!failure_.empty()) return false;
  program_ = launch();
  if (eventually([&] { return answers(port_) || !program_->running(); },
                 std::chrono::seconds(20)) &&
      program_->running())
    return true;
  failure_ = nameOf(kind_) + " did not start: " + readWholeFile(dir_ / "server.log") +
             readWholeFile(dir_ / "error.log");
  return false;
}

int DavServer::curl(const std::vector<std::string>& arguments, const std::string& path) const {
  std::vector<std::string> all{"-s",           "-o",        "/dev/null",    "-w",
                               "%{http_code}", "--anyauth", "--netrc-file", netrc().string()};
  if (tls_) all.insert(all.end(), {"--cacert", certificate().string()});
  all.insert(all.end(), arguments.begin(), arguments.end());
  all.push_back(url() + path);
  auto run = runProgram("/usr/bin/curl", all, cleanEnvironment(dir_));
  return run.status == 0 ? std::atoi(run.out.c_str()) : 0;
}

}  // namespace QuorvelleDrive::testing
