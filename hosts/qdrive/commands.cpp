#include "qdrive/commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "boundaries/file_provider_error.h"
#include "mount_command.h"
#include "platform/files.h"
#include "qdrive/cache_commands.h"
#include "qdrive/host_item.h"
#include "qdrive/mount_arguments.h"
#include "qdrive/report.h"
#include "qdrive/service_command.h"
#include "qdrive/session.h"

namespace QuorvelleDrive::Qdrive {
namespace {

namespace fs = std::filesystem;

CLI::Validator fieldList() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parseFields(text)) return {};
        return "expected contents, filename, parentItemIdentifier (comma-separated) or a number";
      },
      "");
}

// Checked once the unit (512M, 10G) is applied: a count of bytes is never below 0 or past what
// the mount counts in.
CLI::Validator byteCount() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        std::int64_t value = 0;
        auto end = text.data() + text.size();
        auto [at, error] = std::from_chars(text.data(), end, value);
        if (error == std::errc() && at == end && value >= 0) return {};
        return "expected a number of bytes, such as 0, 512M or 10G";
      },
      "");
}

// A host call that reports success must hand over its item; one that does not is treated as
// the extension's own failure rather than dereferenced.
std::optional<Error> failure(const std::optional<Error>& error, const ItemPointer& item) {
  if (error) return error;
  if (!item) return fileProviderError(FileProviderError::cannotSynchronize);
  return std::nullopt;
}

std::optional<fs::path> pathOf(const std::optional<std::string>& text) {
  return text ? std::optional<fs::path>(*text) : std::nullopt;
}

// rename() where it can; elsewhere (another filesystem, say) a copy, then the original goes.
void moveFile(const fs::path& from, const fs::path& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return;
  placeContents(to, readFile(from));
  std::error_code ignored;
  fs::remove(from, ignored);
}

// A piece at a time, so that a file of any size costs no more memory than the piece. Bytes the
// stream could not take (stdout on a full disk) are a write error, not a success.
void copyToStream(const fs::path& file, std::ostream& out) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw fileReadError(errno);
  std::vector<char> piece(1 << 20);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0)
    out.write(piece.data(), in.gcount());
  if (in.bad()) throw cocoaError(CocoaError::fileReadUnknown);
  if (!out.flush()) throw cocoaError(CocoaError::fileWriteUnknown);
}

std::uint64_t sizeOf(const fs::path& file) {
  std::error_code error;
  auto size = fs::file_size(file, error);
  if (error) throw cocoaError(CocoaError::fileReadUnknown);
  return size;
}

void declareIdentifier(CLI::App& command, Arguments& arguments, const char* name) {
  command.add_option(name, arguments.identifier, "identifier, or @root, @working-set, @trash")
      ->required();
}

void declareItem(CLI::App& command, Arguments& arguments) {
  declareIdentifier(command, arguments, "ID");
}

int runItem(Session& session, const Arguments& arguments, Report& report) {
  auto answer = session.item(resolveIdentifier(arguments.identifier));
  if (auto error = failure(answer.error, answer.item)) return report.failure(*error);
  return report.success({{"item", itemJSON(*answer.item)}},
                        [&](std::ostream& out) { printItem(out, *answer.item); });
}

void declareFetch(CLI::App& command, Arguments& arguments) {
  declareIdentifier(command, arguments, "ID");
  command.add_option("-o,--output", arguments.output, "move the fetched file to FILE")
      ->type_name("FILE");
}

int runFetch(Session& session, const Arguments& arguments, Report& report) {
  auto answer = session.fetch(resolveIdentifier(arguments.identifier));
  if (auto error = failure(answer.error, answer.item)) return report.failure(*error);
  if (!answer.file) return report.failure(fileProviderError(FileProviderError::cannotSynchronize));
  fs::path file = *answer.file;
  if (arguments.output) {
    moveFile(file, *arguments.output);
    file = *arguments.output;
  } else if (!report.json()) {
    std::error_code ignored;
    try {
      copyToStream(file, report.out());
    } catch (...) {
      fs::remove(file, ignored);
      throw;
    }
    fs::remove(file, ignored);
    return kSucceeded;
  }
  auto size = sizeOf(file);
  return report.success(
      {{"item", itemJSON(*answer.item)}, {"path", jsonText(file.string())}, {"size", size}},
      [&](std::ostream& out) { out << size << " bytes written to " << file.string() << '\n'; });
}

