// UUID text from peers (handshakes, application data): any bytes must parse
// to some value, and that value must survive its own text form.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Uuid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const corvane::UUID parsed = corvane::UUID::Parse(text);
  const std::string canonical = parsed.ToString();
  if (canonical.size() != 36) std::abort();
  if (corvane::UUID::Parse(canonical) != parsed) std::abort();
  if (corvane::UUID(text) != parsed) std::abort();
  return 0;
}
