#include "server_report.h"

#include <fstream>
#include <sstream>

#include "extension/file_provider_extension.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "status_words.h"

namespace QuorvelleDrive::fuse {
namespace {

std::string text(const json::object& report, const char* key) {
  auto* value = report.if_contains(key);
  return value && value->is_string() ? std::string(value->as_string()) : std::string();
}

template <class T>
std::optional<T> number(const json::object& object, const char* key) {
  auto* value = object.if_contains(key);
  if (!value || !value->is_number()) return std::nullopt;
  try {
    return value->to_number<T>();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<json::object> readServerReport(const std::filesystem::path& container) {
  std::ifstream in(container / "server.json");
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  try {
    auto value = readJSON(text.str());
    if (value.is_object()) return value.as_object();
  } catch (const std::exception&) {
  }
  return std::nullopt;  // being rewritten, or not ours: nothing to say
}

std::optional<json::object> readThisHostsServerReport() {
  auto group = Bundle::main().objectForInfoDictionaryKey(FileProviderExtension::kAppGroupKey);
  if (!group || !group->is_string()) return std::nullopt;
  return readServerReport(FileManager::containersRoot() / std::string(group->as_string()));
}

ServerState serverState(const json::object& report) {
  ServerState state;
  state.url = text(report, "url");
  state.credentials = text(report, "credentials");
  auto* answering = report.if_contains("answering");
  state.answering = !answering || !answering->is_bool() || answering->as_bool();
  state.silentSince = number<std::int64_t>(report, "silentSince").value_or(0);
  state.silence = text(report, "error");
  if (auto next = number<std::int64_t>(report, "nextLook")) state.nextLook = *next;
  if (auto* bodies = report.if_contains("bodies"); bodies && bodies->is_object()) {
    state.largestTaken = number<std::uint64_t>(bodies->as_object(), "largestTaken").value_or(0);
    state.refusedBody = number<std::uint64_t>(bodies->as_object(), "refused");
  }
  return state;
}

void printServerReport(const json::object& report, std::ostream& out) {
  auto state = serverState(report);
  out << "server  " << state.url << "\n";
  if (!state.answering) {
    out << "  " << silenceWords(state, std::time(nullptr)) << "\n";
    // What it said when it last answered, not what it says now.
    out << "  credentials: " << state.credentials
        << (state.credentials == "accepted" ? " when it last answered" : "") << "\n";
  } else {
    out << "  credentials: " << state.credentials << "\n";
  }
  auto* lines = report.if_contains("abilities");
  if (!lines || !lines->is_array() || lines->as_array().empty()) {
    out << "  abilities: not probed yet\n";
    return;
  }
  for (const auto& line : lines->as_array())
    if (line.is_string()) out << "  " << std::string(line.as_string()) << "\n";
}

}  // namespace QuorvelleDrive::fuse
