// The process's bundle and its info dictionary. The host program (or a test) sets the dictionary
// before it makes extensions; reads are safe from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/json.h"

namespace QuorvelleDrive {

class Bundle {
 public:
  static Bundle& main();

  // The value under `key`, or none when the dictionary lacks it.
  std::optional<json::value> objectForInfoDictionaryKey(const std::string& key) const;
  void setInfoDictionary(json::object info);

 private:
  Bundle() = default;
  std::shared_ptr<const json::object> info() const;

  mutable std::mutex mutex_;
  std::shared_ptr<const json::object> info_ = std::make_shared<json::object>();
};

}  // namespace QuorvelleDrive
