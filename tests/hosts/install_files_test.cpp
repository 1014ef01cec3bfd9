// What the package installs beside the programs: manual pages and bash completion that name every
// command and option the programs take, and unit names that systemd reads as the mountpoint.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY) && defined(QD_SOURCE_DIR)

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "hosts/child_process.h"
#include "qdrive/user_unit.h"
#include "support/drive_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

// The options a program's --help lists, long ones ("--store").
std::set<std::string> optionsIn(const std::string& help) {
  std::set<std::string> options;
  static const std::regex option(R"((^|[ ,])(--[a-z][a-z-]*))");
  for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it)
    options.insert((*it)[2]);
  return options;
}

std::string help(const std::string& program, std::vector<std::string> words) {
  words.push_back("--help");
  return runProgram(program, words, {}).out;
}

std::string installed(const std::string& relative) {
  return readWholeFile(fs::path(QD_SOURCE_DIR) / "packaging" / relative);
}

TEST(InstallFiles, ManualPagesAndCompletionNameEveryCommandAndOption) {
  const std::vector<std::vector<std::string>> qdriveHelps = {
      {},        {"mount"},  {"service"}, {"service", "install"}, {"service", "remove"},
      {"fetch"}, {"create"}, {"modify"}};
  auto page = installed("man/qdrive.1.md");
  auto completion = installed("completion/qdrive");
  for (const auto& words : qdriveHelps)
    for (const auto& option : optionsIn(help(QD_QDRIVE_BINARY, words))) {
      EXPECT_NE(page.find("**" + option + "**"), std::string::npos) << "qdrive(1) lacks " << option;
      EXPECT_NE(completion.find(option), std::string::npos) << "completion lacks " << option;
    }
  auto listed = completion.find("local commands=\"") + 16;
  auto commandWords = " " + completion.substr(listed, completion.find('"', listed) - listed) + " ";
  std::regex command(R"(\n  ([a-z]+) {2,})");
  auto top = help(QD_QDRIVE_BINARY, {});
  auto subcommands = top.substr(top.find("Subcommands:"));
  for (std::sregex_iterator it(subcommands.begin(), subcommands.end(), command), end; it != end;
       ++it) {
    EXPECT_NE(page.find("**" + (*it)[1].str()), std::string::npos) << (*it)[1];
    EXPECT_NE(commandWords.find(" " + (*it)[1].str() + " "), std::string::npos) << (*it)[1];
  }

  page = installed("man/quorvelle-companion.1.md");
  completion = installed("completion/quorvelle-companion");
  for (const auto& option : optionsIn(help(QD_COMPANION_BINARY, {}))) {
    EXPECT_NE(page.find("**" + option + "**"), std::string::npos)
        << "quorvelle-companion(1) lacks " << option;
    EXPECT_NE(completion.find(option), std::string::npos) << "completion lacks " << option;
  }
}

// The name a unit gets is the one `systemd-escape --path` gives, so that the packaged template's
// %f is the mountpoint again.
TEST(InstallFiles, UnitNamesEscapeThePathAsSystemdDoes) {
  const std::pair<const char*, const char*> cases[] = {
      {"/home/me/Quorvelle", "home-me-Quorvelle"},
      {"/tmp/a b/c-d", "tmp-a\\x20b-c\\x2dd"},
      {"/x/.hidden/\xc3\xa9", "x-.hidden-\\xc3\\xa9"},
      {"/.dot", "\\x2edot"},
      {"/a//b/", "a-b"},
      {"/", "-"},
      {"/x/a_b:c.d 100%", "x-a_b:c.d\\x20100\\x25"},
  };
  bool systemd = fs::exists("/usr/bin/systemd-escape");
  for (const auto& [path, escaped] : cases) {
    EXPECT_EQ(Qdrive::escapedPath(path), escaped) << path;
    if (systemd) {
      EXPECT_EQ(runProgram("/usr/bin/systemd-escape", {"--path", path}, {}).out,
                std::string(escaped) + "\n")
          << path;
    }
  }
  EXPECT_EQ(Qdrive::unitNameFor("/home/me/Quorvelle"), "quorvelle-drive@home-me-Quorvelle.service");
}

// The unit that `qdrive service install` writes mounts with every option it was given: a service
// that dropped --cacert could not reach a server with a certificate of its own, and one that
// dropped the cache's bounds would fill the disk past what the user allowed.
TEST(InstallFiles, ServiceUnitKeepsEveryMountOption) {
  TempDir home;
  auto noPrograms = home.path() / "bin";  // no systemctl: the unit is written, nothing started
  fs::create_directories(noPrograms);
  auto env = cleanEnvironment(home.path());
  env[0] = "PATH=" + noPrograms.string();
  auto ca = home.path() / "ca.pem";
  std::ofstream(ca) << "not checked here\n";
  auto mountpoint = home.path() / "mnt";
  runProgram(QD_QDRIVE_BINARY,
             {"service", "install", mountpoint.string(), "--remote", "https://dav.invalid/drive/",
              "--cacert", ca.string(), "--cache-size", "3M", "--cache-min-free", "5M"},
             env);
  auto unit = readWholeFile(home.path() / ".config/systemd/user" / Qdrive::unitNameFor(mountpoint));
  auto start = unit.find("\nExecStart=");
  ASSERT_NE(start, std::string::npos) << unit;
  auto command = unit.substr(start + 1, unit.find('\n', start + 1) - start - 1) + " ";
  EXPECT_NE(command.find(" --remote https://dav.invalid/drive/ "), std::string::npos) << command;
  EXPECT_NE(command.find(" --cacert " + ca.string() + " "), std::string::npos) << command;
  EXPECT_NE(command.find(" --cache-size 3145728 "), std::string::npos) << command;
  EXPECT_NE(command.find(" --cache-min-free 5242880 "), std::string::npos) << command;
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
