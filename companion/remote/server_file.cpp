#include "companion/remote/server_file.h"

#include <fstream>

#include "companion/remote/http_client.h"
#include "platform/json.h"

namespace QuorvelleDrive::companion::remote {

ServerFile::ServerFile(std::filesystem::path file, std::string url)
    : file_(std::move(file)), url_(std::move(url)) {}

ServerFile::~ServerFile() {
  if (file_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove(file_, ignored);
}

void ServerFile::noteAnswer(const HttpRequest& request, const HttpResponse& response) {
  std::lock_guard lock(mutex_);
  bool changed = false;
  // A transfer this side stopped says nothing about the server.
  if (response.status == 0 && !response.stoppedHere) {
    if (answering_) silentSince_ = std::time(nullptr), changed = true;
    answering_ = false;
    silence_ = response.error;
  }
  if (response.status == 0) {
    if (changed) write();
    return;
  }
  changed = !answering_;
  answering_ = true;
  std::string credentials = credentials_;
  if (response.status == 401 || response.status == 403)
    credentials = "refused (" + std::to_string(response.status) + ")";
  else if (response.ok())
    credentials = "accepted";
  changed = changed || credentials != credentials_;
  credentials_ = credentials;
  if (response.ok() && request.method == "PUT" && request.bodySize > largestTaken_)
    largestTaken_ = request.bodySize;
  if (response.status == 413) refused_ = request.bodySize, changed = true;
  if (changed) write();
}

void ServerFile::setCredentials(const std::string& words) {
  std::lock_guard lock(mutex_);
  credentials_ = words;
  write();
}

void ServerFile::setAbilities(std::vector<std::string> lines) {
  std::lock_guard lock(mutex_);
  abilities_ = std::move(lines);
  write();
}

void ServerFile::setQuota(std::uint64_t available, std::uint64_t used) {
  std::lock_guard lock(mutex_);
  quota_ = {available, used};
  write();
}

// Only a silent server's next look is news to anyone.
void ServerFile::setNextLook(std::time_t when) {
  std::lock_guard lock(mutex_);
  nextLook_ = when;
  if (!answering_) write();
}

void ServerFile::write() const {
  if (file_.empty()) return;
  json::array lines;
  for (const auto& line : abilities_.value_or(std::vector<std::string>{})) lines.emplace_back(line);
  json::object document{{"url", url_},
                        {"credentials", credentials_},
                        {"probed", abilities_.has_value()},
                        {"abilities", std::move(lines)},
                        {"answering", answering_}};
  if (!answering_) {
    document["silentSince"] = static_cast<std::int64_t>(silentSince_);
    document["error"] = silence_;
  }
  if (nextLook_) document["nextLook"] = static_cast<std::int64_t>(*nextLook_);
  json::object bodies{{"largestTaken", largestTaken_}};
  bodies["refused"] = refused_ ? json::value(*refused_) : json::value(nullptr);
  document["bodies"] = std::move(bodies);
  if (quota_)
    document["quota"] = json::object{{"available", quota_->first}, {"used", quota_->second}};
  auto staged = file_;
  staged += ".new";
  {
    std::ofstream out(staged, std::ios::trunc);
    out << writeJSON(document) << "\n";
    if (!out) return;
  }
  std::error_code ignored;
  std::filesystem::rename(staged, file_, ignored);
}

}  // namespace QuorvelleDrive::companion::remote
