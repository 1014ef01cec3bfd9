// qdrive's command table: each command declares its arguments and turns them into exactly one
// host call on the session, then reports the answer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundaries/file_provider_item.h"

namespace CLI {
class App;
}

namespace QuorvelleDrive::Qdrive {

class Report;
struct SessionOptions;

// Every command's arguments, as given on the command line (byte for byte).
struct Arguments {
  std::string identifier;  // ID, CONTAINER or PARENT
  std::string name;
  std::string parent;
  std::string anchor;
  std::string fields;
  std::string base;
  std::optional<std::string> output;
  std::optional<std::string> contents;
  std::optional<std::string> type;
  bool folder = false;
  // mount
  double pollSeconds = 2;
  bool noCompanion = false;
  bool daemon = false;
  bool debug = false;
  std::optional<std::string> store;
  std::optional<std::string> companion;
  std::optional<std::string> remote;  // the bundled companion keeps the drive on this server
  std::optional<std::string> netrc;
  std::optional<std::string> cacert;
  std::optional<double> remotePollSeconds;
  std::optional<std::int64_t> cacheSize;
  std::optional<std::int64_t> cacheMinFree;
  // service
  std::string serviceAction;  // "install" or "remove"
  // pin, unpin, free, status
  std::vector<std::string> paths;
};

// What a command runs with once the command line has been read.
struct Invocation {
  const SessionOptions& options;  // the global options: group, containers, domain, time limit
  const Arguments& arguments;
  Report& report;  // --json or not, and the output streams
};

struct Command {
  const char* name;
  const char* summary;
  void (*declare)(CLI::App& command, Arguments& arguments);
  // Returns the exit status. Host-call commands make their session themselves, so that a
  // command that is not one host call (a mount, say) can set the platform up its own way.
  int (*run)(const Invocation& invocation);
};

std::span<const Command> commands();

// The mount's MOUNTPOINT and options (shared by `mount` and `service install`).
void declareMountOptions(CLI::App& command, Arguments& arguments);

// "@root", "@working-set" and "@trash" are the container constants; any other text is itself.
ItemIdentifier resolveIdentifier(const std::string& text);
// Comma-separated field names, or one decimal number for the raw bits; none when malformed.
std::optional<ItemFields> parseFields(std::string_view text);

}  // namespace QuorvelleDrive::Qdrive
