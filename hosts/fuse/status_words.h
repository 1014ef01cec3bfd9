// The words `qdrive status` says of an error: no error domains or codes (those stay in `--json`
// and the log), and the fault placed where it lies, on the companion or on the server that keeps
// the drive.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "server_report.h"

namespace QuorvelleDrive::fuse {

// "17:05:31" on the day of `now`, "2026-12-07 17:05:31" on another.
std::string clockWords(std::time_t when, std::time_t now);
// "not answering since 17:02:11, next try at 17:05:31 (Couldn't connect to server)".
std::string silenceWords(const ServerState& server, std::time_t now);
// "the server at URL is " and the silence.
std::string outageWords(const ServerState& server, std::time_t now);

// `recorded`, words an error was recorded with (which name its domain and code), for people:
// without the domain and code, and, for a drive kept on a server (`server`), naming the server
// where the error is its doing.
std::string forPeople(const std::string& recorded, const std::optional<ServerState>& server,
                      std::time_t now);

}  // namespace QuorvelleDrive::fuse
