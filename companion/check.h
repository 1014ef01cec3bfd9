// Compares a store with its index without changing either, for use while no companion runs.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace QuorvelleDrive::companion {

// Each way the index and the files disagree, as one line for people; empty when consistent.
// Throws std::runtime_error when the store cannot be examined (no index, a companion running).
std::vector<std::string> checkStore(const std::filesystem::path& root);

}  // namespace QuorvelleDrive::companion
