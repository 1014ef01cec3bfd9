// Host bytes that must become JSON text: the lossy decoding keeps valid text as it is and
// always yields valid UTF-8 that the writer accepts.
#include <cstdlib>
#include <string_view>

#include "platform/json.h"

using namespace QuorvelleDrive;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string repaired = decodeUTF8Lossy(bytes);
  if (!isValidUTF8(repaired)) std::abort();
  if (isValidUTF8(bytes) && repaired != bytes) std::abort();
  if (decodeUTF8Lossy(repaired) != repaired) std::abort();
  std::string text = writeJSON(json::object{{"base", repaired}});
  if (readJSON(text).as_object().at("base").as_string() != repaired) std::abort();
  return 0;
}