void declareContainer(CLI::App& command, Arguments& arguments) {
  declareIdentifier(command, arguments, "CONTAINER");
}

int runList(Session& session, const Arguments& arguments, Report& report) {
  auto answer = session.list(resolveIdentifier(arguments.identifier));
  if (answer.error) return report.failure(*answer.error);
  json::array items;
  for (const auto& item : answer.items) items.push_back(itemJSON(*item));
  return report.success({{"items", std::move(items)}},
                        [&](std::ostream& out) { printTable(out, answer.items); });
}

int runAnchor(Session& session, const Arguments& arguments, Report& report) {
  auto anchor = session.currentAnchor(resolveIdentifier(arguments.identifier));
  return report.success(
      {{"anchor", anchor ? json::value(jsonText(*anchor)) : json::value(nullptr)}},
      [&](std::ostream& out) { out << (anchor ? *anchor : "(no anchor)") << '\n'; });
}

void declareChanges(CLI::App& command, Arguments& arguments) {
  declareContainer(command, arguments);
  command.add_option("ANCHOR", arguments.anchor, "the sync anchor's bytes")->required();
}

int runChanges(Session& session, const Arguments& arguments, Report& report) {
  auto answer = session.changes(resolveIdentifier(arguments.identifier), arguments.anchor);
  if (answer.error) return report.failure(*answer.error);
  return report.success({{"anchor", jsonText(answer.anchor)}, {"moreComing", answer.moreComing}},
                        [&](std::ostream& out) {
                          out << "up to anchor " << answer.anchor
                              << (answer.moreComing ? ", more coming" : "") << '\n';
                        });
}

int changeReport(const ChangeAnswer& answer, Report& report) {
  if (auto error = failure(answer.error, answer.item)) return report.failure(*error);
  return report.success({{"item", itemJSON(*answer.item)},
                         {"stillPendingFields", answer.stillPendingFields},
                         {"shouldFetchContent", answer.shouldFetchContent}},
                        [&](std::ostream& out) {
                          printItem(out, *answer.item);
                          if (answer.stillPendingFields)
                            out << "pending   " << answer.stillPendingFields << '\n';
                          if (answer.shouldFetchContent) out << "refetch   yes\n";
                        });
}

void declareCreate(CLI::App& command, Arguments& arguments) {
  declareIdentifier(command, arguments, "PARENT");
  command.add_option("NAME", arguments.name, "the new item's filename")->required();
  auto* folder = command.add_flag("--dir", arguments.folder, "make a folder");
  command.add_option("--type", arguments.type, "the template's content type")
      ->type_name("UTI")
      ->excludes(folder);
  command.add_option("--contents", arguments.contents, "the new file's contents")
      ->type_name("FILE");
}

int runCreate(Session& session, const Arguments& arguments, Report& report) {
  std::optional<ContentType> type;
  if (arguments.folder)
    type = ContentType::folder();
  else if (arguments.type)
    type = ContentType::withIdentifier(*arguments.type);
  // The template has no identifier of its own: the companion assigns one.
  auto itemTemplate = std::make_shared<HostItem>(
      ItemIdentifier(""), resolveIdentifier(arguments.identifier), arguments.name, type);
  ItemFields fields = ItemField::filename | ItemField::parentItemIdentifier |
                      (arguments.contents ? ItemField::contents : 0);
  return changeReport(session.create(itemTemplate, fields, pathOf(arguments.contents)), report);
}

void declareModify(CLI::App& command, Arguments& arguments) {
  declareIdentifier(command, arguments, "ID");
  command.add_option("--parent", arguments.parent, "the parent the item has or gets")
      ->type_name("P")
      ->required();
  command.add_option("--name", arguments.name, "the filename the item has or gets")
      ->type_name("N")
      ->required();
  command.add_option("--fields", arguments.fields, "what changed: contents,filename,...")
      ->type_name("LIST")
      ->required()
      ->check(fieldList());
  command.add_option("--contents", arguments.contents, "the new contents")->type_name("FILE");
  command.add_option("--base", arguments.base, "the base version's content version (bytes)")
      ->type_name("VERSION");
}

