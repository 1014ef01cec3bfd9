#include "server_report.h"

#include <fstream>
#include <sstream>

namespace QuorvelleDrive::fuse {

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

void printServerReport(const json::object& report, std::ostream& out) {
  auto text = [&](const char* key) -> std::string {
    auto* value = report.if_contains(key);
    return value && value->is_string() ? std::string(value->as_string()) : std::string();
  };
  out << "server  " << text("url") << "\n  credentials: " << text("credentials") << "\n";
  auto* lines = report.if_contains("abilities");
  if (!lines || !lines->is_array() || lines->as_array().empty()) {
    out << "  abilities: not probed yet\n";
    return;
  }
  for (const auto& line : lines->as_array())
    if (line.is_string()) out << "  " << std::string(line.as_string()) << "\n";
}

}  // namespace QuorvelleDrive::fuse
