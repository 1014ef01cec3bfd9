// Random UUIDs in the platform's text form: upper-case hexadecimal, 8-4-4-4-12. Thread-safe.
#pragma once

#include <string>

namespace QuorvelleDrive {

std::string randomUUIDString();

}  // namespace QuorvelleDrive