int runModify(Session& session, const Arguments& arguments, Report& report) {
  auto item = std::make_shared<HostItem>(resolveIdentifier(arguments.identifier),
                                         resolveIdentifier(arguments.parent), arguments.name);
  auto fields = parseFields(arguments.fields).value_or(0);
  return changeReport(
      session.modify(item, ItemVersion{arguments.base, ""}, fields, pathOf(arguments.contents)),
      report);
}

int runDelete(Session& session, const Arguments& arguments, Report& report) {
  if (auto error = session.remove(resolveIdentifier(arguments.identifier)))
    return report.failure(*error);
  return report.success({}, [](std::ostream&) {});
}

// One extension for the domain, then the command's host call on it.
template <int (*call)(Session&, const Arguments&, Report&)>
int hostCall(const Invocation& invocation) {
  Session session(invocation.options);
  if (!session.containerProblem().empty())
    invocation.report.err() << "qdrive: no container for app group " << invocation.options.group
                            << ": " << session.containerProblem() << '\n';
  return call(session, invocation.arguments, invocation.report);
}

// The mount's own default limit: a hung companion must not hang the callers of the mount.
constexpr double kMountTimeoutSeconds = 30;

std::chrono::milliseconds millisecondsOf(double seconds) {
  constexpr double kLongest = 1e12;  // about thirty years: as good as for ever, and no overflow
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::min(seconds * 1000, kLongest)));
}

fuse::MountSettings mountSettings(const Invocation& invocation) {
  const auto& options = invocation.options;
  const auto& arguments = invocation.arguments;
  fuse::MountSettings settings;
  settings.mountpoint = arguments.identifier;
  settings.group = options.group;
  if (options.containersRoot) settings.containers = *options.containersRoot;
  settings.domain = options.domain;
  settings.timeout = millisecondsOf(options.timeoutSeconds.value_or(kMountTimeoutSeconds));
  settings.poll = std::max(millisecondsOf(arguments.pollSeconds), std::chrono::milliseconds(50));
  settings.daemon = arguments.daemon;
  settings.startCompanion = !arguments.noCompanion;
  settings.debug = arguments.debug;
  if (arguments.companion) settings.companionBinary = *arguments.companion;
  if (arguments.store) settings.store = *arguments.store;
  if (arguments.remote) settings.remote = *arguments.remote;
  if (arguments.netrc) settings.netrc = *arguments.netrc;
  if (arguments.cacert) settings.cacert = *arguments.cacert;
  settings.remotePollSeconds = arguments.remotePollSeconds;
  settings.cacheSize = arguments.cacheSize;
  settings.cacheMinFree = arguments.cacheMinFree;
  return settings;
}

void declareMount(CLI::App& command, Arguments& arguments) {
  command
      .add_option("MOUNTPOINT", arguments.identifier,
                  "an empty folder to mount on (made when missing)")
      ->required()
      ->check(folderPath());
  command.add_option("--poll", arguments.pollSeconds, "seconds between checks for changes")
      ->type_name("SECONDS")
      ->check(secondsFromTo(0.05, 86400))
      ->capture_default_str();
  command.add_flag("--no-companion", arguments.noCompanion,
                   "do not start the bundled companion when none answers");
  command.add_flag("--daemon", arguments.daemon, "run in the background once mounted");
  auto* store = command
                    .add_option("--store", arguments.store,
                                "the bundled companion's store (default "
                                "${XDG_DATA_HOME:-~/.local/share}/quorvelle/store)")
                    ->type_name("DIR")
                    ->check(folderPath());
  auto* remote = command
                     .add_option("--remote", arguments.remote,
                                 "the bundled companion keeps the drive on this WebDAV collection")
                     ->type_name("URL")
                     ->check(webdavUrl())
                     ->excludes(store);
  command.add_option("--netrc", arguments.netrc, "netrc file with the WebDAV server's credentials")
      ->type_name("FILE")
      ->check(readableFile())
      ->needs(remote);
  command.add_option("--cacert", arguments.cacert, "CA certificate for an https server of its own")
      ->type_name("FILE")
      ->check(readableFile())
      ->needs(remote);
  command
      .add_option("--remote-poll", arguments.remotePollSeconds,
                  "seconds between the companion's looks at the server (default 15)")
      ->type_name("SECONDS")
      ->check(secondsFromTo(0.05, 86400))
      ->needs(remote);
  command.add_option("--companion", arguments.companion, "the companion program to start")
      ->type_name("PATH")
      ->check(program());
  command.add_flag("--debug", arguments.debug, "log every FUSE request on stderr");
  command
      .add_option("--cache-size", arguments.cacheSize,
                  "bytes of fetched contents kept once closed (default: the smaller of 10 GiB "
                  "and a quarter of the free space; 0 keeps nothing)")
      ->type_name("BYTES")
      ->transform(CLI::AsSizeValue(false))
      ->check(byteCount());
  command
      .add_option("--cache-min-free", arguments.cacheMinFree,
                  "never fill the disk below this (default: the smaller of 1 GiB and 5% of it)")
      ->type_name("BYTES")
      ->transform(CLI::AsSizeValue(false))
      ->check(byteCount());
}

