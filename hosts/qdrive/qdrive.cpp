#include "qdrive/qdrive.h"

#include <CLI/CLI.hpp>
#include <cmath>

#include "qdrive/commands.h"
#include "qdrive/report.h"
#include "qdrive/session.h"

namespace QuorvelleDrive::Qdrive {
namespace {

constexpr const char* kDefaultGroup = "group.quorvelle.drive";
constexpr const char* kDefaultDomain = "default";

constexpr const char* kFooter =
    "Identifiers and anchors are taken byte for byte (the empty string too); @root, "
    "@working-set and @trash name the containers. Exit status: 0 success, 1 the host call "
    "failed, 2 usage error, 3 time-out.";

struct Globals {
  SessionOptions session{kDefaultGroup, std::nullopt, kDefaultDomain, std::nullopt};
  std::optional<std::string> containers;
  bool json = false;
};

CLI::Validator seconds() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double value = 0;
        if (CLI::detail::lexical_cast(text, value) && value >= 0) return {};
        return "expected a number of seconds, at least 0";
      },
      "");
}

void declareGlobals(CLI::App& app, Globals& globals) {
  app.add_option("--group", globals.session.group, "app group (bundle info QuorvelleAppGroup)")
      ->type_name("ID")
      ->capture_default_str();
  app.add_option("--containers", globals.containers,
                 "root of app-group containers (default $XDG_RUNTIME_DIR/quorvelle, else "
                 "/tmp/quorvelle-<uid>)")
      ->type_name("DIR");
  app.add_option("--domain", globals.session.domain, "domain identifier")
      ->type_name("NAME")
      ->capture_default_str();
  app.add_flag("--json", globals.json, "print one JSON object on one line");
  app.add_option("--timeout", globals.session.timeoutSeconds,
                 "stop waiting after SECONDS and exit 3 (default: wait for ever)")
      ->check(seconds())
      ->type_name("SECONDS");
}

void declareCommands(CLI::App& app, Arguments& arguments) {
  for (const auto& command : commands())
    command.declare(*app.add_subcommand(command.name, command.summary), arguments);
}

const Command& chosenCommand(const CLI::App& app) {
  const auto name = app.get_subcommands().front()->get_name();
  for (const auto& command : commands())
    if (name == command.name) return command;
  return commands().front();  // unreachable: CLI11 only accepts declared subcommands
}

int runCommand(const Command& command, const Globals& globals, const Arguments& arguments,
               Report& report) {
  try {
    SessionOptions options = globals.session;
    if (globals.containers) options.containersRoot = *globals.containers;
    return command.run(Invocation{options, arguments, report});
  } catch (const TimedOut& timedOut) {
    report.err() << "timed out: no answer within " << timedOut.seconds << " s\n";
    return kTimedOut;
  } catch (const Error& error) {
    return report.failure(error);
  } catch (const std::exception& error) {
    report.err() << "qdrive: " << error.what() << '\n';
    return kHostCallFailed;
  }
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  Globals globals;
  Arguments arguments;
  CLI::App app("qdrive: drives the Quorvelle Drive extension for one domain", "qdrive");
  app.footer(kFooter);
  // One line that says what is wrong.
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    return "qdrive: " + std::string(error.what()) + " (qdrive --help says more)\n";
  });
  app.set_version_flag("--version", std::string("qdrive ") + QD_VERSION,
                       "print the version and exit");
  app.require_subcommand(1);
  app.fallthrough();
  declareGlobals(app, globals);
  declareCommands(app, arguments);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kSucceeded : kUsageError;
  }
  Report report(globals.json, out, err);
  return runCommand(chosenCommand(app), globals, arguments, report);
}

}  // namespace QuorvelleDrive::Qdrive
