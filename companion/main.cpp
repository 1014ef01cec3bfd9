// quorvelle-companion: serves a directory as the companion app of one app group.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "companion/check.h"
#include "companion/companion.h"
#include "companion/drive_identity.h"
#include "platform/file_manager.h"

namespace {

using QuorvelleDrive::FileManager;
namespace fs = std::filesystem;
namespace qc = QuorvelleDrive::companion;

bool isPlainComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Missing levels above the root get mode 0700 too; the root and the group's folder are made or
// checked by the platform's own rules, so the hosts will trust the container this one serves in.
void makeParents(const fs::path& dir) {
  if (dir.empty() || fs::is_directory(dir)) return;
  makeParents(dir.parent_path());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + dir.string() + ": " + std::strerror(errno));
}

// A folder someone else owns, links elsewhere or may write to could hand our socket to them.
void requirePrivate(const fs::path& dir) {
  if (auto problem = FileManager::privateFolderProblem(dir); !problem.empty())
    throw std::runtime_error(problem + "; refusing to serve there");
}

// The group's folder is ours alone to the last bit: one of ours that others may read is made
// private first. The root may be a folder the user chose, so it is only checked.
void makePrivate(const fs::path& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
      (st.st_mode & 0077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
    throw std::runtime_error("cannot make " + dir.string() + " private: " + std::strerror(errno));
  requirePrivate(dir);
}

fs::path makeContainer(const fs::path& root, const std::string& group) {
  makeParents(root.parent_path());
  requirePrivate(root);
  makePrivate(root / group);
  return root / group;
}

// Each open connection takes a descriptor; the soft limit is often far below what is allowed.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Blocked before any thread starts, so every thread inherits the mask and sigwait alone sees
// the signals: nothing runs in a signal handler.
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return set;
}

// Reports on a stopped store; the exit status says whether it is consistent.
int check(const fs::path& store) {
  auto problems = qc::checkStore(store);
  for (const auto& problem : problems) std::cerr << "quorvelle-companion: " << problem << "\n";
  std::cout << "quorvelle-companion: " << store.string()
            << (problems.empty() ? " is consistent with its index\n"
                                 : ": " + std::to_string(problems.size()) + " problem(s)\n");
  return problems.empty() ? 0 : 1;
}

int serve(qc::Options options) {
  sigset_t signals = stopSignals();
  qc::Companion companion(options);
  std::string what = options.remote ? options.remote->url : options.store.string();
  // Hosts keep their state per drive; this says which one answers on the socket.
  std::string drive = options.remote ? options.remote->url
                                     : fs::weakly_canonical(fs::absolute(options.store)).string();
  qc::PublishedIdentity identity(options.socket.parent_path(), qc::identityFor(drive));
  std::cerr << "quorvelle-companion: serving " << what << " at " << companion.socketPath().string()
            << std::endl;
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Serves a directory as the Quorvelle companion app."};
  app.set_version_flag("--version", std::string("quorvelle-companion ") + QD_VERSION,
                       "Print the version and exit");
  qc::Options options;
  std::string group = "group.quorvelle.drive";
  fs::path containers;
  std::uint64_t maxFileSize = 0;
  auto* store = app.add_option("--store", options.store, "Directory that holds the files");
  qc::remote::RemoteOptions remote;
  double pollSeconds = 15;
  auto* url = app.add_option("--remote", remote.url,
                             "A WebDAV collection (http:// or https://) that holds the files");
  store->excludes(url);
  url->excludes(store);
  app.add_option("--netrc", remote.netrc, "netrc file with the server's credentials")
      ->needs(url)
      ->check(CLI::ExistingFile);
  app.add_option("--cacert", remote.caFile,
                 "CA certificate (PEM) to trust for an https:// server with a certificate of its "
                 "own (default: the system's CA store)")
      ->needs(url)
      ->check(CLI::ExistingFile);
  app.add_option("--remote-poll", pollSeconds, "Seconds between looks at the server")
      ->needs(url)
      ->check(CLI::Range(0.05, 86400.0));
  app.add_option("--state", remote.state,
                 "Where the remote index lives (default "
                 "${XDG_STATE_HOME:-~/.local/state}/quorvelle/companion/<from the URL>)")
      ->needs(url);
  app.add_option("--group", group, "App group whose container holds drive.sock");
  app.add_option("--containers", containers, "Root of the app-group containers");
  app.add_flag("--read-only", options.readOnly, "Refuse every change with \"access\"");
  app.add_option("--max-file-size", maxFileSize, "Refuse larger contents with \"tooBig\"");
  bool checkOnly = false;
  app.add_flag("--check", checkOnly,
               "Compare the stopped store with its index, change nothing, exit 1 on a mismatch");
  CLI11_PARSE(app, argc, argv);
  if (!app.count("--store") && !app.count("--remote")) {
    std::cerr << "quorvelle-companion: --store or --remote is required\n";
    return 2;
  }
  if (app.count("--remote")) {
    // Credentials belong in the netrc file, never on a command line others can read.
    auto authority = remote.url.substr(0, remote.url.find('/', remote.url.find("://") + 3));
    if (authority.find('@') != std::string::npos) {
      std::cerr << "quorvelle-companion: put credentials in a --netrc file, not in the URL\n";
      return 2;
    }
    remote.poll = std::chrono::milliseconds(static_cast<std::int64_t>(pollSeconds * 1000));
    options.remote = remote;
  }
  if (app.count("--max-file-size")) options.maxFileSize = maxFileSize;
  if (!isPlainComponent(group)) {
    std::cerr << "quorvelle-companion: invalid group \"" << group << "\"\n";
    return 2;
  }
  try {
    if (checkOnly) {
      if (options.remote) throw std::runtime_error("--check needs --store");
      return check(options.store);
    }
    fs::path container =
        makeContainer(containers.empty() ? FileManager::containersRoot() : containers, group);
    options.socket = container / "drive.sock";
    raiseDescriptorLimit();
    return serve(options);
  } catch (const std::exception& error) {
    std::cerr << "quorvelle-companion: " << error.what() << "\n";
    return 1;
  }
}