void declarePaths(CLI::App& command, Arguments& arguments) {
  command.add_option("PATH", arguments.paths, "files or folders in the mount")->required();
}

// The group and domain name folders of the mount's state and container.
bool usableNames(const Invocation& invocation) {
  for (auto [option, name] : {std::pair{"--group", &invocation.options.group},
                              std::pair{"--domain", &invocation.options.domain}})
    if (auto problem = folderNameProblem(*name); !problem.empty()) {
      invocation.report.err() << "qdrive: " << option << ": " << problem << "\n";
      return false;
    }
  return true;
}

int runMount(const Invocation& invocation) {
  if (!usableNames(invocation)) return kUsageError;
  return fuse::runMount(mountSettings(invocation), invocation.report.out(),
                        invocation.report.err());
}

void declareStatus(CLI::App& command, Arguments& arguments) {
  command.add_option("PATH", arguments.paths, "files or folders in the mount to show the state of");
}

int runStatus(const Invocation& invocation) {
  return fuse::printStatus(mountSettings(invocation), invocation.report.json(),
                           invocation.report.out(), invocation.arguments.paths);
}

constexpr std::array kCommands{
    Command{"item", "look an item up", declareItem, hostCall<runItem>},
    Command{"fetch", "fetch an item's contents", declareFetch, hostCall<runFetch>},
    Command{"ls", "list a container", declareContainer, hostCall<runList>},
    Command{"anchor", "a container's current sync anchor", declareContainer, hostCall<runAnchor>},
    Command{"changes", "enumerate changes since an anchor", declareChanges, hostCall<runChanges>},
    Command{"create", "create a file or folder", declareCreate, hostCall<runCreate>},
    Command{"modify", "rename, move or rewrite an item", declareModify, hostCall<runModify>},
    Command{"delete", "delete an item", declareItem, hostCall<runDelete>},
    Command{"mount", "mount the domain on a folder (FUSE)", declareMount, runMount},
    Command{"status", "the mount's pending uploads, its cache, and the state of paths",
            declareStatus, runStatus},
    Command{"pin", "keep files and folders on this machine", declarePaths, runPin},
    Command{"unpin", "let pinned files go when space is needed", declarePaths, runUnpin},
    Command{"free", "drop the local copies of files now", declarePaths, runFree},
    Command{"service", "mount at every login (a systemd user service)", declareService, runService},
};

struct FieldName {
  std::string_view name;
  ItemFields field;
};

constexpr std::array kFieldNames{
    FieldName{"contents", ItemField::contents},
    FieldName{"filename", ItemField::filename},
    FieldName{"parentItemIdentifier", ItemField::parentItemIdentifier},
};

std::optional<ItemFields> fieldNamed(std::string_view name) {
  for (const auto& entry : kFieldNames)
    if (entry.name == name) return entry.field;
  return std::nullopt;
}

}  // namespace

void declareMountOptions(CLI::App& command, Arguments& arguments) {
  declareMount(command, arguments);
}

std::span<const Command> commands() {
  return kCommands;
}

ItemIdentifier resolveIdentifier(const std::string& text) {
  if (text == "@root") return rootContainerItemIdentifier();
  if (text == "@working-set") return workingSetContainerItemIdentifier();
  if (text == "@trash") return trashContainerItemIdentifier();
  return ItemIdentifier(text);
}

std::optional<ItemFields> parseFields(std::string_view text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
    ItemFields bits = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bits);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return bits;
  }
  ItemFields fields = 0;
  for (std::size_t start = 0;;) {
    auto comma = text.find(',', start);
    auto field = fieldNamed(text.substr(start, comma - start));
    if (!field) return std::nullopt;
    fields |= *field;
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

}  // namespace QuorvelleDrive::Qdrive
